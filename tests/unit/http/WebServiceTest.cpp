// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// A ReadWrite read and write call, run with the Nth allocation of the thread failing (N = 0, 1, ... until the call
// runs through; throwing and non-throwing alike, as the device client allocates without throwing). Every run
// answers "Out of memory", a refusal, or the right result: never an exception, a held request mutex, or a write
// reported as done that the dictionary does not hold (nor the reverse). Leaks show up under LeakSanitizer.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <new>

#include "Base64.h"
#include "FakeService.h"
#include "KXRWeb.h"
#include "Kxr.h"
#include "Soap.h"
#include "WebService.h"

namespace {
thread_local long tAllocationsLeft = -1;  // allocations before the one that fails; -1: none planned
constexpr long kFailed = -2;              // the planned failure has happened

void* AllocateNoThrow(std::size_t size) noexcept {
  if (tAllocationsLeft > 0) --tAllocationsLeft;
  else if (tAllocationsLeft == 0) return tAllocationsLeft = kFailed, nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* Allocate(std::size_t size) {
  if (void* p = AllocateNoThrow(size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace KxrTest;

// The decoded data of a ReadWriteResponse, or false for any other document.
bool ResponseData(const std::string& document, std::string& bytes) {
  const std::string head = CSoap::CreateResponse("");
  const std::size_t open = head.find("</ppRdData>"), close = document.find("</ppRdData>", open);
  if (document.compare(0, open, head, 0, open) != 0 || close == std::string::npos) return false;
  return bytes = Base64::decode(document.substr(open, close - open)), true;
}

// Out of memory; an element the text search could not copy reads as missing; or not even a fault document.
bool IsAllowedFault(const std::string& answer) {
  for (int code : {KXRWEB_ERR_OUT_OF_MEMORY, KXRWEB_ERR_INVALID_SOAP, KXRWEB_ERR_INVALID_WRITEBUF, KXRWEB_ERR_UNSPECIFIC})
    if (answer == CSoap::CreateFaultString(code)) return true;
  return answer.empty();
}

TEST(WebService, AllocationFailureEndsInAFaultOrTheRightResult) {
  const uint32_t noMemory = KxrResult::EntryTooLong;
  const std::string entries[] = {"ABCD", "12345678"};
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    KxrSim::Dictionary dict;
    FakeService fake(dict);
    const std::string buffer = Header(0x2000, 1, 4) + Header(0x2000, 2, 8) + (write ? entries[0] + entries[1] : "");
    const std::string body = ReadWriteCall(write ? KxrProtocol::kSumUpWrite : KxrProtocol::kSumUpRead, 2, 64, Base64::encode(buffer));
    bool sawOutOfMemory = false, sawClientShortage = false, finished = false;
    long n = 0;
    for (; !finished; ++n) {
      ASSERT_LT(n, 20000);
      dict.Set(0x2000, 1, write ? "...." : entries[0]), dict.Set(0x2000, 2, write ? "........" : entries[1]);
      pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
      std::string answer, bytes;
      tAllocationsLeft = n;
      EXPECT_NO_THROW(answer = KXRWebservice::AnswerReadWrite(body, lock)) << "allocation " << n;
      finished = tAllocationsLeft != kFailed, tAllocationsLeft = -1;
      EXPECT_EQ(pthread_mutex_trylock(&lock), 0) << "the request mutex is held after allocation " << n;
      if (!ResponseData(answer, bytes)) {
        EXPECT_TRUE(!finished && IsAllowedFault(answer)) << "allocation " << n << ": " << answer;
        sawOutOfMemory = sawOutOfMemory || answer == CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
        continue;
      }
      // Each sub-request did its access, or carries the client's "no memory" code and did nothing.
      const std::size_t record = write ? 4 : 8;
      ASSERT_GE(bytes.size(), 2 * record) << "allocation " << n;
      std::string data;
      for (int i = 0; i < 2; ++i) {
        const std::string code = bytes.substr(record * i, 4), length = write ? "" : bytes.substr(record * i + 4, 4);
        std::string stored;
        dict.Get(0x2000, static_cast<uint8_t>(i + 1), stored);
        if (code == Le32(0)) {
          EXPECT_EQ(length, write ? "" : Le32(static_cast<uint32_t>(entries[i].size()))) << "allocation " << n;
          EXPECT_EQ(stored, entries[i]) << "allocation " << n;
          if (!write) data += entries[i];
        } else {
          EXPECT_EQ(code + length, Le32(noMemory) + (write ? "" : Le32(0))) << "allocation " << n;
          EXPECT_EQ(stored, write ? std::string(entries[i].size(), '.') : entries[i]) << "allocation " << n;
          sawClientShortage = true;
        }
      }
      EXPECT_EQ(bytes.substr(2 * record), data) << "allocation " << n;
    }
    EXPECT_TRUE(n > 10 && sawOutOfMemory && sawClientShortage) << n << sawOutOfMemory << sawClientShortage;
  }
}

}  // namespace
