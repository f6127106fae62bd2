// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The roles and what each may call: the one place that names them.
#pragma once

#include <optional>
#include <string_view>

namespace KxrAccess {

enum class Role { Viewer, Operator };

// The role a roles file's word names; none for any other word.
std::optional<Role> RoleNamed(std::string_view name);
// The role's word, as the roles file, the audit and the session document write it.
const char* RoleName(Role role);
// Whether the role may make a call of this index group; group is empty when
// the call did not parse, which only a role that may call anything passes on
// (to get the parse's fault).
bool MayCall(Role role, std::optional<int> group);

}  // namespace KxrAccess
