// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Client of the device-profile service: one exchange per call over the
// service's Unix-domain socket. Every function returns 0 for success or a
// 32-bit code (in a 64-bit result whose upper half is zero).
#pragma once

#include <cstdint>

#include "ResultCodes.h"

// Result codes of the client (the service's own statuses pass through);
// values and meanings come from ResultCodes.def.
enum : uint64_t {
  KXR_ERR_NO_MEMORY = KxrResult::EntryTooLong,               // a buffer could not be allocated
  KXR_ERR_INVALID_ARGS = KxrResult::ClientInvalidArgs,       // invalid arguments
  KXR_ERR_BUFFER_TOO_SMALL = KxrResult::EntryBufferTooSmall, // receiving buffer too small (data still delivered)
  KXR_ERR_CONNECTION_REFUSED = KxrResult::ServiceRefused,    // refused on every connection attempt
  KXR_ERR_NO_SERVICE = KxrResult::ServiceNotRunning,         // the service's socket does not exist
  KXR_ERR_SHORT_ANSWER = KxrResult::MalformedAnswer,         // answer malformed: shorter than its head, or too long
  KXR_ERR_ERRNO_BASE = KxrResult::kErrnoBase,                // plus the low 16 bits of errno
};

// The records below give the layout of the messages. Every integer in them is
// little-endian; the client writes and reads them field by field, so the
// host's own byte order does not matter.

#pragma pack(push, 1)
// Head of every request message; the input area and then the output area follow.
struct _tagKxrIoCtlHdr {
  uint64_t cbTotal;     // 24 + input length + output length
  uint64_t nInOffset;   // always 24
  uint64_t nOutOffset;  // 24 + input length
};

// Entry access (kind 0): an 18-byte head, then the data. Note that the flags
// byte precedes the sub-index here, unlike in the calls' parameter lists.
struct _tagKxrSyncReq {
  uint16_t nKind;      // 0
  uint16_t nIndex;     // object index
  uint8_t nFlags;      // flags byte
  uint8_t nSubIndex;   // sub-index
  int64_t nStatus;     // -1 when sent; the service's status in the answer
  uint32_t cbData;     // bytes written behind the head, or bytes wanted by a read
};

// Object-dictionary list request (kind 1).
struct _tagTKxrOdList {
  _tagTKxrOdList() : nKind(1), nSelector(0) {}
  uint16_t nKind;      // 1
  uint16_t nSelector;  // list selector, meaningful to the service only
};

// Object description request (kind 2).
struct _tagKxrGetObjInfoReq {
  _tagKxrGetObjInfoReq() : nKind(2), nIndex(0), nValue(0) {}
  uint16_t nKind;   // 2
  uint16_t nIndex;  // object index
  uint64_t nValue;  // caller's value, meaningful to the service only
};

// Entry description request (kind 3).
struct _tagKxrGetEntryInfoReq {
  _tagKxrGetEntryInfoReq() : nKind(3), nIndex(0), nSubIndex(0), nValue(0), nDescValue(0) {}
  uint16_t nKind;       // 3
  uint16_t nIndex;      // object index
  uint8_t nSubIndex;    // sub-index
  uint64_t nValue;      // caller's value, meaningful to the service only
  uint16_t nDescValue;  // the 16-bit value at offset 8 of the caller's description buffer
};
#pragma pack(pop)

static_assert(sizeof(_tagKxrIoCtlHdr) == 24, "message head is 24 bytes");
static_assert(sizeof(_tagKxrSyncReq) == 18, "entry-access head is 18 bytes");
static_assert(sizeof(_tagTKxrOdList) == 4, "list request is 4 bytes");
static_assert(sizeof(_tagKxrGetObjInfoReq) == 12, "object description request is 12 bytes");
static_assert(sizeof(_tagKxrGetEntryInfoReq) == 15, "entry description request is 15 bytes");

// 0 when the service's socket exists and is a socket, else KXR_ERR_NO_SERVICE.
uint64_t KXROpen();
// Ends a batch; does nothing.
uint64_t KXRClose();
// One exchange: sends pIn and pOut framed as one message, receives the answer
// into pOut (or over the first 18 bytes of pIn when cbOut is 0).
uint64_t KXRIoControl(void* pIn, uint64_t cbIn, void* pOut, uint64_t cbOut, uint64_t* pcbReturned);
// Reads one entry; *pcbRead receives the number of bytes delivered.
uint64_t KXRSyncRead(uint16_t index, uint8_t subIndex, uint8_t flags, uint64_t cbRead, void* pRead,
                     uint64_t* pcbRead);
// Writes one entry.
uint64_t KXRSyncWrite(uint16_t index, uint8_t subIndex, uint8_t flags, uint64_t cbWrite, const void* pWrite);
// One entry access: a write, a read, or both.
uint64_t KXRSyncReadWrite(uint16_t index, uint8_t subIndex, uint8_t flags, uint64_t cbWrite, const void* pWrite,
                          uint64_t cbRead, void* pRead, uint64_t* pcbRead);
// Object-dictionary list; *pcbList is the capacity on entry, the length received on return.
uint64_t KXRSyncGetODList(uint16_t nSelector, uint64_t* pcbList, void* pList);
// Object description; *pcbName is the name capacity on entry, the name length on return.
uint64_t KXRSyncGetObjectDescription(uint16_t index, uint64_t nValue, uint8_t* pValue1, uint16_t* pValue2,
                                     uint8_t* pValue3, char* pName, uint64_t* pcbName);
// Entry description; pDesc begins with its own little-endian 64-bit total length (at least 64).
uint64_t KXRSyncGetEntryDescription(uint16_t index, uint8_t subIndex, uint64_t nValue, void* pDesc);
