// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Command line of kxr-cli: options, the command and its entry arguments.
//
// Numbers (index, sub-index, length, integer values) are decimal, or hex
// with the prefix 0x: "0x1018" and "4120" name the same object. A plain
// number with a leading zero ("01") or with hex letters ("100A") is refused,
// so that hex written without its prefix is never taken for decimal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  std::vector<EntryArg> entries;
  std::string file;            // save: the snapshot to write ("" or "-": stdout); restore: to read
  std::string dictionaryFile;  // save, restore: the dictionary, "" to fetch /dictionary.json
  bool dryRun = false;         // restore: the plan only
  bool partial = false;        // save: write the file even when some entries failed
};

// Parses an unsigned number (decimal, or hex with 0x) no larger than max.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value, std::string& error);
// Parses "INDEX:SUB[:LENGTH][:TYPE]".
bool ParseReadArg(const std::string& text, EntryArg& entry, std::string& error);
// Parses "INDEX:SUB=VALUE".
bool ParseWriteArg(const std::string& text, EntryArg& entry, std::string& error);
// Parses VALUE: hex:BYTES, text:TEXT, u8/u16/u32/u64:N or i8/i16/i32/i64:N.
bool ParseValue(const std::string& text, std::string& bytes, std::string& error);
// Parses the whole command line (argv[1..]); defaultSocket when no option names one.
bool ParseCommandLine(const std::vector<std::string>& args, const std::string& defaultSocket,
                      Invocation& invocation, std::string& error);
// Whether the options before the command ask for --json; looked at before
// parsing, so that even bad arguments are answered in JSON.
bool WantsJson(const std::vector<std::string>& args);
// Width in bytes of an integer TYPE (u8..i64), 0 for any other.
int IntegerWidth(const std::string& type);
// The usage text.
std::string Usage(const std::string& program, const std::string& defaultSocket);

}  // namespace KxrCli
