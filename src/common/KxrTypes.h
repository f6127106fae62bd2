// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Types shared by the SOAP parser, the request engine and the automation
// library wrapper.
#pragma once

#include <cstdint>

// Net id of a target system: six bytes, written as dotted decimal in requests.
struct RvtNetId {
  unsigned char b[6];
};

#pragma pack(push, 1)
// Address of a target on the automation path: net id, then the 16-bit port.
struct RvtAddr {
  RvtNetId netId;
  uint16_t port;
};
#pragma pack(pop)

static_assert(sizeof(RvtNetId) == 6, "RvtNetId is six bytes");
static_assert(sizeof(RvtAddr) == 8, "RvtAddr is eight bytes");
