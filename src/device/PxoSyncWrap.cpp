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

}  // namespace

CPxoSyncWrap::CPxoSyncWrap()
    : m_hDll(nullptr),
      m_pPxoGetDllVersion(nullptr),
      m_pPxoPortOpen(nullptr),
      m_pPxoPortOpenEx(nullptr),
      m_pPxoPortClose(nullptr),
      m_pPxoPortCloseEx(nullptr),
      m_pPxoGetLocalAddress(nullptr),
      m_pPxoSyncWriteReq(nullptr),
      m_pPxoSyncReadReq(nullptr),
      m_pPxoSyncReadReqEx(nullptr),
      m_pPxoSyncReadWriteReq(nullptr),
      m_pPxoSyncReadWriteReqEx(nullptr),
      m_pPxoSyncReadWriteReqEx2(nullptr),
      m_pPxoSyncReadDeviceInfoReq(nullptr),
      m_pPxoSyncWriteControlReq(nullptr),
      m_pPxoSyncReadStateReq(nullptr),
      m_pPxoSyncAddDeviceNotificationReq(nullptr),
      m_pPxoSyncDelDeviceNotificationReq(nullptr),
      m_pPxoSyncSetTimeout(nullptr),
      m_pPxoGetLastError(nullptr) {}

CPxoSyncWrap::~CPxoSyncWrap() {}

int32_t CPxoSyncWrap::LoadDll() {
  if (m_hDll != nullptr) Unload();
  // Local scope: the library's symbols must not satisfy anyone else's references.
  m_hDll = ::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_LOCAL);
  if (m_hDll == nullptr) return 0;
  // Every symbol is optional; a missing one leaves its member null.
  Resolve(m_hDll, "PxoGetDllVersion", m_pPxoGetDllVersion);
  Resolve(m_hDll, "PxoPortOpen", m_pPxoPortOpen);
  Resolve(m_hDll, "PxoPortOpenEx", m_pPxoPortOpenEx);
  Resolve(m_hDll, "PxoPortClose", m_pPxoPortClose);
  Resolve(m_hDll, "PxoPortCloseEx", m_pPxoPortCloseEx);
  Resolve(m_hDll, "PxoGetLocalAddress", m_pPxoGetLocalAddress);
  Resolve(m_hDll, "PxoSyncWriteReq", m_pPxoSyncWriteReq);
  Resolve(m_hDll, "PxoSyncReadReq", m_pPxoSyncReadReq);
  Resolve(m_hDll, "PxoSyncReadReqEx", m_pPxoSyncReadReqEx);
  Resolve(m_hDll, "PxoSyncReadWriteReq", m_pPxoSyncReadWriteReq);
  Resolve(m_hDll, "PxoSyncReadWriteReqEx", m_pPxoSyncReadWriteReqEx);
  Resolve(m_hDll, "PxoSyncReadWriteReqEx2", m_pPxoSyncReadWriteReqEx2);
  Resolve(m_hDll, "PxoSyncReadDeviceInfoReq", m_pPxoSyncReadDeviceInfoReq);
  Resolve(m_hDll, "PxoSyncWriteControlReq", m_pPxoSyncWriteControlReq);
  Resolve(m_hDll, "PxoSyncReadStateReq", m_pPxoSyncReadStateReq);
  Resolve(m_hDll, "PxoSyncAddDeviceNotificationReq", m_pPxoSyncAddDeviceNotificationReq);
  Resolve(m_hDll, "PxoSyncDelDeviceNotificationReq", m_pPxoSyncDelDeviceNotificationReq);
  Resolve(m_hDll, "PxoSyncSetTimeout", m_pPxoSyncSetTimeout);
  Resolve(m_hDll, "PxoGetLastError", m_pPxoGetLastError);
  return 1;
}

void CPxoSyncWrap::Unload() {
  if (m_hDll != nullptr) ::dlclose(m_hDll);
  m_hDll = nullptr;
  m_pPxoGetDllVersion = nullptr;
  m_pPxoPortOpen = nullptr;
  m_pPxoPortOpenEx = nullptr;
  m_pPxoPortClose = nullptr;
  m_pPxoPortCloseEx = nullptr;
  m_pPxoGetLocalAddress = nullptr;
  m_pPxoSyncWriteReq = nullptr;
  m_pPxoSyncReadReq = nullptr;
  m_pPxoSyncReadReqEx = nullptr;
  m_pPxoSyncReadWriteReq = nullptr;
  m_pPxoSyncReadWriteReqEx = nullptr;
  m_pPxoSyncReadWriteReqEx2 = nullptr;
  m_pPxoSyncReadDeviceInfoReq = nullptr;
  m_pPxoSyncWriteControlReq = nullptr;
  m_pPxoSyncReadStateReq = nullptr;
  m_pPxoSyncAddDeviceNotificationReq = nullptr;
  m_pPxoSyncDelDeviceNotificationReq = nullptr;
  m_pPxoSyncSetTimeout = nullptr;
  m_pPxoGetLastError = nullptr;
}

void PinLoadedLibrary() {
  // One thread loads and releases the library, so a plain flag suffices.
  static void* pinned = nullptr;
  if (pinned != nullptr) return;
  // RTLD_NOLOAD: a reference to the copy already loaded, never a new load.
  pinned = ::dlopen(KxrSettings::kPxoLibrary, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
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
