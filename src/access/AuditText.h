// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// How the audit lines show what a client sent: one word of printable ASCII,
// whatever bytes the client chose.
#pragma once

#include <string>
#include <string_view>

namespace KxrAccess {

// A header field of a request: how often it occurs, and its first value.
struct FieldValue {
  int count = 0;
  std::string_view value;
};

// A client's value as an audit line shows it: printable ASCII as is, any
// other byte (space, '\' and '"' too) as \xHH, cut after 40 bytes with
// "..."; "" when empty.
std::string Shown(std::string_view value);
// A header field as an audit line shows it: as above, "-" when absent,
// "(xN)" when given N times.
std::string Shown(FieldValue field);

}  // namespace KxrAccess
