// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The dictionary of a device (/dictionary.json): the entries that save
// reads and restore may write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KxrCli {

// One entry of the device's dictionary (/dictionary.json).
struct DictEntry {
  uint16_t index = 0;
  uint8_t subIndex = 0;
  std::string name;
  std::string type;  // u8..u64, i8..i64, text, bytes
  uint32_t size = 0; // bytes; an integer type's width
  bool writable = false;
};

// Reads a dictionary document; false and "entry N: reason" at the first fault.
bool ParseDictionary(const std::string& text, std::vector<DictEntry>& dict, std::string& error);

}  // namespace KxrCli
