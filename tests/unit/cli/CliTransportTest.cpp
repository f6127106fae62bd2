// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli against an HTTPS server in this process, with certificates made at
// test time by the openssl command: what it trusts, what it signs in with, and how it exits when refused.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Base64.h"
#include "CliMain.h"
#include "ResultCodes.h"
#include "Soap.h"

namespace KxrCli {
namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;

// A throwaway self-signed certificate for the names san: base.pem and its key base.key.
struct Certificate { std::string file, key; };
Certificate MakeCertificate(const std::string& base, const std::string& san) {
  const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=kxr-test "
                              "-addext subjectAltName=" + san + " -keyout " + base + ".key -out " + base + ".pem 2>/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return {base + ".pem", base + ".key"};
}

// Answers one connection within 5 s with status and body; seen gets the server name (SNI) and the Authorization
// header of the request: "SNI|AUTHORIZATION".
void ServeOne(asio::io_context& ioc, asio::ip::tcp::acceptor& acceptor, const Certificate& certificate,
              unsigned status, const std::string& body, std::string& seen) {
  asio::ssl::context context(asio::ssl::context::tls_server);
  context.use_certificate_chain_file(certificate.file);
  context.use_private_key_file(certificate.key, asio::ssl::context::pem);
  acceptor.async_accept([&](boost::system::error_code ec, asio::ip::tcp::socket socket) {
    asio::ssl::stream<asio::ip::tcp::socket> stream(std::move(socket), context);
    boost::beast::flat_buffer buffer;
    http::request<http::string_body> request;
    if (ec || stream.handshake(asio::ssl::stream_base::server, ec) || http::read(stream, buffer, request, ec) == 0) return;
    const char* name = SSL_get_servername(stream.native_handle(), TLSEXT_NAMETYPE_host_name);
    seen = (name ? name : "") + ("|" + std::string(request[http::field::authorization]));
    http::response<http::string_body> response{static_cast<http::status>(status), 11, body};
    response.prepare_payload();
    http::write(stream, response, ec);
    stream.shutdown(ec);
  });
  ioc.restart();
  ioc.run_for(std::chrono::seconds(5));
  acceptor.cancel();
  ioc.restart();
  ioc.poll();
}

TEST(CliTransport, HttpsTrustSignInAndRefusals) {
  asio::io_context ioc;
  asio::ip::tcp::acceptor acceptor(ioc, {asio::ip::make_address("127.0.0.1"), 0});
  const std::string port = std::to_string(acceptor.local_endpoint().port());
  const std::string home = testing::TempDir() + "kxr-cli-https-" + std::to_string(getpid()), empty = home + "/empty";
  ASSERT_EQ(mkdir(home.c_str(), 0700) + mkdir(empty.c_str(), 0700), 0);
  std::ofstream(home + "/.netrc") << "machine other login x password y\nmachine 127.0.0.1 login viewer password Net-Pw9\n";
  const Certificate named = MakeCertificate(home + "/named", "DNS:localhost");
  const Certificate address = MakeCertificate(home + "/address", "IP:127.0.0.1");
  const std::string ok = CSoap::CreateResponse(Base64::encode(std::string(8, '\0')));
  const std::string denied = CSoap::CreateFaultString(static_cast<int>(KxrResult::AccessDenied));
  const std::vector<std::string> cacertNamed{"--cacert", named.file}, cacertAddress{"--cacert", address.file};
  const struct {
    const char* host; const Certificate& cert; std::vector<std::string> options; const char* password; bool netrc;
    unsigned status; const std::string& body; int exit; const char* seen; const char* message;
  } cases[] = {
      {"localhost", named, cacertNamed, nullptr, false, 200, ok, kExitOk, "localhost|", ""},
      {"127.0.0.1", named, cacertNamed, nullptr, false, 200, ok, kExitNoAnswer, nullptr, "refused: the certificate is not for 127.0.0.1"},
      {"127.0.0.1", address, cacertAddress, nullptr, false, 200, ok, kExitOk, "|", ""},
      {"127.0.0.1", address, {}, nullptr, false, 200, ok, kExitNoAnswer, nullptr, "certificate refused: "},
      {"127.0.0.1", named, {"--insecure"}, nullptr, false, 200, ok, kExitOk, "|", ""},
      {"127.0.0.1", address, {"--insecure", "--user", "operator"}, "Env-Pw7", true, 200, ok, kExitOk, "|Basic b3BlcmF0b3I6RW52LVB3Nw==", ""},
      {"127.0.0.1", address, {"--insecure"}, "Env-Pw7", true, 401, ok, kExitSignIn, "|Basic dmlld2VyOk5ldC1Qdzk=", "sign-in refused by 127.0.0.1:"},
      {"127.0.0.1", address, {"--insecure"}, nullptr, false, 401, ok, kExitSignIn, "|", "asks for a sign-in"},
      {"127.0.0.1", address, {"--insecure", "--user", "viewer"}, "Env-Pw7", false, 200, denied, kExitDenied, nullptr, "access denied: the user viewer may not"},
      {"127.0.0.1", address, {"--insecure"}, nullptr, false, 429, ok, kExitNoAnswer, nullptr, "HTTP status 429 Too Many Requests"},
  };
  for (const auto& c : cases) {
    setenv("HOME", c.netrc ? home.c_str() : empty.c_str(), 1);
    c.password ? setenv("KXR_PASSWORD", c.password, 1) : unsetenv("KXR_PASSWORD");
    std::string seen = "(none)";
    std::thread server([&] { ServeOne(ioc, acceptor, c.cert, c.status, c.body, seen); });
    std::vector<std::string> args{"-u", std::string("https://") + c.host + ":" + port + "/"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"read", "0x1018:1"});
    std::ostringstream out, err;
    EXPECT_EQ(KxrCli::Run("kxr-cli", args, "/nonexistent", out, err), c.exit) << c.host << " " << err.str();
    server.join();
    EXPECT_EQ(c.seen ? seen : "", c.seen ? c.seen : "") << c.host;
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find("-Pw"), std::string::npos) << err.str();
  }
  std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace KxrCli
