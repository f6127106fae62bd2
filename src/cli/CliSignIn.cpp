// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Passwords from the environment, the terminal or ~/.netrc.
#include "CliSignIn.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <strings.h>
#include <vector>

namespace KxrCli {
namespace {

// The terminal whose echo a prompt has turned off, and its settings before:
// a signal that ends kxr-cli at the prompt (Ctrl-C) gives the echo back first.
int gPromptFd = -1;
termios gPromptSaved{};
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RestoreEchoAndEnd(int signal) {
  tcsetattr(gPromptFd, TCSAFLUSH, &gPromptSaved);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// Asks for the password on /dev/tty (standard error and input when there is
// none) with echo off, echo restored before returning or ending by a signal.
bool Prompt(const std::string& question, std::string& password) {
  const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  const int in = tty >= 0 ? tty : STDIN_FILENO;
  const int out = tty >= 0 ? tty : STDERR_FILENO;
  termios saved{};
  const bool quiet = tcgetattr(in, &saved) == 0;
  struct sigaction before[std::size(kPromptSignals)] = {};
  if (quiet) {
    gPromptFd = in;
    gPromptSaved = saved;
    struct sigaction restore = {};
    restore.sa_handler = RestoreEchoAndEnd;
    sigemptyset(&restore.sa_mask);
    for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) sigaction(kPromptSignals[i], &restore, &before[i]);
    termios noEcho = saved;
    noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(in, TCSAFLUSH, &noEcho);
  }
  bool ok = write(out, question.data(), question.size()) >= 0;
  password.clear();
  char c = 0;
  ssize_t n = 0;
  while (ok && (n = read(in, &c, 1)) == 1 && c != '\n') password += c;
  if (quiet) {
    tcsetattr(in, TCSAFLUSH, &saved);
    for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) sigaction(kPromptSignals[i], &before[i], nullptr);
  }
  ok = ok && write(out, "\n", 1) >= 0 && (n == 1 || !password.empty());
  if (tty >= 0) close(tty);
  return ok;
}

}  // namespace

PasswordSources ProcessSources() {
  PasswordSources sources;
  sources.environment = std::getenv("KXR_PASSWORD");
  sources.terminal = isatty(STDIN_FILENO) == 1;
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* entry = getpwuid(getuid());
    home = entry ? entry->pw_dir : nullptr;
  }
  if (home) sources.netrcPath = std::string(home) + "/.netrc";
  return sources;
}

bool NetrcEntry(const std::string& text, const std::string& host, const std::string& user, std::string& login,
                std::string& password) {
  std::istringstream in(text);
  std::string token;
  // The entries in order, machine name empty for "default".
  struct Entry {
    std::string machine, login, password;
    bool isDefault = false;
  };
  std::vector<Entry> entries;
  while (in >> token) {
    if (token == "machine" || token == "default") {
      entries.emplace_back();
      entries.back().isDefault = token == "default";
      if (token == "machine") in >> entries.back().machine;
    } else if ((token == "login" || token == "password" || token == "account") && !entries.empty()) {
      in >> (token == "login" ? entries.back().login : token == "password" ? entries.back().password : token);
    } else if (token == "macdef") {
      // A macro runs to the next empty line.
      std::string line;
      std::getline(in, line);
      while (std::getline(in, line) && !line.empty()) {
      }
    }
  }
  for (const bool wantDefault : {false, true})
    for (const Entry& entry : entries)
      if (entry.isDefault == wantDefault && (wantDefault || strcasecmp(entry.machine.c_str(), host.c_str()) == 0) &&
          !entry.login.empty() && (user.empty() || entry.login == user)) {
        login = entry.login;
        password = entry.password;
        return true;
      }
  return false;
}

bool Credentials(const std::string& user, const std::string& host, bool netrc, const PasswordSources& sources,
                 std::string& login, std::string& password, std::string& error) {
  login = user;
  password.clear();
  if (!user.empty() && sources.environment && *sources.environment) {
    password = sources.environment;
  } else if (!user.empty() && sources.terminal) {
    if (!Prompt("Password for " + user + " at " + host + ": ", password)) {
      error = "no password read from the terminal";
      return false;
    }
  } else {
    std::ifstream file;
    std::ostringstream text;
    if (netrc && !sources.netrcPath.empty()) file.open(sources.netrcPath);
    if (file) text << file.rdbuf();
    if (!NetrcEntry(text.str(), host, user, login, password)) {
      login.clear();
      if (user.empty()) return true;
      error = "no password for " + user + ": set KXR_PASSWORD or run on a terminal" +
              (netrc ? ", or add a ~/.netrc entry for " + host : "");
      return false;
    }
  }
  return true;
}

std::string SignInForm(const std::string& login, const std::string& password) {
  std::string form;
  for (const std::string* part : {&login, &password}) {
    form += part == &login ? "user=" : "&password=";
    for (const char c : *part) {
      if (std::isalnum(static_cast<unsigned char>(c)) || (c != '\0' && std::strchr("-._~", c))) {
        form += c;
        continue;
      }
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      form += escaped;
    }
  }
  return form;
}

}  // namespace KxrCli
