// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Writing a file so that it is either whole or not there: what a save
// leaves behind when the disk fills, the power fails or a signal comes.
#pragma once

#include <string>

namespace KxrCli {

// The fsync of a save's file and its folder; a seam, so that tests can see a
// file that never reached the disk leave the old one in place.
extern int (*gFsync)(int);

// A snapshot file being written: a temporary file beside the target, renamed
// over it when whole and on disk, removed when anything goes wrong. A new
// file is made 0600 (a configuration can hold secrets); one of the caller's
// own keeps its mode, less write for group and others; another user's file
// gets 0600 too, so that a mode chosen by someone else is not taken over.
class AtomicFile {
 public:
  ~AtomicFile() { Discard(); }
  // Makes the temporary file beside target; false and why.
  bool Open(const std::string& target, std::string& error);
  // Writes text, and renames the file over the target once it is on disk.
  bool Commit(const std::string& text, std::string& error);

 private:
  void Discard();
  static bool Fail(const std::string& message, std::string& error) {
    error = message;
    return false;
  }
  std::string target_, dir_, temp_;
  int fd_ = -1;
  bool handlers_ = false;
};

}  // namespace KxrCli
