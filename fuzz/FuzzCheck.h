// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Aborts with the reason, so that libFuzzer keeps the input.
#pragma once
#include <cstdio>
#include <cstdlib>

inline void Check(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "check failed: %s\n", what), std::abort();
}
