// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// A password against its hash from the users file, through the system's
// crypt_r (bcrypt, yescrypt): no hashing of our own.
#pragma once

#include <string>
#include <string_view>

namespace KxrAccess {

// Whether password hashes to hash. The hash's own prefix chooses the method
// and its cost; a hash crypt_r cannot take (another method, a broken line)
// matches nothing. The comparison takes the same time wherever the two
// differ.
bool PasswordMatches(std::string_view password, const std::string& hash);

}  // namespace KxrAccess
