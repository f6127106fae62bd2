// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "PxoSyncWrap.h"

#include <dlfcn.h>

#include "Settings.h"

namespace {

// The address of symbol name in handle, as the member's function-pointer type;
// null when the library lacks it.
template <typename Fn>
void Resolve(void* handle, const char* name, Fn& member) {
  // Function and object pointers share one representation on the supported
  // platforms; dlsym's interface relies on it.
  member = reinterpret_cast<Fn>(::dlsym(handle, name));
}

// The extra reference of PinLoadedLibrary, null until it is taken.
void* gPinned = nullptr;

// Set when ProbePxoLibrary could not load the library: it is not looked for again.
bool gAbsent = false;

}  // namespace

// Every entry point, in the order of the lookup: X(name) for each.
#define KXR_PXO_ENTRY_POINTS(X) \
  X(PxoGetDllVersion) \
  X(PxoPortOpen) \
  X(PxoPortOpenEx) \
  X(PxoPortClose) \
  X(PxoPortCloseEx) \
  X(PxoGetLocalAddress) \
  X(PxoSyncWriteReq) \
  X(PxoSyncReadReq) \
  X(PxoSyncReadReqEx) \
  X(PxoSyncReadWriteReq) \
  X(PxoSyncReadWriteReqEx) \
  X(PxoSyncReadWriteReqEx2) \
  X(PxoSyncReadDeviceInfoReq) \
  X(PxoSyncWriteControlReq) \
  X(PxoSyncReadStateReq) \
  X(PxoSyncAddDeviceNotificationReq) \
  X(PxoSyncDelDeviceNotificationReq) \
  X(PxoSyncSetTimeout) \
  X(PxoGetLastError)

CPxoSyncWrap::CPxoSyncWrap() : m_hDll(nullptr) { ClearEntryPoints(); }

CPxoSyncWrap::~CPxoSyncWrap() {}

int32_t CPxoSyncWrap::LoadDll() {
  if (m_hDll != nullptr) Unload();
  if (gAbsent) return 0;
  // Local scope: the library's symbols must not satisfy anyone else's references.
  m_hDll = ::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_LOCAL);
  if (m_hDll == nullptr) return 0;
  // The pinned library stays mapped for the life of the process, so a lookup
  // in it finds what the first one found: its entry points are looked up once
  // and copied afterwards, which saves 19 symbol searches per call.
  static CPxoSyncWrap pinned;
  if (m_hDll == pinned.m_hDll) {
    CopyEntryPoints(pinned);
    return 1;
  }
  // Every symbol is optional; a missing one leaves its member null.
#define KXR_RESOLVE(name) Resolve(m_hDll, #name, m_p##name);
  KXR_PXO_ENTRY_POINTS(KXR_RESOLVE)
#undef KXR_RESOLVE
  if (m_hDll == gPinned) {
    pinned.m_hDll = m_hDll;
    pinned.CopyEntryPoints(*this);
  }
  return 1;
}

void CPxoSyncWrap::Unload() {
  if (m_hDll != nullptr) ::dlclose(m_hDll);
  m_hDll = nullptr;
  ClearEntryPoints();
}

void CPxoSyncWrap::ClearEntryPoints() {
#define KXR_CLEAR(name) m_p##name = nullptr;
  KXR_PXO_ENTRY_POINTS(KXR_CLEAR)
#undef KXR_CLEAR
}

void CPxoSyncWrap::CopyEntryPoints(const CPxoSyncWrap& from) {
#define KXR_COPY(name) m_p##name = from.m_p##name;
  KXR_PXO_ENTRY_POINTS(KXR_COPY)
#undef KXR_COPY
}

#undef KXR_PXO_ENTRY_POINTS

void PinLoadedLibrary() {
  // One thread loads and releases the library, so a plain flag suffices.
  if (gPinned != nullptr) return;
  // RTLD_NOLOAD: a reference to the copy already loaded, never a new load.
  gPinned = ::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
}

int32_t ProbePxoLibrary() {
  // The same open as LoadDll's, so that it fails or succeeds as theirs would.
  void* handle = ::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_LOCAL);
  gAbsent = handle == nullptr;
  if (handle == nullptr) return 0;
  ::dlclose(handle);
  return 1;
}

int64_t CPxoSyncWrap::PxoGetDllVersion() { return m_pPxoGetDllVersion ? m_pPxoGetDllVersion() : -1; }

int64_t CPxoSyncWrap::PxoPortOpen() { return m_pPxoPortOpen ? m_pPxoPortOpen() : -1; }

int64_t CPxoSyncWrap::PxoPortOpenEx() { return m_pPxoPortOpenEx ? m_pPxoPortOpenEx() : -1; }

int64_t CPxoSyncWrap::PxoPortClose() { return m_pPxoPortClose ? m_pPxoPortClose() : -1; }

int64_t CPxoSyncWrap::PxoPortCloseEx(int64_t port) { return m_pPxoPortCloseEx ? m_pPxoPortCloseEx(port) : -1; }

int64_t CPxoSyncWrap::PxoGetLocalAddress(RvtAddr* pAddr) {
  return m_pPxoGetLocalAddress ? m_pPxoGetLocalAddress(pAddr) : -1;
}

int64_t CPxoSyncWrap::PxoSyncWriteReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length,
                                      void* pData) {
  return m_pPxoSyncWriteReq ? m_pPxoSyncWriteReq(pAddr, indexGroup, indexOffset, length, pData) : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length,
                                     void* pData) {
  return m_pPxoSyncReadReq ? m_pPxoSyncReadReq(pAddr, indexGroup, indexOffset, length, pData) : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadReqEx(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length,
                                       void* pData, uint64_t* pcbReturned) {
  return m_pPxoSyncReadReqEx ? m_pPxoSyncReadReqEx(pAddr, indexGroup, indexOffset, length, pData, pcbReturned) : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadWriteReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t cbRead,
                                          void* pRead, uint64_t cbWrite, void* pWrite) {
  return m_pPxoSyncReadWriteReq
             ? m_pPxoSyncReadWriteReq(pAddr, indexGroup, indexOffset, cbRead, pRead, cbWrite, pWrite)
             : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadWriteReqEx(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset,
                                            uint64_t cbRead, void* pRead, uint64_t cbWrite, void* pWrite,
                                            uint64_t* pcbReturned) {
  return m_pPxoSyncReadWriteReqEx
             ? m_pPxoSyncReadWriteReqEx(pAddr, indexGroup, indexOffset, cbRead, pRead, cbWrite, pWrite, pcbReturned)
             : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadWriteReqEx2(uint64_t port, RvtAddr* pAddr, uint64_t indexGroup,
                                             uint64_t indexOffset, uint64_t cbRead, void* pRead, uint64_t cbWrite,
                                             void* pWrite, uint64_t* pcbReturned) {
  return m_pPxoSyncReadWriteReqEx2 ? m_pPxoSyncReadWriteReqEx2(port, pAddr, indexGroup, indexOffset, cbRead, pRead,
                                                               cbWrite, pWrite, pcbReturned)
                                   : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadDeviceInfoReq(RvtAddr* pAddr, char* pDevName, PxoVersion* pVersion) {
  return m_pPxoSyncReadDeviceInfoReq ? m_pPxoSyncReadDeviceInfoReq(pAddr, pDevName, pVersion) : -1;
}

int64_t CPxoSyncWrap::PxoSyncWriteControlReq(RvtAddr* pAddr, uint16_t nPxoState, uint16_t nDeviceState,
                                             uint64_t length, void* pData) {
  return m_pPxoSyncWriteControlReq ? m_pPxoSyncWriteControlReq(pAddr, nPxoState, nDeviceState, length, pData) : -1;
}

int64_t CPxoSyncWrap::PxoSyncReadStateReq(RvtAddr* pAddr, uint16_t* pPxoState, uint16_t* pDeviceState) {
  return m_pPxoSyncReadStateReq ? m_pPxoSyncReadStateReq(pAddr, pPxoState, pDeviceState) : -1;
}

int64_t CPxoSyncWrap::PxoSyncAddDeviceNotificationReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset,
                                                      PxoNotificationAttrib* pAttrib,
                                                      PxoNotificationCallback pCallback, uint64_t user,
                                                      uint64_t* pNotification) {
  return m_pPxoSyncAddDeviceNotificationReq
             ? m_pPxoSyncAddDeviceNotificationReq(pAddr, indexGroup, indexOffset, pAttrib, pCallback, user,
                                                  pNotification)
             : -1;
}

int64_t CPxoSyncWrap::PxoSyncDelDeviceNotificationReq(RvtAddr* pAddr, uint64_t notification) {
  return m_pPxoSyncDelDeviceNotificationReq ? m_pPxoSyncDelDeviceNotificationReq(pAddr, notification) : -1;
}

int64_t CPxoSyncWrap::PxoSyncSetTimeout(int64_t timeout) {
  return m_pPxoSyncSetTimeout ? m_pPxoSyncSetTimeout(timeout) : -1;
}

int64_t CPxoSyncWrap::PxoGetLastError() { return m_pPxoGetLastError ? m_pPxoGetLastError() : -1; }
