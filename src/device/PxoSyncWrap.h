// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Wrapper of the automation-protocol client library, opened at run time.
// Each entry point is a method of the same name; a method whose entry point
// is missing (library not loaded, symbol not found) returns -1.
#pragma once

#include <cstdint>

#include "KxrTypes.h"

struct PxoVersion;             // library type, passed through by pointer only
struct PxoNotificationAttrib;  // library type, passed through by pointer only
struct PxoNotificationHeader;  // library type, passed through by pointer only

typedef void (*PxoNotificationCallback)(RvtAddr*, PxoNotificationHeader*, uint32_t);

// Loads the library and calls its entry points.
class CPxoSyncWrap {
 public:
  typedef int64_t (*PPxoGetDllVersion)();
  typedef int64_t (*PPxoPortOpen)();
  typedef int64_t (*PPxoPortOpenEx)();
  typedef int64_t (*PPxoPortClose)();
  typedef int64_t (*PPxoPortCloseEx)(int64_t);
  typedef int64_t (*PPxoGetLocalAddress)(RvtAddr*);
  typedef int64_t (*PPxoSyncWriteReq)(RvtAddr*, uint64_t, uint64_t, uint64_t, void*);
  typedef int64_t (*PPxoSyncReadReq)(RvtAddr*, uint64_t, uint64_t, uint64_t, void*);
  typedef int64_t (*PPxoSyncReadReqEx)(RvtAddr*, uint64_t, uint64_t, uint64_t, void*, uint64_t*);
  typedef int64_t (*PPxoSyncReadWriteReq)(RvtAddr*, uint64_t, uint64_t, uint64_t, void*, uint64_t, void*);
  typedef int64_t (*PPxoSyncReadWriteReqEx)(RvtAddr*, uint64_t, uint64_t, uint64_t, void*, uint64_t, void*,
                                            uint64_t*);
  typedef int64_t (*PPxoSyncReadWriteReqEx2)(uint64_t, RvtAddr*, uint64_t, uint64_t, uint64_t, void*, uint64_t,
                                             void*, uint64_t*);
  typedef int64_t (*PPxoSyncReadDeviceInfoReq)(RvtAddr*, char*, PxoVersion*);
  typedef int64_t (*PPxoSyncWriteControlReq)(RvtAddr*, uint16_t, uint16_t, uint64_t, void*);
  typedef int64_t (*PPxoSyncReadStateReq)(RvtAddr*, uint16_t*, uint16_t*);
  typedef int64_t (*PPxoSyncAddDeviceNotificationReq)(RvtAddr*, uint64_t, uint64_t, PxoNotificationAttrib*,
                                                      PxoNotificationCallback, uint64_t, uint64_t*);
  typedef int64_t (*PPxoSyncDelDeviceNotificationReq)(RvtAddr*, uint64_t);
  typedef int64_t (*PPxoSyncSetTimeout)(int64_t);
  typedef int64_t (*PPxoGetLastError)();

  // All members null; the library is not opened.
  CPxoSyncWrap();
  // Does nothing: the owner calls Unload itself.
  ~CPxoSyncWrap();
  CPxoSyncWrap(const CPxoSyncWrap&) = delete;
  CPxoSyncWrap& operator=(const CPxoSyncWrap&) = delete;

  // Opens the library (releasing a held handle first) and looks up every entry point; 1 loaded, 0 not.
  int32_t LoadDll();
  // Releases the handle and clears every member.
  void Unload();

  int64_t PxoGetDllVersion();
  int64_t PxoPortOpen();
  int64_t PxoPortOpenEx();
  int64_t PxoPortClose();
  int64_t PxoPortCloseEx(int64_t port);
  int64_t PxoGetLocalAddress(RvtAddr* pAddr);
  int64_t PxoSyncWriteReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length, void* pData);
  int64_t PxoSyncReadReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length, void* pData);
  int64_t PxoSyncReadReqEx(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t length, void* pData,
                           uint64_t* pcbReturned);
  int64_t PxoSyncReadWriteReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t cbRead,
                              void* pRead, uint64_t cbWrite, void* pWrite);
  int64_t PxoSyncReadWriteReqEx(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset, uint64_t cbRead,
                                void* pRead, uint64_t cbWrite, void* pWrite, uint64_t* pcbReturned);
  int64_t PxoSyncReadWriteReqEx2(uint64_t port, RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset,
                                 uint64_t cbRead, void* pRead, uint64_t cbWrite, void* pWrite,
                                 uint64_t* pcbReturned);
  int64_t PxoSyncReadDeviceInfoReq(RvtAddr* pAddr, char* pDevName, PxoVersion* pVersion);
  int64_t PxoSyncWriteControlReq(RvtAddr* pAddr, uint16_t nPxoState, uint16_t nDeviceState, uint64_t length,
                                 void* pData);
  int64_t PxoSyncReadStateReq(RvtAddr* pAddr, uint16_t* pPxoState, uint16_t* pDeviceState);
  int64_t PxoSyncAddDeviceNotificationReq(RvtAddr* pAddr, uint64_t indexGroup, uint64_t indexOffset,
                                          PxoNotificationAttrib* pAttrib, PxoNotificationCallback pCallback,
                                          uint64_t user, uint64_t* pNotification);
  int64_t PxoSyncDelDeviceNotificationReq(RvtAddr* pAddr, uint64_t notification);
  int64_t PxoSyncSetTimeout(int64_t timeout);
  int64_t PxoGetLastError();

 protected:
  void* m_hDll;
  PPxoGetDllVersion m_pPxoGetDllVersion;
  PPxoPortOpen m_pPxoPortOpen;
  PPxoPortOpenEx m_pPxoPortOpenEx;
  PPxoPortClose m_pPxoPortClose;
  PPxoPortCloseEx m_pPxoPortCloseEx;
  PPxoGetLocalAddress m_pPxoGetLocalAddress;
  PPxoSyncWriteReq m_pPxoSyncWriteReq;
  PPxoSyncReadReq m_pPxoSyncReadReq;
  PPxoSyncReadReqEx m_pPxoSyncReadReqEx;
  PPxoSyncReadWriteReq m_pPxoSyncReadWriteReq;
  PPxoSyncReadWriteReqEx m_pPxoSyncReadWriteReqEx;
  PPxoSyncReadWriteReqEx2 m_pPxoSyncReadWriteReqEx2;
  PPxoSyncReadDeviceInfoReq m_pPxoSyncReadDeviceInfoReq;
  PPxoSyncWriteControlReq m_pPxoSyncWriteControlReq;
  PPxoSyncReadStateReq m_pPxoSyncReadStateReq;
  PPxoSyncAddDeviceNotificationReq m_pPxoSyncAddDeviceNotificationReq;
  PPxoSyncDelDeviceNotificationReq m_pPxoSyncDelDeviceNotificationReq;
  PPxoSyncSetTimeout m_pPxoSyncSetTimeout;
  PPxoGetLastError m_pPxoGetLastError;

 private:
  // Sets every entry-point member to null.
  void ClearEntryPoints();
  // Takes every entry-point member of from.
  void CopyEntryPoints(const CPxoSyncWrap& from);
};

// Once the library has been loaded by a wrapper, takes one extra reference
// that keeps it mapped for the life of the process: each later LoadDll then
// only counts a reference instead of mapping and relocating the library anew,
// takes the entry points found by the first lookup after the pin, and each
// Unload no longer unmaps it. Does nothing while it is not loaded.
void PinLoadedLibrary();

// Looks for the library once, at start: 1 found, 0 not. When it cannot be
// loaded then, every later LoadDll fails at once without searching again (the
// library is not shipped, and a search costs a call nine system calls), so a
// library installed later is used only after a restart. A library found here
// is loaded by every LoadDll, as without this call.
int32_t ProbePxoLibrary();
