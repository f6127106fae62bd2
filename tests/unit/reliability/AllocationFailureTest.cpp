// A ReadWrite read and a write call, each run again and again with the Nth
// allocation of the calling thread failing (N = 0, 1, 2, ... until the call
// runs through), against a fake service holding a small dictionary. Throwing
// and non-throwing allocations fail alike, as the device client allocates
// without throwing. Every run must answer "Out of memory", a document that
// reads as a refusal, or a correct result; never an exception, and never a
// write reported as done that the dictionary does not hold (nor the reverse).
// Leaks show up under LeakSanitizer in the asan build.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <new>
#include <string>

#include "Base64.h"
#include "FakeService.h"
#include "SumUpBuffers.h"
#include "KXRWeb.h"
#include "PrivateMounts.h"
#include "Soap.h"
#include "WebService.h"

namespace {
// Allocations of the test thread before the one that fails; -1: none planned.
thread_local long tAllocationsLeft = -1;
constexpr long kFailed = -2;  // the planned failure has happened

// Whether this allocation is the one planned to fail.
bool FailNow() {
  if (tAllocationsLeft == 0) {
    tAllocationsLeft = kFailed;
    return true;
  }
  if (tAllocationsLeft > 0) --tAllocationsLeft;
  return false;
}

void* Allocate(std::size_t size) {
  if (FailNow()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* AllocateNoThrow(std::size_t size) noexcept { return FailNow() ? nullptr : std::malloc(size == 0 ? 1 : size); }
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace kxrtest;

// A ReadWrite call carrying the raw write buffer.
std::string Call(int group, int count, int cbRdLen, const std::string& buffer) {
  return ReadWriteCall(group, count, cbRdLen, Base64::encode(buffer));
}

// The Base64 text of a ReadWriteResponse, or false for any other document.
bool ResponseData(const std::string& document, std::string& bytes) {
  const std::string head = CSoap::CreateResponse("");
  const std::string tail = "</ppRdData>";
  const std::size_t open = head.find(tail);
  if (document.compare(0, open, head, 0, open) != 0) return false;
  const std::size_t close = document.find(tail, open);
  if (close == std::string::npos) return false;
  bytes = Base64::decode(document.substr(open, close - open));
  return true;
}

uint32_t Word(const std::string& bytes, std::size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

// Faults an allocation failure may legitimately end in: out of memory, and an
// element the text search could not copy reads as missing.
bool IsAllowedFault(const std::string& answer) {
  for (int code : {KXRWEB_ERR_OUT_OF_MEMORY, KXRWEB_ERR_INVALID_SOAP, KXRWEB_ERR_INVALID_WRITEBUF,
                   KXRWEB_ERR_UNSPECIFIC})
    if (answer == CSoap::CreateFaultString(code)) return true;
  return answer.empty();  // even the fault document could not be built
}

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override { KXR_REQUIRE_PRIVATE_RUN(); }

  // Runs body with allocation n failing; false when no allocation failed.
  static bool RunFailing(long n, const std::string& body, std::string& answer) {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    tAllocationsLeft = n;
    try {
      answer = KXRWebservice::AnswerReadWrite(body, lock);
    } catch (...) {
      tAllocationsLeft = -1;
      ADD_FAILURE() << "an exception left the call when allocation " << n << " failed";
      return false;
    }
    const bool failed = tAllocationsLeft == kFailed;
    tAllocationsLeft = -1;
    EXPECT_EQ(pthread_mutex_trylock(&lock), 0) << "the request mutex is held after allocation " << n << " failed";
    return failed;
  }
};

TEST_F(AllocationFailure, ReadCallEndsInOutOfMemoryOrTheRightData) {
  FakeDictionary dict;
  dict.Set(0x1018, 1, "ABCD");
  dict.Set(0x1000, 0, "12345678");
  FakeService fake(dict.Handler());
  ASSERT_TRUE(fake.Listening()) << fake.Error();
  const std::string body = Call(0xF080, 2, 64, Header(0x1018, 1, 4) + Header(0x1000, 0, 8));
  const std::string clean = Le32(0) + Le32(4) + Le32(0) + Le32(8) + "ABCD12345678";

  bool sawOutOfMemory = false;
  bool sawClientShortage = false;  // the client's own non-throwing allocation failed
  long n = 0;
  for (std::string answer; RunFailing(n, body, answer); ++n) {
    ASSERT_LT(n, 20000);
    std::string bytes;
    if (!ResponseData(answer, bytes)) {
      EXPECT_TRUE(IsAllowedFault(answer)) << "allocation " << n << ": " << answer;
      sawOutOfMemory = sawOutOfMemory || answer == CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
      continue;
    }
    // A result: each sub-request either delivered its entry or carries the
    // client's "no memory" code with nothing delivered.
    ASSERT_GE(bytes.size(), 16u) << "allocation " << n;
    std::string expectedData;
    const std::string entries[] = {"ABCD", "12345678"};
    for (int i = 0; i < 2; ++i) {
      const uint32_t code = Word(bytes, 8u * i);
      if (code == 0) {
        EXPECT_EQ(Word(bytes, 8u * i + 4), entries[i].size()) << "allocation " << n;
        expectedData += entries[i];
      } else {
        EXPECT_EQ(code, 0xECA60104u) << "allocation " << n;
        EXPECT_EQ(Word(bytes, 8u * i + 4), 0u) << "allocation " << n;
        sawClientShortage = true;
      }
    }
    EXPECT_EQ(bytes.substr(16), expectedData) << "allocation " << n;
  }
  std::string answer;
  RunFailing(-1, body, answer);
  std::string bytes;
  ASSERT_TRUE(ResponseData(answer, bytes)) << answer;
  EXPECT_EQ(bytes, clean);
  EXPECT_GT(n, 10);
  EXPECT_TRUE(sawOutOfMemory);
  EXPECT_TRUE(sawClientShortage);
}

TEST_F(AllocationFailure, WriteCallNeverReportsAWriteThatDidNotHappen) {
  FakeDictionary dict;
  FakeService fake(dict.Handler());
  ASSERT_TRUE(fake.Listening()) << fake.Error();
  const std::string body = Call(0xF081, 2, 8, Header(0x2000, 1, 2) + Header(0x2000, 2, 3) + "ab" + "cde");
  const std::string written[] = {"ab", "cde"};

  bool sawOutOfMemory = false;
  bool sawClientShortage = false;
  long n = 0;
  for (std::string answer;; ++n) {
    ASSERT_LT(n, 20000);
    dict.Set(0x2000, 1, "..");
    dict.Set(0x2000, 2, "...");
    const bool failed = RunFailing(n, body, answer);
    std::string bytes;
    if (!ResponseData(answer, bytes)) {
      EXPECT_TRUE(failed) << "a fault without an allocation failure: " << answer;
      EXPECT_TRUE(IsAllowedFault(answer)) << "allocation " << n << ": " << answer;
      sawOutOfMemory = sawOutOfMemory || answer == CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
      continue;
    }
    ASSERT_EQ(bytes.size(), 8u) << "allocation " << n;
    for (int i = 0; i < 2; ++i) {
      sawClientShortage = sawClientShortage || Word(bytes, 4u * i) == 0xECA60104u;
      std::string stored;
      ASSERT_TRUE(dict.Get(0x2000, static_cast<uint8_t>(i + 1), stored));
      const uint32_t code = Word(bytes, 4u * i);
      if (code == 0)
        EXPECT_EQ(stored, written[i]) << "allocation " << n << ": a write reported done was not made";
      else
        EXPECT_EQ(stored, std::string(written[i].size(), '.')) << "allocation " << n << ": code " << code;
    }
    if (!failed) {
      EXPECT_EQ(bytes, Le32(0) + Le32(0));
      break;
    }
  }
  EXPECT_GT(n, 10);
  EXPECT_TRUE(sawOutOfMemory);
  EXPECT_TRUE(sawClientShortage);
}

}  // namespace
