// Texts of kxr-cli's output.
#include "CliReport.h"

#include <cstdio>
#include <cstring>

#include "KXRWeb.h"

namespace kxrcli {
namespace {

// Codes of the device-profile service and its client with short meanings.
struct KnownCode {
  uint32_t code;
  const char* meaning;
};
constexpr KnownCode kDeviceCodes[] = {
    {0xECA60102u, "Entry longer than the bytes wanted (the first bytes are delivered)"},
    {0xECA60104u, "Length above 1 MiB, or out of memory"},
    {0xECA60107u, "Invalid arguments"},
    {0xECA60200u, "Device-profile service refused the connection"},
    {0xECA60201u, "Device-profile service not running (no socket)"},
    {0xECA60301u, "No such object or sub-index"},
    {0xECA60302u, "Length differs from the entry's size"},
    {0xECA60303u, "Entry is read-only"},
    {0xECA60304u, "Malformed entry access"},
    {0xECA60FFFu, "Malformed answer from the device-profile service"},
};

// Start of the client's codes that carry an errno in their low 16 bits.
constexpr uint32_t kErrnoBase = 0xECA70000u;

}  // namespace

std::string CodeMeaning(uint32_t code) {
  for (const KnownCode& known : kDeviceCodes)
    if (known.code == code) return known.meaning;
  if ((code & 0xFFFF0000u) == kErrnoBase) {
    const int error = static_cast<int>(code & 0xFFFFu);
    return "System error " + std::to_string(error) + " (" + std::strerror(error) + ")";
  }
  return CKXRWeb::KXRWebErrCodeToErrMsg(static_cast<int>(code));
}

std::string CodeNumbers(uint32_t code) {
  char text[48];
  std::snprintf(text, sizeof text, "0x%08X (%d)", code, static_cast<int>(code));
  return text;
}

std::string HexBytes(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string PrintableText(const std::string& bytes) {
  std::string text;
  for (unsigned char byte : bytes) text += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
  return text;
}

std::string FormatEntryLine(bool write, const EntryArg& entry, const EntryResult& outcome) {
  char head[40];
  std::snprintf(head, sizeof head, "0x%04X:0x%02X  0x%08X ", entry.index, entry.subIndex, outcome.code);
  std::string line = head + CodeMeaning(outcome.code);
  if (!write && !outcome.data.empty())
    line += "  " + std::to_string(outcome.data.size()) + (outcome.data.size() == 1 ? " byte: " : " bytes: ") +
            HexBytes(outcome.data) + "  \"" + PrintableText(outcome.data) + "\"";
  return line;
}

std::string FormatFault(int32_t code, const std::string& faultString) {
  const uint32_t bits = static_cast<uint32_t>(code);
  std::string message = "the call failed: fault " + CodeNumbers(bits) + ": " + faultString;
  const std::string meaning = CodeMeaning(bits);
  if (meaning != faultString && meaning != "Unknown error") message += " (" + meaning + ")";
  return message;
}

}  // namespace kxrcli
