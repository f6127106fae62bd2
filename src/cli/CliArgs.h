// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Command line of kxr-cli: options, the command and its entry arguments
// (numbers and values as CliValue.h reads them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliValue.h"

namespace KxrCli {

// Bytes wanted by a read without LENGTH: large enough for the usual entries;
// the service answers the entry's own size when it is smaller.
inline constexpr uint32_t kDefaultReadLength = 1024;

// One entry of a read or write.
struct EntryArg {
  uint16_t index = 0;       // object index
  uint8_t subIndex = 0;     // sub-index
  uint32_t length = 0;      // bytes wanted (read) or given (write)
  bool lengthGiven = false; // a read named its LENGTH
  std::string type;         // a read's TYPE (u8..i64, text), empty for bytes only
  std::string data;         // bytes to write (write only)
};

// What the command line asks for.
struct Invocation {
  enum class Command { kHelp, kRead, kWrite, kSave, kRestore };
  Command command = Command::kHelp;
  std::string socketPath;   // daemon's socket, when no URL is given
  std::string url;          // http[s]://host[:port][/path], empty for the socket
  std::string user;         // --user: the name to sign in with at the URL
  std::string caFile;       // --cacert: trust this PEM file for https://
  bool insecure = false;    // --insecure: no verification of the server for https://
  bool json = false;        // one JSON document on stdout instead of the report
  bool printCall = false;   // read, write: print the request body, connect nowhere
  std::vector<EntryArg> entries;
  std::string file;            // save: the snapshot to write ("" or "-": stdout); restore: to read
  std::string dictionaryFile;  // save, restore: the dictionary, "" to fetch /dictionary.json
  bool dryRun = false;         // restore: the plan only
  bool partial = false;        // save: write the file even when some entries failed
};

// Parses "INDEX:SUB[:LENGTH][:TYPE]".
bool ParseReadArg(const std::string& text, EntryArg& entry, std::string& error);
// Parses "INDEX:SUB=VALUE".
bool ParseWriteArg(const std::string& text, EntryArg& entry, std::string& error);
// Parses the whole command line (argv[1..]); defaultSocket when no option names one.
bool ParseCommandLine(const std::vector<std::string>& args, const std::string& defaultSocket,
                      Invocation& invocation, std::string& error);
// Whether the options before the command ask for --json; looked at before
// parsing, so that even bad arguments are answered in JSON.
bool WantsJson(const std::vector<std::string>& args);
// The usage text.
std::string Usage(const std::string& program, const std::string& defaultSocket);

}  // namespace KxrCli
