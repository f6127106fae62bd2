// A ReadWrite call with memory running out at every allocation in turn: the
// call must answer a document (or, when even the fault cannot be built, an
// empty body) and never let an exception reach the event loop.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <new>
#include <string>

#include "KXRWeb.h"
#include "PrivateMounts.h"
#include "Soap.h"
#include "WebService.h"

// These replacements pair malloc with free; GCC cannot see that through the
// replaced operators and warns of a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
long gAllocationsLeft = -1;  // allocations before the one that fails; -1: none planned
constexpr long kFailed = -2;  // the planned failure has happened
}

void* operator new(std::size_t size) {
  if (gAllocationsLeft == 0) {
    gAllocationsLeft = kFailed;  // only this one allocation fails
    throw std::bad_alloc();
  }
  if (gAllocationsLeft > 0) --gAllocationsLeft;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(WebServiceOutOfMemory, EveryFailureEndsInAFault) {
  KXR_REQUIRE_PRIVATE_RUN();  // no device-profile service in the private /run
  // Two sub-requests: the decoded write buffer is too long for a string's
  // inline storage, so copying it into the engine allocates.
  const std::string body =
      "<u:ReadWrite><netId>1.2.3.4.5.6</netId><nPort>851</nPort><indexGroup>61568</indexGroup>"
      "<indexOffset>2</indexOffset><cbRdLen>16</cbRdLen><pwrData>AAAAAAEAGBAEAAAAAAAAAAAACBAIAAAA</pwrData></u:ReadWrite>";
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  const std::string noService = CSoap::CreateFaultString(static_cast<int>(0xECA60201u));
  const std::string outOfMemory = CSoap::CreateFaultString(KXRWEB_ERR_OUT_OF_MEMORY);
  // The text search reports an element it could not copy as missing.
  const std::string missing[] = {CSoap::CreateFaultString(KXRWEB_ERR_INVALID_SOAP),
                                 CSoap::CreateFaultString(KXRWEB_ERR_INVALID_WRITEBUF),
                                 CSoap::CreateFaultString(KXRWEB_ERR_UNSPECIFIC)};

  bool sawOutOfMemory = false;
  for (long n = 0;; ++n) {
    std::string answer;
    gAllocationsLeft = n;
    try {
      answer = KXRWebservice::AnswerReadWrite(body, lock);
    } catch (...) {
      gAllocationsLeft = -1;
      FAIL() << "an exception left the call when allocation " << n << " failed";
    }
    const bool finished = gAllocationsLeft != kFailed;  // nothing failed: the call ran through
    gAllocationsLeft = -1;
    if (finished) {
      EXPECT_EQ(answer, noService);
      break;
    }
    sawOutOfMemory = sawOutOfMemory || answer == outOfMemory;
    EXPECT_TRUE(answer == noService || answer == outOfMemory || answer == missing[0] || answer == missing[1] ||
                answer == missing[2] || answer.empty())
        << "allocation " << n << ": " << answer;
    ASSERT_LT(n, 10000);
  }
  EXPECT_TRUE(sawOutOfMemory);
  // The request mutex is free again after every run.
  EXPECT_EQ(pthread_mutex_trylock(&lock), 0);
}

}  // namespace
