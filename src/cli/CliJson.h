// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// kxr-cli's --json output: one document per call, for scripts.
//
//   {"entries":[{"index":4120,"sub":1,"code":0,"codeHex":"0x00000000","meaning":"Success",
//                "bytes":"78563412","value":305419896}]}
//   {"fault":{"code":-1606614780,"codeHex":"0xA03D0104","meaning":"...","text":"..."}}
//   {"error":"cannot connect to ..."}
//
// An entry's code is the unsigned 32-bit value of its record; a fault's code
// is signed, as its faultcode carries it; its text is the faultstring.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliCall.h"

namespace KxrCli {

// A JSON string literal, quotes included. Bytes that are not valid UTF-8
// make it fail: a script must never be handed a document it cannot parse.
bool JsonString(const std::string& text, std::string& literal);
// "code":N,"codeHex":"0x...","meaning":"...": a code's members, N signed
// with signedCode (a fault's, as its faultcode carries it).
std::string JsonCode(uint32_t code, bool signedCode = false);
// The document of a call that was answered with a result.
std::string JsonEntries(bool write, const std::vector<EntryArg>& entries, const std::vector<EntryResult>& outcomes);
// The document of a call that was answered with a fault.
std::string JsonFault(int32_t code, const std::string& faultString);
// The document of a call without usable answer, or of bad arguments.
std::string JsonError(const std::string& message);

}  // namespace KxrCli
