// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Without the automation library on the library path the daemon still
// starts (nothing links it at load time) and every call of the wrapper fails.
#include <gtest/gtest.h>

#include "PxoSyncWrap.h"

TEST(PxoSyncWrap, WithoutTheLibraryEveryCallFails) {
  CPxoSyncWrap wrap;
  EXPECT_EQ(wrap.LoadDll(), 0);
  EXPECT_EQ(wrap.PxoPortOpenEx(), -1);
  EXPECT_EQ(wrap.PxoSyncReadWriteReqEx2(1, nullptr, 0, 0, 0, nullptr, 0, nullptr, nullptr), -1);
}
