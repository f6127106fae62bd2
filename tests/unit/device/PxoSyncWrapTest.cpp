// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Without the automation library the wrapper's every call fails; a library absent at the start-up probe is not looked
// for again, even once installed on the library path; one present then is loaded by every call.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "PxoSyncWrap.h"
#include "Settings.h"

TEST(PxoSyncWrap, TheProbeAtStartDecidesForGood) {
  const std::string installed = std::string(KXR_PXO_LATER_DIR "/") + KxrSettings::kPxoLibrary;
  const struct { bool atStart; int32_t found, loaded; } cases[] = {{false, 0, 0}, {true, 1, 1}};
  for (const auto& c : cases) {
    ::unlink(installed.c_str());
    // In a child of its own: what the probe found lasts for the process.
    const auto run = [&] {
      if (c.atStart && ::symlink(KXR_PXO_STUB, installed.c_str()) != 0) return false;
      if (ProbePxoLibrary() != c.found || (!c.atStart && ::symlink(KXR_PXO_STUB, installed.c_str()) != 0)) return false;
      CPxoSyncWrap wrap;
      for (int call = 0; call < 2; ++call, wrap.Unload())
        if (wrap.LoadDll() != c.loaded || (wrap.PxoPortOpenEx() == -1) == (c.loaded == 1) ||
            (c.loaded == 0 && wrap.PxoSyncReadWriteReqEx2(1, nullptr, 0, 0, 0, nullptr, 0, nullptr, nullptr) != -1))
          return false;
      return true;
    };
    EXPECT_EXIT(::_exit(run() ? 0 : 1), ::testing::ExitedWithCode(0), "") << c.atStart;
  }
  ::unlink(installed.c_str());
}
