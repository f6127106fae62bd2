// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Sign-in at the front web server: the user's name and password as an
// Authorization header (Basic). The password never comes from the command
// line, where other users of the machine could read it.
#pragma once

#include <string>

namespace KxrCli {

// Where a password may come from.
struct PasswordSources {
  const char* environment = nullptr;  // KXR_PASSWORD, null when unset
  bool terminal = false;              // standard input is a terminal: ask there
  std::string netrcPath;              // the user's ~/.netrc
};

// The sources of this process: the environment, standard input, $HOME.
PasswordSources ProcessSources();

// The login and password of the ~/.netrc text for host: its first "machine"
// entry (with login user, when user is not empty), else its "default" entry.
bool NetrcEntry(const std::string& text, const std::string& host, const std::string& user, std::string& login,
                std::string& password);

// The Authorization header for host, empty when there is nothing to sign in
// with: with user, the password from KXR_PASSWORD (set and not empty), else
// a prompt without echo when standard input is a terminal, else host's
// ~/.netrc entry for user; without user, host's ~/.netrc entry if it has
// one. login is the name signed in with. False and why when user has no
// password.
bool SignIn(const std::string& user, const std::string& host, const PasswordSources& sources,
            std::string& authorization, std::string& login, std::string& error);

}  // namespace KxrCli
