// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Request documents and answers of the ReadWrite call.
#include "CliCall.h"

#include <cstdlib>

#include "Base64.h"
#include "Protocol.h"

namespace KxrCli {
namespace {

// Text of the first element whose start tag begins with "<" + name (any
// attributes); false when there is none. A self-closing element is empty.
bool ElementText(const std::string& document, const std::string& name, std::string& text) {
  std::string::size_type open = document.find("<" + name);
  while (open != std::string::npos) {
    const std::string::size_type after = open + 1 + name.size();
    if (after < document.size() && (document[after] == '>' || document[after] == ' ' || document[after] == '/')) break;
    open = document.find("<" + name, after);
  }
  if (open == std::string::npos) return false;
  const std::string::size_type end = document.find('>', open);
  if (end == std::string::npos) return false;
  if (document[end - 1] == '/') {
    text.clear();
    return true;
  }
  const std::string::size_type close = document.find("</" + name + ">", end);
  if (close == std::string::npos) return false;
  text = document.substr(end + 1, close - end - 1);
  return true;
}

int64_t Group(bool write) { return write ? KxrProtocol::kSumUpWrite : KxrProtocol::kSumUpRead; }

}  // namespace

std::string ReadWriteEnvelope(int64_t group, int64_t count, int64_t readLength, const std::string& pwrData) {
  return "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<SOAP-ENV:Body><u:ReadWrite xmlns:u=\"urn:KxrWebService\"><netId></netId><nPort>0</nPort><indexGroup>" +
         std::to_string(group) + "</indexGroup><indexOffset>" + std::to_string(count) + "</indexOffset><cbRdLen>" +
         std::to_string(readLength) + "</cbRdLen><pwrData>" + pwrData + "</pwrData></u:ReadWrite></SOAP-ENV:Body>"
         "</SOAP-ENV:Envelope>";
}

std::string BuildWriteBuffer(bool write, const std::vector<EntryArg>& entries) {
  std::string buffer;
  for (const EntryArg& entry : entries) {
    KxrProtocol::SubRequestHeader header;
    header.subIndex = entry.subIndex;
    header.index = entry.index;
    header.length = entry.length;
    KxrProtocol::AppendHeader(buffer, header);
  }
  if (write)
    for (const EntryArg& entry : entries) buffer += entry.data;
  return buffer;
}

int32_t ReadLength(bool write, const std::vector<EntryArg>& entries) {
  if (write) return static_cast<int32_t>(KxrProtocol::kWriteRecordSize * entries.size());
  uint64_t total = KxrProtocol::kReadRecordSize * entries.size();
  for (const EntryArg& entry : entries) total += entry.length;
  const uint64_t most = KxrProtocol::kMaxEntryLength;
  return static_cast<int32_t>(total > most ? most : total);
}

std::string BuildEnvelope(bool write, const std::vector<EntryArg>& entries) {
  return ReadWriteEnvelope(Group(write), static_cast<int64_t>(entries.size()), ReadLength(write, entries),
                           Base64::encode(BuildWriteBuffer(write, entries)));
}

std::size_t EnvelopeSize(bool write, std::size_t count, std::size_t bufferBytes, int32_t readLength) {
  return ReadWriteEnvelope(Group(write), static_cast<int64_t>(count), readLength, "").size() + 4 * ((bufferBytes + 2) / 3);
}

Answer ParseAnswer(const std::string& document) {
  Answer answer;
  std::string text;
  if (ElementText(document, "ppRdData", text)) {
    answer.result = Base64::decode(text);
    if (answer.result.empty() && !text.empty()) {
      answer.problem = "ppRdData is not Base64";
      return answer;
    }
    answer.kind = Answer::Kind::kResult;
    return answer;
  }
  if (ElementText(document, "faultcode", text)) {
    char* end = nullptr;
    const long long code = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || code < INT32_MIN || code > INT32_MAX) {
      answer.problem = "faultcode '" + text + "' is not a number";
      return answer;
    }
    answer.kind = Answer::Kind::kFault;
    answer.faultCode = static_cast<int32_t>(code);
    ElementText(document, "faultstring", answer.faultString);
    return answer;
  }
  answer.problem = "neither a ReadWriteResponse nor a Fault";
  return answer;
}

bool SplitResult(bool write, std::size_t count, const std::string& result, std::vector<EntryResult>& outcomes,
                 std::string& problem) {
  outcomes.assign(count, EntryResult());
  const std::size_t recordSize = write ? KxrProtocol::kWriteRecordSize : KxrProtocol::kReadRecordSize;
  if (result.size() < recordSize * count || (write && result.size() != recordSize * count)) {
    problem = "the result holds " + std::to_string(result.size()) + " bytes for " + std::to_string(count) +
              " entries";
    return false;
  }
  std::size_t offset = recordSize * count;
  for (std::size_t i = 0; i < count; ++i) {
    if (write) {
      outcomes[i].code = KxrProtocol::GetLe32(result, recordSize * i);
      continue;
    }
    const KxrProtocol::ResultRecord record = KxrProtocol::DecodeRecord(result, i);
    outcomes[i].code = record.code;
    const uint32_t length = record.length;
    if (length > result.size() - offset) {
      problem = "the result's data is shorter than its records say";
      return false;
    }
    outcomes[i].data = result.substr(offset, length);
    offset += length;
  }
  if (offset != result.size()) {
    problem = "the result's data is longer than its records say";
    return false;
  }
  return true;
}

}  // namespace KxrCli
