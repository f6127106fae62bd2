// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "Roles.h"

#include "Protocol.h"

namespace KxrAccess {

namespace {

// One row a role. A new role is one more row here (and its word in the
// users' roles files).
struct RoleRow {
  Role role;
  std::string_view name;
  bool everyCall;  // else sum-up reads only
};

constexpr RoleRow kRoles[] = {
    {Role::Operator, "operator", true},
    {Role::Viewer, "viewer", false},
};

const RoleRow& RowOf(Role role) {
  for (const RoleRow& row : kRoles)
    if (row.role == role) return row;
  return kRoles[1];  // not reached: every role has its row
}

}  // namespace

std::optional<Role> RoleNamed(std::string_view name) {
  for (const RoleRow& row : kRoles)
    if (row.name == name) return row.role;
  return std::nullopt;
}

const char* RoleName(Role role) { return RowOf(role).name.data(); }

bool MayCall(Role role, std::optional<int> group) {
  if (RowOf(role).everyCall) return true;
  return group && *group == KxrProtocol::kSumUpRead;
}

}  // namespace KxrAccess
