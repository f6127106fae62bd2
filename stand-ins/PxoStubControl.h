// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Test control of the stand-in automation-protocol library ("libLbPxoDll.so"
// built from stand-ins/pxo). A test dlopen()s the same library file that the
// code under test opens (found through LD_LIBRARY_PATH, so both get the same
// copy) and dlsym()s these functions by name; the typedefs below are their
// types. All state is process-wide and guarded by a lock.
//
// Behaviour of the stand-in's 19 entry points:
//  - every entry point counts its calls and keeps its last arguments (each
//    widened to 64 bits, pointers as addresses) and returns a result that a
//    test may set; after PxoStubReset every result is 0, except that
//    PxoPortOpenEx returns port 1;
//  - PxoSyncReadWriteReqEx2 records what it was given (PxoStubLastRequest,
//    PxoStubLastWriteData), copies the answer bytes set by PxoStubSetAnswer
//    to the read buffer (at most the read length), stores the chosen returned
//    length through its last parameter when that is not null, and returns the
//    chosen result.
#pragma once

#include <stdint.h>

#include "KxrTypes.h"

extern "C" {

// What the last call of PxoSyncReadWriteReqEx2 was given.
struct PxoStubRequest {
  uint64_t port;         // first argument
  int32_t hasAddr;       // 1 when the address pointer was not null
  RvtAddr addr;          // the address it pointed to
  uint64_t indexGroup;   // index group
  uint64_t indexOffset;  // index offset
  uint64_t cbRead;       // read length
  int32_t hasRead;       // 1 when the read buffer was not null
  uint64_t cbWrite;      // write length
  int32_t hasReturned;   // 1 when the returned-length pointer was not null
};

// Forgets all calls and restores the default results and an empty answer.
void PxoStubReset(void);
// Sets what PxoPortOpenEx returns (0 simulates "no port").
void PxoStubSetPort(int64_t port);
// Sets what the named entry point returns; 0 for an unknown name.
int32_t PxoStubSetResult(const char* entryPoint, int64_t result);
// Sets the answer of PxoSyncReadWriteReqEx2: the bytes copied to the read
// buffer, the length stored through the returned-length pointer, the result
// (the same result that PxoStubSetResult sets for it).
void PxoStubSetAnswer(const void* pData, uint64_t cbData, uint64_t cbReturned, int64_t result);
// Calls of the named entry point since the last reset.
uint64_t PxoStubCallCount(const char* entryPoint);
// Copies up to maxArgs arguments of the named entry point's last call; returns its number of parameters.
uint32_t PxoStubLastArgs(const char* entryPoint, uint64_t* pArgs, uint32_t maxArgs);
// Copies the last PxoSyncReadWriteReqEx2 request; 0 when there was none since the reset.
int32_t PxoStubLastRequest(PxoStubRequest* pRequest);
// Copies up to cbBuf bytes of the last write data; returns its full length.
uint64_t PxoStubLastWriteData(void* pBuf, uint64_t cbBuf);

}  // extern "C"

typedef void (*PPxoStubReset)(void);
typedef void (*PPxoStubSetPort)(int64_t);
typedef int32_t (*PPxoStubSetResult)(const char*, int64_t);
typedef void (*PPxoStubSetAnswer)(const void*, uint64_t, uint64_t, int64_t);
typedef uint64_t (*PPxoStubCallCount)(const char*);
typedef uint32_t (*PPxoStubLastArgs)(const char*, uint64_t*, uint32_t);
typedef int32_t (*PPxoStubLastRequest)(PxoStubRequest*);
typedef uint64_t (*PPxoStubLastWriteData)(void*, uint64_t);
