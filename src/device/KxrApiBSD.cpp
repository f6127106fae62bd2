// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "KxrApiBSD.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "Protocol.h"
#include "Settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using KxrProtocol::GetLe16;
using KxrProtocol::GetLe32;
using KxrProtocol::GetLe64;
using KxrProtocol::PutLe;

constexpr uint64_t kHeadSize = sizeof(_tagKxrIoCtlHdr);
constexpr uint64_t kEntryHead = sizeof(_tagKxrSyncReq);
// Largest entry-access data length: keeps the whole message within 32 bits.
constexpr uint64_t kMaxEntryData = 0xFFFFFFD5u;
// An object-description answer: three small fields and the status, then the name.
constexpr uint64_t kObjInfoHead = 12;
// An entry-description answer: the 8-byte status, then a description of at least 64 bytes.
constexpr uint64_t kMinDescription = 64;
constexpr uint64_t kStatusSlot = 8;
constexpr uint64_t kStatusBufferTooSmall = KXR_ERR_BUFFER_TOO_SMALL;

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

uint64_t ErrnoCode(int e) { return KxrResult::ErrnoCode(e); }

// A buffer from the non-throwing allocator: shortage becomes a result code.
std::unique_ptr<unsigned char[]> Allocate(uint64_t size) {
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size]());
}

// The service's status as a result: its low 32 bits, except that a non-zero
// status whose low half is zero is malformed rather than a success.
uint64_t StatusResult(uint64_t status) {
  const uint64_t low = status & 0xFFFFFFFFu;
  return (status != 0 && low == 0) ? KXR_ERR_SHORT_ANSWER : low;
}

// Closes the socket when it goes out of scope.
struct SocketGuard {
  int fd = -1;
  ~SocketGuard() {
    if (fd >= 0) ::close(fd);
  }
};

// Waits until fd is ready for events or the deadline passes; errno is
// ETIMEDOUT on timeout. Interrupted waits are resumed.
bool WaitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

// Sends all of data before the deadline; 0 or an errno code. A socket that
// connected without waiting is still non-blocking (waits false): a message
// that fits the socket's buffer, as requests usually do, goes in one call
// and needs no time bound. Whatever does not fit is sent blocking, bounded by
// the socket's send timeout (set to the time left before each call), so that
// a service that shuts down reading fails the send at once with EPIPE rather
// than leaving it to wait for room until the deadline. A socket that Connect
// left blocking has a full exchange time as its bound already, taken just
// before the deadline was; its first send relies on that.
uint64_t SendAll(int fd, bool waits, const unsigned char* data, uint64_t size, Clock::time_point deadline) {
  uint64_t sent = 0;
  bool bounded = waits;  // the send timeout is set for the next send
  while (sent < size) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return ErrnoCode(ETIMEDOUT);
    if (waits && !bounded) {
      const timeval bound{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
      if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0) return ErrnoCode(errno);
    }
    bounded = false;
    const ssize_t n = ::send(fd, data + sent, static_cast<std::size_t>(size - sent), kSendFlags);
    if (n >= 0) {
      sent += static_cast<uint64_t>(n);
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return ErrnoCode(errno);
    }
    if (!waits && sent < size && (n >= 0 || errno != EINTR)) {
      // The buffer is full: the rest waits for room, bounded.
      int off = 0;
      if (::ioctl(fd, FIONBIO, &off) != 0) return ErrnoCode(errno);
      waits = true;
    }
  }
  return 0;
}

// Receives up to size bytes before the deadline: *pcb is 0 at the end of the
// stream. 0 or an errno code.
uint64_t ReceiveSome(int fd, unsigned char* data, uint64_t size, Clock::time_point deadline, uint64_t* pcb) {
  for (;;) {
    const ssize_t n = ::recv(fd, data, static_cast<std::size_t>(size), MSG_DONTWAIT);
    if (n >= 0) {
      *pcb = static_cast<uint64_t>(n);
      return 0;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitReady(fd, POLLIN, deadline)) return ErrnoCode(errno);
    } else if (errno != EINTR) {
      return ErrnoCode(errno);
    }
  }
}

// A new stream socket connected to the service, tried the fixed number of
// times while the service refuses: 0 or a result code. The socket is first
// made non-blocking, which costs nothing: a service with room in its backlog
// takes the connection at once. When it has none, a blocking connect on a
// fresh socket waits for room, bounded by the socket's send timeout, and
// *waits tells SendAll that the socket blocks and is bounded already.
uint64_t Connect(SocketGuard& sock, bool* waits) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  static_assert(sizeof(KxrSettings::kServiceSocketPath) <= sizeof(addr.sun_path), "service socket path too long");
  std::memcpy(addr.sun_path, KxrSettings::kServiceSocketPath, sizeof(KxrSettings::kServiceSocketPath));
  *waits = false;
  for (int attempt = 1;; ++attempt) {
    // A fresh socket per attempt: a socket whose connect failed is not reusable everywhere.
    if (sock.fd >= 0) ::close(sock.fd);
    sock.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (*waits ? 0 : SOCK_NONBLOCK), 0);
    if (sock.fd < 0) return ErrnoCode(errno);
    if (*waits) {
      // Bounds a connect that waits for room in a stalled service's backlog.
      const timeval bound{KxrSettings::kExchangeTimeoutSeconds, 0};
      ::setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    }
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
    const int on = 1;
    ::setsockopt(sock.fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    if (::connect(sock.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return 0;
    if (!*waits && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS)) {
      *waits = true;  // no room in the backlog now: the same attempt again, waiting
      --attempt;
      continue;
    }
    if (errno != ECONNREFUSED) return ErrnoCode(errno);
    if (attempt >= KxrSettings::kConnectAttempts) return KXR_ERR_CONNECTION_REFUSED;
    ::usleep(KxrSettings::kConnectRetryDelayUs);
  }
}

// Receives one answer into area (capacity bytes): the 4-byte length N, then
// N bytes in pieces. 0 and *pcb = N, or a result code. The length and the
// first piece usually arrive together, so one receive into a scratch area
// takes both; nothing reaches area before the length has been checked.
uint64_t ReceiveAnswer(int fd, unsigned char* area, uint64_t capacity, uint64_t* pcb) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(KxrSettings::kExchangeTimeoutSeconds);
  // The service has yet to answer: wait before the first receive rather than after a failed one.
  if (!WaitReady(fd, POLLIN, deadline)) return ErrnoCode(errno);
  constexpr uint64_t kLengthSize = 4;
  unsigned char first[kLengthSize + KxrSettings::kAnswerChunk];
  uint64_t inFirst = 0;
  while (inFirst < kLengthSize) {
    uint64_t n = 0;
    if (const uint64_t rc = ReceiveSome(fd, first + inFirst, sizeof first - inFirst, deadline, &n)) return rc;
    if (n == 0) return KXR_ERR_SHORT_ANSWER;  // the stream ended inside the length
    inFirst += n;
  }
  const uint32_t length = GetLe32(first);
  // An answer that does not fit the area is refused before a byte of it is stored.
  if (length > capacity) return KXR_ERR_SHORT_ANSWER;
  uint64_t got = inFirst - kLengthSize;
  if (got > length) got = length;  // bytes past the answer are not part of it
  if (got > 0) std::memcpy(area, first + kLengthSize, static_cast<std::size_t>(got));
  while (got < length) {
    uint64_t want = length - got;
    if (want > KxrSettings::kAnswerChunk) want = KxrSettings::kAnswerChunk;
    uint64_t n = 0;
    if (const uint64_t rc = ReceiveSome(fd, area + got, want, deadline, &n)) return rc;
    if (n == 0) return KXR_ERR_SHORT_ANSWER;  // the stream ended inside the answer
    got += n;
  }
  *pcb = length;
  return 0;
}

// The 64-bit status at offset in a received area.
uint64_t StatusAt(const unsigned char* area, uint64_t offset) { return GetLe64(area + offset); }

// The records are written field by field, little-endian whatever the host's
// byte order: each field in its declaration order, right after the one
// before, as in the packed structs. Every field is named: their sizes add up
// to the record's.
template <typename Record, typename... Field>
void EncodeFields(unsigned char* p, Field... fields) {
  static_assert((sizeof(Field) + ...) == sizeof(Record), "every field of the record, in order");
  std::size_t at = 0;
  ((PutLe(p + at, static_cast<uint64_t>(fields), static_cast<int>(sizeof(Field))), at += sizeof(Field)), ...);
}

void Encode(const _tagKxrIoCtlHdr& r, unsigned char* p) {
  EncodeFields<_tagKxrIoCtlHdr>(p, r.cbTotal, r.nInOffset, r.nOutOffset);
}

void Encode(const _tagKxrSyncReq& r, unsigned char* p) {
  EncodeFields<_tagKxrSyncReq>(p, r.nKind, r.nIndex, r.nFlags, r.nSubIndex, r.nStatus, r.cbData);
}

void Encode(const _tagTKxrOdList& r, unsigned char* p) { EncodeFields<_tagTKxrOdList>(p, r.nKind, r.nSelector); }

void Encode(const _tagKxrGetObjInfoReq& r, unsigned char* p) {
  EncodeFields<_tagKxrGetObjInfoReq>(p, r.nKind, r.nIndex, r.nValue);
}

void Encode(const _tagKxrGetEntryInfoReq& r, unsigned char* p) {
  EncodeFields<_tagKxrGetEntryInfoReq>(p, r.nKind, r.nIndex, r.nSubIndex, r.nValue, r.nDescValue);
}

}  // namespace

uint64_t KXROpen() {
  struct stat st;
  if (::stat(KxrSettings::kServiceSocketPath, &st) != 0 || !S_ISSOCK(st.st_mode)) return KXR_ERR_NO_SERVICE;
  return 0;
}

uint64_t KXRClose() { return 0; }

uint64_t KXRIoControl(void* pIn, uint64_t cbIn, void* pOut, uint64_t cbOut, uint64_t* pcbReturned) {
  if (cbIn > 0 && pIn == nullptr) return KXR_ERR_INVALID_ARGS;
  // A size that does not fit in memory cannot be allocated.
  const uint64_t limit = UINT64_MAX - kHeadSize;
  if (cbIn > limit || cbOut > limit - cbIn) return KXR_ERR_NO_MEMORY;
  const uint64_t total = kHeadSize + cbIn + cbOut;
  std::unique_ptr<unsigned char[]> message = Allocate(total);
  if (!message) return KXR_ERR_NO_MEMORY;
  Encode(_tagKxrIoCtlHdr{total, kHeadSize, kHeadSize + cbIn}, message.get());
  if (cbIn > 0) std::memcpy(message.get() + kHeadSize, pIn, static_cast<std::size_t>(cbIn));
  if (cbOut > 0 && pOut != nullptr)
    std::memcpy(message.get() + kHeadSize + cbIn, pOut, static_cast<std::size_t>(cbOut));

  // Without an output area the answer is the 18-byte head of the input record.
  std::unique_ptr<unsigned char[]> scratch;
  unsigned char* area = static_cast<unsigned char*>(pOut);
  uint64_t capacity = cbOut;
  if (cbOut == 0) {
    scratch = Allocate(kEntryHead);
    area = scratch.get();
    capacity = kEntryHead;
  }
  if (area == nullptr) return KXR_ERR_NO_MEMORY;
  std::memset(area, 0, static_cast<std::size_t>(capacity));

  SocketGuard sock;
  bool waits = false;
  if (const uint64_t rc = Connect(sock, &waits)) return rc;
  const Clock::time_point sendDeadline = Clock::now() + std::chrono::seconds(KxrSettings::kExchangeTimeoutSeconds);
  if (const uint64_t rc = SendAll(sock.fd, waits, message.get(), total, sendDeadline)) return rc;
  uint64_t received = 0;
  if (const uint64_t rc = ReceiveAnswer(sock.fd, area, capacity, &received)) return rc;

  if (pcbReturned != nullptr) *pcbReturned = received;
  // Never past the input buffer, even when the caller gave less than a head.
  if (cbOut == 0 && cbIn > 0) std::memcpy(pIn, area, static_cast<std::size_t>(cbIn < kEntryHead ? cbIn : kEntryHead));
  return 0;
}

uint64_t KXRSyncRead(uint16_t index, uint8_t subIndex, uint8_t flags, uint64_t cbRead, void* pRead,
                     uint64_t* pcbRead) {
  return KXRSyncReadWrite(index, subIndex, flags, 0, nullptr, cbRead, pRead, pcbRead);
}

uint64_t KXRSyncWrite(uint16_t index, uint8_t subIndex, uint8_t flags, uint64_t cbWrite, const void* pWrite) {
  return KXRSyncReadWrite(index, subIndex, flags, cbWrite, pWrite, 0, nullptr, nullptr);
}

uint64_t KXRSyncReadWrite(uint16_t index, uint8_t subIndex, uint8_t flags, uint64_t cbWrite, const void* pWrite,
                          uint64_t cbRead, void* pRead, uint64_t* pcbRead) {
  if (pcbRead != nullptr) *pcbRead = 0;
  if ((cbWrite > 0 && pWrite == nullptr) || (cbRead > 0 && pRead == nullptr) || (cbWrite == 0 && cbRead == 0) ||
      cbWrite > kMaxEntryData || cbRead > kMaxEntryData)
    return KXR_ERR_INVALID_ARGS;

  const _tagKxrSyncReq head{0, index, flags, subIndex, -1, 0};
  // A record of cb data bytes: its head, and room for the data behind it; null without memory.
  const auto record = [&head](uint64_t cb) {
    std::unique_ptr<unsigned char[]> made = Allocate(kEntryHead + cb);
    _tagKxrSyncReq h = head;
    h.cbData = static_cast<uint32_t>(cb);
    if (made) Encode(h, made.get());
    return made;
  };
  std::unique_ptr<unsigned char[]> writeRecord;
  std::unique_ptr<unsigned char[]> readRecord;
  if (cbWrite > 0) {
    if (!(writeRecord = record(cbWrite))) return KXR_ERR_NO_MEMORY;
    std::memcpy(writeRecord.get() + kEntryHead, pWrite, static_cast<std::size_t>(cbWrite));
  }
  if (cbRead > 0 && !(readRecord = record(cbRead))) return KXR_ERR_NO_MEMORY;

  uint64_t received = 0;
  const uint64_t rc = KXRIoControl(writeRecord.get(), cbWrite > 0 ? kEntryHead + cbWrite : 0, readRecord.get(),
                                   cbRead > 0 ? kEntryHead + cbRead : 0, &received);
  if (rc != 0) return rc;
  // Without its head the answer carries no status: it is not a success.
  if (received < kEntryHead) return KXR_ERR_SHORT_ANSWER;
  if (cbRead == 0) return StatusResult(StatusAt(writeRecord.get(), offsetof(_tagKxrSyncReq, nStatus)));

  const uint64_t status = StatusAt(readRecord.get(), offsetof(_tagKxrSyncReq, nStatus));
  if (status == 0 || status == kStatusBufferTooSmall) {
    // The transport kept received within the read record, so this fits pRead.
    const uint64_t cbData = received - kEntryHead;
    std::memcpy(pRead, readRecord.get() + kEntryHead, static_cast<std::size_t>(cbData));
    if (pcbRead != nullptr) *pcbRead = cbData;
  }
  return StatusResult(status);
}

uint64_t KXRSyncGetODList(uint16_t nSelector, uint64_t* pcbList, void* pList) {
  if (pcbList == nullptr || pList == nullptr || *pcbList == 0) return KXR_ERR_INVALID_ARGS;
  _tagTKxrOdList request;
  request.nSelector = nSelector;
  unsigned char bytes[sizeof request];
  Encode(request, bytes);
  uint64_t received = 0;
  const uint64_t rc = KXRIoControl(bytes, sizeof bytes, pList, *pcbList, &received);
  *pcbList = rc == 0 ? received : 0;
  return rc;
}

uint64_t KXRSyncGetObjectDescription(uint16_t index, uint64_t nValue, uint8_t* pValue1, uint16_t* pValue2,
                                     uint8_t* pValue3, char* pName, uint64_t* pcbName) {
  _tagKxrGetObjInfoReq request;
  request.nIndex = index;
  request.nValue = nValue;
  const uint64_t capacity = pcbName != nullptr ? *pcbName : 0;
  if (capacity > UINT64_MAX - kHeadSize - sizeof request - kObjInfoHead) return KXR_ERR_NO_MEMORY;
  unsigned char bytes[sizeof request];
  Encode(request, bytes);
  std::unique_ptr<unsigned char[]> area = Allocate(kObjInfoHead + capacity);
  if (!area) return KXR_ERR_NO_MEMORY;
  uint64_t received = 0;
  if (const uint64_t rc = KXRIoControl(bytes, sizeof bytes, area.get(), kObjInfoHead + capacity, &received))
    return rc;
  if (received < kObjInfoHead) return KXR_ERR_SHORT_ANSWER;
  if (pValue1 != nullptr) *pValue1 = area[0];
  if (pValue2 != nullptr) *pValue2 = GetLe16(area.get() + 1);
  if (pValue3 != nullptr) *pValue3 = area[3];
  const uint64_t status = StatusResult(StatusAt(area.get(), 4));
  if (pName == nullptr || capacity == 0) return status;
  const uint64_t cbName = received - kObjInfoHead;
  if (cbName > capacity) {
    *pcbName = cbName;
    return KXR_ERR_BUFFER_TOO_SMALL;
  }
  std::memcpy(pName, area.get() + kObjInfoHead, static_cast<std::size_t>(cbName));
  *pcbName = cbName;
  return status;
}

uint64_t KXRSyncGetEntryDescription(uint16_t index, uint8_t subIndex, uint64_t nValue, void* pDesc) {
  if (pDesc == nullptr) return KXR_ERR_INVALID_ARGS;
  const auto* desc = static_cast<const unsigned char*>(pDesc);
  const uint64_t cbDesc = GetLe64(desc);
  if (cbDesc < kMinDescription) return KXR_ERR_INVALID_ARGS;
  if (cbDesc > UINT64_MAX - kHeadSize - sizeof(_tagKxrGetEntryInfoReq) - kStatusSlot) return KXR_ERR_NO_MEMORY;
  _tagKxrGetEntryInfoReq request;
  request.nIndex = index;
  request.nSubIndex = subIndex;
  request.nValue = nValue;
  request.nDescValue = GetLe16(desc + 8);
  unsigned char bytes[sizeof request];
  Encode(request, bytes);
  std::unique_ptr<unsigned char[]> area = Allocate(kStatusSlot + cbDesc);
  if (!area) return KXR_ERR_NO_MEMORY;
  std::memcpy(area.get() + kStatusSlot, pDesc, static_cast<std::size_t>(cbDesc));
  uint64_t received = 0;
  if (const uint64_t rc = KXRIoControl(bytes, sizeof bytes, area.get(), kStatusSlot + cbDesc, &received))
    return rc;
  if (received < kStatusSlot + kMinDescription) return KXR_ERR_SHORT_ANSWER;
  std::memcpy(pDesc, area.get() + kStatusSlot, static_cast<std::size_t>(cbDesc));
  return StatusResult(StatusAt(area.get(), 0));
}
