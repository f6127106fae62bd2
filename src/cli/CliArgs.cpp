// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Parsing of kxr-cli's command line.
#include "CliArgs.h"

#include <cctype>

#include "CliValue.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

// Splits text at every separator.
std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Parses "INDEX:SUB" into the entry; what names the argument in messages.
bool ParseAddress(const std::string& text, EntryArg& entry, std::string& error) {
  const std::vector<std::string> parts = Split(text, ':');
  if (parts.size() != 2) {
    error = "expected INDEX:SUB";
    return false;
  }
  uint64_t index = 0, subIndex = 0;
  if (!ParseNumber(parts[0], 0xFFFF, index, error)) {
    error = "index: " + error;
    return false;
  }
  if (!ParseNumber(parts[1], 0xFF, subIndex, error)) {
    error = "sub-index: " + error;
    return false;
  }
  entry.index = static_cast<uint16_t>(index);
  entry.subIndex = static_cast<uint8_t>(subIndex);
  return true;
}

}  // namespace

bool ParseReadArg(const std::string& text, EntryArg& entry, std::string& error) {
  entry = EntryArg();
  // A last part that starts with a letter and is not all hex digits is a
  // TYPE; "ff" stays a LENGTH, refused as hex without 0x.
  std::string address = text;
  const std::string::size_type last = text.rfind(':');
  if (last != std::string::npos && last + 1 < text.size() && std::isalpha(static_cast<unsigned char>(text[last + 1])) &&
      text.find_first_not_of("0123456789abcdefABCDEF", last + 1) != std::string::npos) {
    const std::string::size_type first = text.find(':');
    if (first != last) {
      entry.type = text.substr(last + 1);
      address = text.substr(0, last);
      if (entry.type != "text" && IntegerWidth(entry.type) == 0) {
        error = "unknown type '" + entry.type + "': u8/u16/u32/u64, i8/i16/i32/i64 or text";
        return false;
      }
    }
  }
  const std::string::size_type second = address.find(':', address.find(':') + 1);
  const bool hasLength = address.find(':') != std::string::npos && second != std::string::npos;
  if (!ParseAddress(hasLength ? address.substr(0, second) : address, entry, error)) return false;
  const int width = IntegerWidth(entry.type);
  entry.length = width != 0 ? static_cast<uint32_t>(width) : kDefaultReadLength;
  if (hasLength) {
    uint64_t length = 0;
    if (!ParseNumber(address.substr(second + 1), KxrProtocol::kMaxEntryLength, length, error)) {
      error = "length: " + error;
      return false;
    }
    if (length == 0) {
      error = "length: must be at least 1";
      return false;
    }
    entry.length = static_cast<uint32_t>(length);
    entry.lengthGiven = true;
  }
  return true;
}

bool ParseWriteArg(const std::string& text, EntryArg& entry, std::string& error) {
  entry = EntryArg();
  const std::string::size_type equals = text.find('=');
  if (equals == std::string::npos) {
    error = "expected INDEX:SUB=VALUE";
    return false;
  }
  if (!ParseAddress(text.substr(0, equals), entry, error)) return false;
  if (!ParseValue(text.substr(equals + 1), entry.data, error)) {
    error = "value: " + error;
    return false;
  }
  if (entry.data.empty()) {
    error = "value: no bytes to write";
    return false;
  }
  if (entry.data.size() > static_cast<std::size_t>(KxrProtocol::kMaxEntryLength)) {
    error = "value: longer than " + std::to_string(KxrProtocol::kMaxEntryLength) + " bytes";
    return false;
  }
  entry.length = static_cast<uint32_t>(entry.data.size());
  return true;
}

bool WantsJson(const std::vector<std::string>& args) {
  std::size_t i = 0;
  for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
    if (args[i] == "--json") return true;
    if (args[i] == "-s" || args[i] == "--socket" || args[i] == "-u" || args[i] == "--url" || args[i] == "--user" ||
        args[i] == "--cacert")
      ++i;
  }
  // save and restore also take their options after the command.
  if (i < args.size() && (args[i] == "save" || args[i] == "restore"))
    for (++i; i < args.size(); ++i) {
      if (args[i] == "--json") return true;
      if (args[i] == "--dictionary") ++i;
    }
  return false;
}

namespace {

// The arguments of save and restore: [--dictionary FILE] [--dry-run | --partial] [--json] and one FILE.
bool ParseSnapshotArgs(const std::vector<std::string>& args, std::size_t i, Invocation& invocation,
                       std::string& error) {
  const bool save = invocation.command == Invocation::Command::kSave;
  const std::string command = save ? "save" : "restore";
  bool fileGiven = false;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      invocation.json = true;
    } else if (arg == "--dry-run" && !save) {
      invocation.dryRun = true;
    } else if (arg == "--partial" && save) {
      invocation.partial = true;
    } else if (arg == "--dictionary") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = "--dictionary needs a file";
        return false;
      }
      invocation.dictionaryFile = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = command + ": unknown option " + arg;
      return false;
    } else if (fileGiven || arg.empty()) {
      error = command + (arg.empty() ? ": an empty file name" : ": name one FILE only");
      return false;
    } else {
      invocation.file = arg;
      fileGiven = true;
    }
  }
  if (!save && !fileGiven) {
    error = "restore: name the snapshot FILE";
    return false;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, const std::string& defaultSocket,
                      Invocation& invocation, std::string& error) {
  invocation = Invocation();
  invocation.socketPath = defaultSocket;
  std::size_t i = 0;
  bool socketGiven = false;
  for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
    const std::string& option = args[i];
    if (option == "-h" || option == "--help") return true;
    if (option == "--json") {
      invocation.json = true;
      continue;
    }
    if (option == "--insecure" || option == "--print-call") {
      (option == "--insecure" ? invocation.insecure : invocation.printCall) = true;
      continue;
    }
    if (option == "--user" || option == "--cacert") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = option + " needs a value";
        return false;
      }
      (option == "--user" ? invocation.user : invocation.caFile) = args[++i];
      continue;
    }
    if (option == "-s" || option == "--socket" || option == "-u" || option == "--url") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        error = option + " needs a value";
        return false;
      }
      if (option == "-s" || option == "--socket") {
        invocation.socketPath = args[++i];
        socketGiven = true;
      } else {
        invocation.url = args[++i];
      }
      continue;
    }
    error = "unknown option " + option;
    return false;
  }
  if (socketGiven && !invocation.url.empty()) {
    error = "give either a socket or a URL, not both";
    return false;
  }
  const bool https = invocation.url.compare(0, 8, "https://") == 0;
  if (!https && (!invocation.caFile.empty() || invocation.insecure)) {
    error = "--cacert and --insecure go with -u https://...";
    return false;
  }
  // A password never goes over plain HTTP, not even to this machine.
  if (!https && !invocation.url.empty() && !invocation.user.empty()) {
    error = "--user: refusing to send a password in clear text over http://; use -u https://...";
    return false;
  }
  if (!invocation.caFile.empty() && invocation.insecure) {
    error = "give either --cacert or --insecure, not both";
    return false;
  }
  if (invocation.user.find(':') != std::string::npos) {
    error = "--user: a user name cannot hold ':'";
    return false;
  }
  if (i >= args.size()) {
    error = "missing command: read, write, save or restore";
    return false;
  }
  const std::string& command = args[i++];
  if ((command == "save" || command == "restore") && invocation.printCall) {
    error = "--print-call goes with read and write";
    return false;
  }
  if (command == "save" || command == "restore") {
    invocation.command = command == "save" ? Invocation::Command::kSave : Invocation::Command::kRestore;
    return ParseSnapshotArgs(args, i, invocation, error);
  }
  if (command != "read" && command != "write") {
    error = "unknown command '" + command + "': read, write, save or restore";
    return false;
  }
  invocation.command = command == "read" ? Invocation::Command::kRead : Invocation::Command::kWrite;
  if (i >= args.size()) {
    error = command == "read" ? "read: name at least one INDEX:SUB[:LENGTH]" : "write: name at least one INDEX:SUB=VALUE";
    return false;
  }
  if (args.size() - i > static_cast<std::size_t>(KxrProtocol::kMaxSubRequests)) {
    error = "at most " + std::to_string(KxrProtocol::kMaxSubRequests) + " entries in one call";
    return false;
  }
  for (; i < args.size(); ++i) {
    EntryArg entry;
    const bool ok = invocation.command == Invocation::Command::kRead ? ParseReadArg(args[i], entry, error)
                                                                      : ParseWriteArg(args[i], entry, error);
    if (!ok) {
      error = "'" + args[i] + "': " + error;
      return false;
    }
    invocation.entries.push_back(std::move(entry));
  }
  return true;
}

std::string Usage(const std::string& program, const std::string& defaultSocket) {
  return "usage: " + program + " [--json] [-s SOCKET | -u URL] read INDEX:SUB[:LENGTH][:TYPE] ...\n"
         "       " + program + " [--json] [-s SOCKET | -u URL] write INDEX:SUB=VALUE ...\n"
         "       " + program + " [--json] [-s SOCKET | -u URL] save [--dictionary DICT] [--partial] [FILE]\n"
         "       " + program + " [--json] [-s SOCKET | -u URL] restore [--dictionary DICT] [--dry-run] FILE\n"
         "       " + program + " --print-call read|write ENTRY ...\n"
         "\n"
         "Reads or writes object entries through KXRWebServer, all in one call.\n"
         "  -s SOCKET  the daemon's socket (default " + defaultSocket + ")\n"
         "  -u URL     http[s]://HOST[:PORT][/PATH] of the front web server instead\n"
         "  --json     one JSON document on standard output instead of the report\n"
         "  --print-call  read, write: print the SOAP request body the call would send\n"
         "             (exactly, no newline added) and exit 0, connecting nowhere\n"
         "Signing in (once a run, signed out at its end):\n"
         "  --user NAME    sign in as NAME: over https://, or on the socket when not root\n"
         "                 (root needs no sign-in there); the password comes from\n"
         "                 KXR_PASSWORD, else a prompt when standard input is a terminal,\n"
         "                 else (https://) ~/.netrc, whose entry for HOST also serves\n"
         "                 without --user; never over http://\n"
         "  --cacert FILE  https: trust the certificates of FILE, not the system's\n"
         "  --insecure     https: verify neither the certificate nor the host name\n"
         "Numbers are decimal, or hex with 0x: 0x1018:1 and 4120:1 are the same entry.\n"
         "A read without LENGTH asks for " + std::to_string(kDefaultReadLength) + " bytes; the service delivers\n"
         "the entry's own size when it is smaller. A read's TYPE (u8..u64, i8..i64, text)\n"
         "also shows the value; an integer TYPE without LENGTH asks for its own size.\n"
         "VALUE: hex:BYTES (hex:3412, hex:'34 12'), text:TEXT, u8:/u16:/u32:/u64:NUMBER or\n"
         "i8:/i16:/i32:/i64:NUMBER (little-endian integers: u16:0x1234 writes 34 12).\n"
         "save reads every entry of the dictionary (/dictionary.json of the daemon, or\n"
         "DICT) into a snapshot FILE, or to standard output without FILE or with -;\n"
         "when an entry fails it writes nothing, unless --partial.\n"
         "restore checks FILE, reads the device, prints the plan and, unless --dry-run,\n"
         "writes the writable entries that differ and reads them back.\n"
         "Exit status: 0 all succeeded, 1 a sub-request or the call failed (restore: an\n"
         "entry not written or not verified), 2 bad arguments (restore: a bad FILE),\n"
         "3 no answer (connection, TLS, HTTP status or answer format), 4 sign-in\n"
         "refused or needed, 5 access denied (the user may not make this call).\n";
}

}  // namespace KxrCli
