// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "ConnectionSocket.h"

#include <boost/version.hpp>

namespace KXRWebservice {

void connection_socket::adopt(int fd, boost::system::error_code& ec) {
  assign(boost::asio::local::stream_protocol(), fd, ec);
  if (ec) return;
#if !defined(BOOST_ASIO_WINDOWS) && BOOST_VERSION >= 107000 && BOOST_VERSION < 109000
  // The flags of the socket's state as this range of Asio keeps them; any
  // other version takes the two calls.
  namespace ops = boost::asio::detail::socket_ops;
  auto& state = impl_.get_implementation().state_;
  state = static_cast<ops::state_type>((state | ops::internal_non_blocking) & ~ops::possible_dup);
#endif
}

}  // namespace KXRWebservice
