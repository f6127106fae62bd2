// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Stand-in for the automation-protocol client library: the 19 entry points
// with the wrapper's signatures, plus the test control of PxoStubControl.h.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

#include "PxoStubControl.h"
#include "PxoSyncWrap.h"

#define PXO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The entry points in the wrapper's lookup order; their ids index the state.
enum EntryPoint {
  kGetDllVersion,
  kPortOpen,
  kPortOpenEx,
  kPortClose,
  kPortCloseEx,
  kGetLocalAddress,
  kSyncWriteReq,
  kSyncReadReq,
  kSyncReadReqEx,
  kSyncReadWriteReq,
  kSyncReadWriteReqEx,
  kSyncReadWriteReqEx2,
  kSyncReadDeviceInfoReq,
  kSyncWriteControlReq,
  kSyncReadStateReq,
  kSyncAddDeviceNotificationReq,
  kSyncDelDeviceNotificationReq,
  kSyncSetTimeout,
  kGetLastError,
  kEntryPoints
};

const char* const kNames[kEntryPoints] = {
    "PxoGetDllVersion",        "PxoPortOpen",
    "PxoPortOpenEx",           "PxoPortClose",
    "PxoPortCloseEx",          "PxoGetLocalAddress",
    "PxoSyncWriteReq",         "PxoSyncReadReq",
    "PxoSyncReadReqEx",        "PxoSyncReadWriteReq",
    "PxoSyncReadWriteReqEx",   "PxoSyncReadWriteReqEx2",
    "PxoSyncReadDeviceInfoReq", "PxoSyncWriteControlReq",
    "PxoSyncReadStateReq",     "PxoSyncAddDeviceNotificationReq",
    "PxoSyncDelDeviceNotificationReq", "PxoSyncSetTimeout",
    "PxoGetLastError"};

constexpr uint32_t kMaxArgs = 9;
constexpr int64_t kDefaultPort = 1;

struct State {
  std::mutex mutex;
  int64_t results[kEntryPoints];
  uint64_t calls[kEntryPoints];
  uint64_t args[kEntryPoints][kMaxArgs];
  uint32_t argCount[kEntryPoints];
  std::vector<unsigned char> answer;
  uint64_t cbReturned;
  bool haveRequest;
  PxoStubRequest request;
  std::vector<unsigned char> writeData;

  State() { Reset(); }
  void Reset() {
    for (int i = 0; i < kEntryPoints; ++i) {
      results[i] = 0;
      calls[i] = 0;
      argCount[i] = 0;
      std::memset(args[i], 0, sizeof args[i]);
    }
    results[kPortOpenEx] = kDefaultPort;
    answer.clear();
    cbReturned = 0;
    haveRequest = false;
    std::memset(&request, 0, sizeof request);
    writeData.clear();
  }
};

State& TheState() {
  static State state;
  return state;
}

int Find(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < kEntryPoints; ++i)
    if (std::strcmp(kNames[i], name) == 0) return i;
  return -1;
}

template <typename T>
std::enable_if_t<std::is_integral<T>::value, uint64_t> Widen(T v) {
  return static_cast<uint64_t>(v);
}
template <typename T>
uint64_t Widen(T* p) {
  return reinterpret_cast<uintptr_t>(p);
}

// Counts the call, keeps its arguments and returns the entry point's result.
template <typename... Args>
int64_t Record(EntryPoint id, Args... args) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  const uint64_t values[] = {0, Widen(args)...};
  ++s.calls[id];
  s.argCount[id] = sizeof...(Args);
  for (uint32_t i = 0; i < sizeof...(Args); ++i) s.args[id][i] = values[i + 1];
  return s.results[id];
}

}  // namespace

PXO_EXPORT int64_t PxoGetDllVersion() { return Record(kGetDllVersion); }
PXO_EXPORT int64_t PxoPortOpen() { return Record(kPortOpen); }
PXO_EXPORT int64_t PxoPortOpenEx() { return Record(kPortOpenEx); }
PXO_EXPORT int64_t PxoPortClose() { return Record(kPortClose); }
PXO_EXPORT int64_t PxoPortCloseEx(int64_t port) { return Record(kPortCloseEx, port); }
PXO_EXPORT int64_t PxoGetLocalAddress(RvtAddr* pAddr) { return Record(kGetLocalAddress, pAddr); }

PXO_EXPORT int64_t PxoSyncWriteReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length,
                                   void* pData) {
  return Record(kSyncWriteReq, pAddr, indexGroup, indexOffset, length, pData);
}

PXO_EXPORT int64_t PxoSyncReadReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length,
                                  void* pData) {
  return Record(kSyncReadReq, pAddr, indexGroup, indexOffset, length, pData);
}

PXO_EXPORT int64_t PxoSyncReadReqEx(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length,
                                    void* pData, uint64_t* pcbReturned) {
  return Record(kSyncReadReqEx, pAddr, indexGroup, indexOffset, length, pData, pcbReturned);
}

PXO_EXPORT int64_t PxoSyncReadWriteReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t cbRead,
                                       void* pRead, uint64_t cbWrite, void* pWrite) {
  return Record(kSyncReadWriteReq, pAddr, indexGroup, indexOffset, cbRead, pRead, cbWrite, pWrite);
}

PXO_EXPORT int64_t PxoSyncReadWriteReqEx(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t cbRead,
                                         void* pRead, uint64_t cbWrite, void* pWrite, uint64_t* pcbReturned) {
  return Record(kSyncReadWriteReqEx, pAddr, indexGroup, indexOffset, cbRead, pRead, cbWrite, pWrite, pcbReturned);
}

PXO_EXPORT int64_t PxoSyncReadWriteReqEx2(uint64_t port, RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset,
                                          uint64_t cbRead, void* pRead, uint64_t cbWrite, void* pWrite,
                                          uint64_t* pcbReturned) {
  Record(kSyncReadWriteReqEx2, port, pAddr, indexGroup, indexOffset, cbRead, pRead, cbWrite, pWrite, pcbReturned);
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.haveRequest = true;
  s.request = PxoStubRequest{};
  s.request.port = port;
  s.request.hasAddr = pAddr != nullptr;
  if (pAddr != nullptr) s.request.addr = *pAddr;
  s.request.indexGroup = indexGroup;
  s.request.indexOffset = indexOffset;
  s.request.cbRead = cbRead;
  s.request.hasRead = pRead != nullptr;
  s.request.cbWrite = cbWrite;
  s.request.hasReturned = pcbReturned != nullptr;
  const auto* write = static_cast<const unsigned char*>(pWrite);
  s.writeData.assign(write, write == nullptr ? write : write + cbWrite);
  // The library stores at most the read length.
  const uint64_t copied = s.answer.size() < cbRead ? s.answer.size() : cbRead;
  if (pRead != nullptr && copied > 0) std::memcpy(pRead, s.answer.data(), copied);
  if (pcbReturned != nullptr) *pcbReturned = s.cbReturned;
  return s.results[kSyncReadWriteReqEx2];
}
static_assert(std::is_same<decltype(&PxoSyncReadWriteReqEx2), CPxoSyncWrap::PPxoSyncReadWriteReqEx2>::value,
              "the stand-in matches the wrapper's signature");

PXO_EXPORT int64_t PxoSyncReadDeviceInfoReq(RvtAddr* pAddr, char* pDevName, PxoVersion* pVersion) {
  return Record(kSyncReadDeviceInfoReq, pAddr, pDevName, pVersion);
}

PXO_EXPORT int64_t PxoSyncWriteControlReq(RvtAddr* pAddr, uint16_t nPxoState, uint16_t nDeviceState, uint64_t length,
                                          void* pData) {
  return Record(kSyncWriteControlReq, pAddr, nPxoState, nDeviceState, length, pData);
}

PXO_EXPORT int64_t PxoSyncReadStateReq(RvtAddr* pAddr, uint16_t* pPxoState, uint16_t* pDeviceState) {
  return Record(kSyncReadStateReq, pAddr, pPxoState, pDeviceState);
}

PXO_EXPORT int64_t PxoSyncAddDeviceNotificationReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset,
                                                   PxoNotificationAttrib* pAttrib, PxoNotificationCallback pCallback,
                                                   uint64_t user, uint64_t* pNotification) {
  return Record(kSyncAddDeviceNotificationReq, pAddr, indexGroup, indexOffset, pAttrib, pCallback, user,
                pNotification);
}

PXO_EXPORT int64_t PxoSyncDelDeviceNotificationReq(RvtAddr* pAddr, uint64_t notification) {
  return Record(kSyncDelDeviceNotificationReq, pAddr, notification);
}

PXO_EXPORT int64_t PxoSyncSetTimeout(int64_t timeout) { return Record(kSyncSetTimeout, timeout); }

PXO_EXPORT int64_t PxoGetLastError() { return Record(kGetLastError); }

// The remaining signatures must match the wrapper's too.
static_assert(std::is_same<decltype(&PxoSyncAddDeviceNotificationReq),
                           CPxoSyncWrap::PPxoSyncAddDeviceNotificationReq>::value &&
                  std::is_same<decltype(&PxoSyncWriteControlReq), CPxoSyncWrap::PPxoSyncWriteControlReq>::value &&
                  std::is_same<decltype(&PxoSyncReadWriteReqEx), CPxoSyncWrap::PPxoSyncReadWriteReqEx>::value &&
                  std::is_same<decltype(&PxoPortCloseEx), CPxoSyncWrap::PPxoPortCloseEx>::value,
              "the stand-in matches the wrapper's signatures");

PXO_EXPORT void PxoStubReset(void) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.Reset();
}

PXO_EXPORT void PxoStubSetPort(int64_t port) { PxoStubSetResult("PxoPortOpenEx", port); }

PXO_EXPORT int32_t PxoStubSetResult(const char* entryPoint, int64_t result) {
  const int id = Find(entryPoint);
  if (id < 0) return 0;
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.results[id] = result;
  return 1;
}

PXO_EXPORT void PxoStubSetAnswer(const void* pData, uint64_t cbData, uint64_t cbReturned, int64_t result) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto* data = static_cast<const unsigned char*>(pData);
  s.answer.assign(data, data == nullptr ? data : data + cbData);
  s.cbReturned = cbReturned;
  s.results[kSyncReadWriteReqEx2] = result;
}

PXO_EXPORT uint64_t PxoStubCallCount(const char* entryPoint) {
  const int id = Find(entryPoint);
  if (id < 0) return 0;
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls[id];
}

PXO_EXPORT uint32_t PxoStubLastArgs(const char* entryPoint, uint64_t* pArgs, uint32_t maxArgs) {
  const int id = Find(entryPoint);
  if (id < 0) return 0;
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (uint32_t i = 0; pArgs != nullptr && i < maxArgs && i < s.argCount[id]; ++i) pArgs[i] = s.args[id][i];
  return s.argCount[id];
}

PXO_EXPORT int32_t PxoStubLastRequest(PxoStubRequest* pRequest) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.haveRequest) return 0;
  if (pRequest != nullptr) *pRequest = s.request;
  return 1;
}

PXO_EXPORT uint64_t PxoStubLastWriteData(void* pBuf, uint64_t cbBuf) {
  State& s = TheState();
  std::lock_guard<std::mutex> lock(s.mutex);
  const uint64_t size = s.writeData.size();
  if (pBuf != nullptr && size > 0) std::memcpy(pBuf, s.writeData.data(), size < cbBuf ? size : cbBuf);
  return size;
}
