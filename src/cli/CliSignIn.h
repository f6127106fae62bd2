// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The name and password kxr-cli signs in with, once a run, for a session
// of the daemon. The password never comes from the command line, where
// other users of the machine could read it.
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

// The name and password to sign in with, login empty when there is none:
// with user, the password from KXR_PASSWORD (set and not empty), else a
// prompt without echo when standard input is a terminal, else (with netrc)
// host's ~/.netrc entry for user; without user, host's ~/.netrc entry when
// netrc and it has one. False and why when user has no password.
bool Credentials(const std::string& user, const std::string& host, bool netrc, const PasswordSources& sources,
                 std::string& login, std::string& password, std::string& error);

// The sign-in form: user=LOGIN&password=PASSWORD, every byte but letters,
// digits and "-._~" percent-encoded.
std::string SignInForm(const std::string& login, const std::string& password);

}  // namespace KxrCli
