// The library wrapper with the stand-in library (WrapperFull), its build
// without "PxoSyncReadWriteReqEx2" (WrapperNoEx2) and no library at all
// (WrapperNone); ctest runs each suite with its own LD_LIBRARY_PATH.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "PxoStubControl.h"
#include "PxoSyncWrap.h"
#include "Settings.h"

namespace {

RvtAddr gAddr{};
char gData[8], gDev[8];
uint16_t gState1, gState2;
uint64_t gCount;
void Notify(RvtAddr*, PxoNotificationHeader*, uint32_t) {}

uint64_t P(const void* p) { return reinterpret_cast<uintptr_t>(p); }

struct Call {
  const char* name;
  std::function<int64_t(CPxoSyncWrap&)> call;
  std::vector<uint64_t> args;  // as the entry point must receive them
};

const std::vector<Call>& Calls() {
  auto* version = reinterpret_cast<PxoVersion*>(gData);
  auto* attrib = reinterpret_cast<PxoNotificationAttrib*>(gDev);
  static const std::vector<Call> calls = {
      {"PxoGetDllVersion", [](CPxoSyncWrap& w) { return w.PxoGetDllVersion(); }, {}},
      {"PxoPortOpen", [](CPxoSyncWrap& w) { return w.PxoPortOpen(); }, {}},
      {"PxoPortOpenEx", [](CPxoSyncWrap& w) { return w.PxoPortOpenEx(); }, {}},
      {"PxoPortClose", [](CPxoSyncWrap& w) { return w.PxoPortClose(); }, {}},
      {"PxoPortCloseEx", [](CPxoSyncWrap& w) { return w.PxoPortCloseEx(-5); }, {static_cast<uint64_t>(-5)}},
      {"PxoGetLocalAddress", [](CPxoSyncWrap& w) { return w.PxoGetLocalAddress(&gAddr); }, {P(&gAddr)}},
      {"PxoSyncWriteReq", [](CPxoSyncWrap& w) { return w.PxoSyncWriteReq(&gAddr, 1, 2, 3, gData); },
       {P(&gAddr), 1, 2, 3, P(gData)}},
      {"PxoSyncReadReq", [](CPxoSyncWrap& w) { return w.PxoSyncReadReq(&gAddr, 4, 5, 6, gData); },
       {P(&gAddr), 4, 5, 6, P(gData)}},
      {"PxoSyncReadReqEx", [](CPxoSyncWrap& w) { return w.PxoSyncReadReqEx(&gAddr, 7, 8, 9, gData, &gCount); },
       {P(&gAddr), 7, 8, 9, P(gData), P(&gCount)}},
      {"PxoSyncReadWriteReq",
       [](CPxoSyncWrap& w) { return w.PxoSyncReadWriteReq(&gAddr, 10, 11, 12, gData, 13, gDev); },
       {P(&gAddr), 10, 11, 12, P(gData), 13, P(gDev)}},
      {"PxoSyncReadWriteReqEx",
       [](CPxoSyncWrap& w) { return w.PxoSyncReadWriteReqEx(&gAddr, 14, 15, 16, gData, 17, gDev, &gCount); },
       {P(&gAddr), 14, 15, 16, P(gData), 17, P(gDev), P(&gCount)}},
      {"PxoSyncReadWriteReqEx2",
       [](CPxoSyncWrap& w) { return w.PxoSyncReadWriteReqEx2(18, &gAddr, 19, 20, 2, gData, 1, gDev, &gCount); },
       {18, P(&gAddr), 19, 20, 2, P(gData), 1, P(gDev), P(&gCount)}},
      {"PxoSyncReadDeviceInfoReq",
       [version](CPxoSyncWrap& w) { return w.PxoSyncReadDeviceInfoReq(&gAddr, gDev, version); },
       {P(&gAddr), P(gDev), P(version)}},
      {"PxoSyncWriteControlReq", [](CPxoSyncWrap& w) { return w.PxoSyncWriteControlReq(&gAddr, 21, 22, 23, gData); },
       {P(&gAddr), 21, 22, 23, P(gData)}},
      {"PxoSyncReadStateReq", [](CPxoSyncWrap& w) { return w.PxoSyncReadStateReq(&gAddr, &gState1, &gState2); },
       {P(&gAddr), P(&gState1), P(&gState2)}},
      {"PxoSyncAddDeviceNotificationReq",
       [attrib](CPxoSyncWrap& w) {
         return w.PxoSyncAddDeviceNotificationReq(&gAddr, 24, 25, attrib, Notify, 26, &gCount);
       },
       {P(&gAddr), 24, 25, P(attrib), reinterpret_cast<uintptr_t>(&Notify), 26, P(&gCount)}},
      {"PxoSyncDelDeviceNotificationReq", [](CPxoSyncWrap& w) { return w.PxoSyncDelDeviceNotificationReq(&gAddr, 27); },
       {P(&gAddr), 27}},
      {"PxoSyncSetTimeout", [](CPxoSyncWrap& w) { return w.PxoSyncSetTimeout(-28); }, {static_cast<uint64_t>(-28)}},
      {"PxoGetLastError", [](CPxoSyncWrap& w) { return w.PxoGetLastError(); }, {}},
  };
  return calls;
}

// Reaches the stand-in's control functions through the same library file.
class Wrapper : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = ::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_LOCAL);
    if (handle_ == nullptr) return;
    reset_ = reinterpret_cast<PPxoStubReset>(::dlsym(handle_, "PxoStubReset"));
    setResult_ = reinterpret_cast<PPxoStubSetResult>(::dlsym(handle_, "PxoStubSetResult"));
    callCount_ = reinterpret_cast<PPxoStubCallCount>(::dlsym(handle_, "PxoStubCallCount"));
    lastArgs_ = reinterpret_cast<PPxoStubLastArgs>(::dlsym(handle_, "PxoStubLastArgs"));
    ASSERT_TRUE(reset_ && setResult_ && callCount_ && lastArgs_);
  }
  void TearDown() override {
    if (handle_ != nullptr) ::dlclose(handle_);
  }

  // Calls every method on a freshly loaded wrapper; `missing` names the one
  // entry point the library lacks. Without a library every method gives -1.
  void ExpectEntryPoints(bool loaded, const char* missing) {
    for (std::size_t i = 0; i < Calls().size(); ++i) {
      const Call& c = Calls()[i];
      const bool present = loaded && std::strcmp(c.name, missing) != 0;
      const int64_t result = 1000 + static_cast<int64_t>(i);
      if (handle_ != nullptr) {
        reset_();
        setResult_(c.name, result);
      }
      CPxoSyncWrap w;
      EXPECT_EQ(w.LoadDll(), loaded ? 1 : 0);
      EXPECT_EQ(c.call(w), present ? result : -1) << c.name;
      w.Unload();
      EXPECT_EQ(c.call(w), -1) << c.name << " after Unload";
      if (handle_ == nullptr) continue;
      EXPECT_EQ(callCount_(c.name), present ? 1u : 0u) << c.name;
      std::vector<uint64_t> args(9);
      args.resize(lastArgs_(c.name, args.data(), 9));
      if (present) {
        EXPECT_EQ(args, c.args) << c.name;
      }
    }
  }

  void* handle_ = nullptr;
  PPxoStubReset reset_ = nullptr;
  PPxoStubSetResult setResult_ = nullptr;
  PPxoStubCallCount callCount_ = nullptr;
  PPxoStubLastArgs lastArgs_ = nullptr;
};

class WrapperFull : public Wrapper {};
class WrapperNoEx2 : public Wrapper {};
class WrapperNone : public Wrapper {};

TEST_F(WrapperFull, EveryMethodCallsItsEntryPoint) {
  ASSERT_NE(handle_, nullptr) << ::dlerror();
  ExpectEntryPoints(true, "");
}

// Loading again must release the earlier handle: one Unload then leaves the library unmapped.
TEST(WrapperFullRefs, ReloadReleasesTheEarlierHandle) {
  CPxoSyncWrap w;
  w.Unload();  // never loaded: nothing to release
  EXPECT_EQ(w.PxoPortOpenEx(), -1);
  ASSERT_EQ(w.LoadDll(), 1);
  ASSERT_EQ(w.LoadDll(), 1);
  EXPECT_EQ(w.PxoPortOpenEx(), 1);
  w.Unload();
  EXPECT_EQ(::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

TEST_F(WrapperNoEx2, OnlyTheMissingEntryPointAnswersMinusOne) {
  ASSERT_NE(handle_, nullptr) << ::dlerror();
  ExpectEntryPoints(true, "PxoSyncReadWriteReqEx2");
}

TEST_F(WrapperNone, EveryMethodAnswersMinusOne) {
  ASSERT_EQ(handle_, nullptr) << "a library was found";
  ExpectEntryPoints(false, "");
}

}  // namespace
