// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
#include "Kxr.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "KXRWeb.h"
#include "KxrApiBSD.h"
#include "Settings.h"
#include "Soap.h"

using namespace KxrProtocol;

namespace {

// Header i of a buffer known to hold it.
writeBuffer_ ReadHeader(const std::string& buffer, int i) { return DecodeHeader(buffer, static_cast<size_t>(i)); }

// The words as a little-endian byte string.
std::string WordsToBytes(const std::vector<uint32_t>& words) {
  std::string bytes;
  bytes.reserve(words.size() * 4);
  for (uint32_t word : words) AppendLe(bytes, word, 4);
  return bytes;
}

// What the automation path returns when the library call failed: the
// library's code when it reads as a failure code, else a generic failure.
int PxoFailureCode(int64_t libraryResult) {
  const auto code = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(libraryResult)));
  return code < 0 ? code : KXRWEB_ERR_UNSPECIFIC;
}

// Whether a sub-request's code says that the service is down for the rest of
// the batch: it took the exchange but let its time bound run out (no answer,
// or no room in its backlog), or it still refused the connection after every
// attempt. The rest of the batch is not sent to it, so that a batch of 300
// costs one bound (or one round of connection attempts), not 300, of a
// daemon that serves nobody else meanwhile.
bool ServiceDown(uint32_t code) {
  return code == KxrResult::ErrnoCode(ETIMEDOUT) || code == KxrResult::ErrnoCode(EAGAIN) ||
         code == KxrResult::ServiceRefused;
}

// The code of every sub-request not sent because the call's deadline has
// passed: the connection that waits for the answer is about to be cut.
constexpr uint32_t kPastDeadline = KxrResult::ErrnoCode(ETIMEDOUT);

// Maps an exception escaping a sum-up to its result code.
template <typename F>
int Guarded(F&& f) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return KXRWEB_ERR_OUT_OF_MEMORY;
  } catch (const std::out_of_range&) {
    return KXRWEB_ERR_OUT_OF_RANGE;
  } catch (...) {
    return KXRWEB_ERR_UNSPECIFIC;
  }
}

}  // namespace

int CKxr::SoapToKxrParameters(const std::string& body, _KXR_Parameters& parameters) {
  try {
    parameters.netId = RvtNetId{};
    parameters.nPort = 0;
    parameters.indexGroup = 0;
    parameters.indexOffset = 0;
    parameters.cbRdLen = 0;
    parameters.pwrData.clear();
    // Every parameter is searched from the same anchor: it is found once.
    const std::size_t call = CSoap::FindCall(body);
    if (!CSoap::ParseParameter(body, call, "netId", parameters.netId) ||
        !CSoap::ParseParameter(body, call, "nPort", parameters.nPort) ||
        !CSoap::ParseParameter(body, call, "indexGroup", parameters.indexGroup) ||
        !CSoap::ParseParameter(body, call, "indexOffset", parameters.indexOffset) ||
        !CSoap::ParseParameter(body, call, "cbRdLen", parameters.cbRdLen))
      return KXRWEB_ERR_INVALID_SOAP;
    if (!CSoap::ParseParameter(body, call, "pwrData", parameters.pwrData)) return KXRWEB_ERR_INVALID_WRITEBUF;
    return KXRWEB_SUCCESS;
  } catch (...) {
    return KXRWEB_ERR_UNSPECIFIC;
  }
}

int CKxr::GetPxoCommunicationEnabled(unsigned char* pEnabled) {
  if (KxrSettings::kPxoCommunicationEnabled && pEnabled) *pEnabled = 1;
  return 0;
}

CKxr::CKxr(_KXR_Parameters parameters) : m_parameters(), m_addr(), m_pAddr(&m_addr) {
  if (LoadDll() != 0) PinLoadedLibrary();
  // A move cannot throw, so a library loaded above is always released by the destructor.
  m_parameters = std::move(parameters);
}

CKxr::~CKxr() { Unload(); }

int CKxr::ValidateParameters() {
  const _KXR_Parameters& p = m_parameters;
  const int64_t count = p.indexOffset;
  const int64_t cbRdLen = p.cbRdLen;
  const int64_t length = static_cast<int64_t>(p.pwrData.size());
  if (p.indexGroup != kSumUpRead && p.indexGroup != kSumUpWrite) return KXRWEB_ERR_INVALID_ARGUMENT;
  if (count < 1) return KXRWEB_ERR_INVALID_ARGUMENT;
  if (count > kMaxSubRequests) return KXRWEB_ERR_MAX_SUBCOMMANDS;
  if (cbRdLen < 1) return KXRWEB_ERR_READBUF_TOO_SMALL;
  if (cbRdLen > kMaxEntryLength) return KXRWEB_ERR_MAX_READBUF;
  if (length == 0) return KXRWEB_ERR_INVALID_WRITEBUF;
  if (p.indexGroup == kSumUpRead) {
    if (cbRdLen < kReadRecordSize * count) return KXRWEB_ERR_READBUF_TOO_SMALL;
    if (length % kHeaderSize != 0) return KXRWEB_ERR_INVALID_WRITEBUF;
    if (count > length / kHeaderSize) return KXRWEB_ERR_INVALID_WRITEBUF;
  } else {
    if (cbRdLen < kWriteRecordSize * count) return KXRWEB_ERR_READBUF_TOO_SMALL;
    if (length < kHeaderSize * count) return KXRWEB_ERR_INVALID_WRITEBUF;
  }
  return KXRWEB_SUCCESS;
}

int CKxr::Execute(std::string& result) {
  unsigned char enabled = 0;
  GetPxoCommunicationEnabled(&enabled);

  const int valid = ValidateParameters();
  if (valid < 0) return valid;

  m_pAddr->netId = m_parameters.netId;
  m_pAddr->port = m_parameters.nPort;
  bool netIdSet = false;
  for (unsigned char b : m_parameters.netId.b) netIdSet = netIdSet || b != 0;

  int command = m_parameters.indexGroup;
  if (netIdSet && enabled) command = command == kSumUpRead ? kPxoRead : kPxoWrite;

  switch (command) {
    case kSumUpRead:
    case kSumUpWrite: {
      const uint64_t open = KXROpen();
      if (open != 0) return static_cast<int>(static_cast<uint32_t>(open));
      const int r = command == kSumUpRead ? SumUpReadKXR(result) : SumUpWriteKXR(result);
      KXRClose();
      return r;
    }
    case kPxoRead:
    case kPxoWrite: {
      const int64_t port = PxoPortOpenEx();
      if (port == 0) return static_cast<int>(KxrResult::kNoAutomationPort);
      const int r = command == kPxoRead ? SumUpReadPXO(result, port) : SumUpWritePXO(result, port);
      PxoPortCloseEx(port);
      return r;
    }
    default:
      return KXRWEB_ERR_INVALID_ARGUMENT;
  }
}

int CKxr::SumUpReadKXR(std::string& result) {
  return Guarded([&]() -> int {
    const int count = m_parameters.indexOffset;
    const int64_t recordBytes = static_cast<int64_t>(kReadRecordSize) * count;
    if (m_parameters.cbRdLen < recordBytes) return KXRWEB_ERR_READBUF_TOO_SMALL;
    const size_t room = static_cast<size_t>(m_parameters.cbRdLen - recordBytes);

    std::vector<uint32_t> words;
    std::string data;
    try {
      words.assign(static_cast<size_t>(count) * 2, 0);
      data.reserve(room);
    } catch (const std::bad_alloc&) {
      return KXRWEB_ERR_OUT_OF_MEMORY;
    }

    std::vector<unsigned char> buffer;  // one read's bytes, reused by every sub-request
    uint32_t down = 0;                  // the code of a service found down, once seen
    for (int i = 0; i < count; ++i) {
      const writeBuffer_ h = ReadHeader(m_parameters.pwrData, i);
      uint32_t& code = words.at(2 * static_cast<size_t>(i));
      uint32_t& delivered = words.at(2 * static_cast<size_t>(i) + 1);
      // A read of no bytes, or of more than the limit, is not sent; its word
      // is the code for a buffer too small, or too long.
      if (h.length == 0) {
        code = KxrResult::EntryBufferTooSmall;
        continue;
      }
      if (h.length > static_cast<uint32_t>(kMaxEntryLength)) {
        code = KxrResult::EntryTooLong;
        continue;
      }
      if (down == 0 && std::chrono::steady_clock::now() >= m_deadline) down = kPastDeadline;
      if (down != 0) {
        code = down;
        continue;
      }
      buffer.assign(h.length, 0);
      uint64_t n = 0;
      code = static_cast<uint32_t>(KXRSyncRead(h.index, h.subIndex, h.flags, h.length, buffer.data(), &n));
      if (ServiceDown(code)) down = code;
      delivered = static_cast<uint32_t>(n);
      if (n == 0) continue;
      if (n > h.length) return KXRWEB_ERR_OUT_OF_RANGE;  // more than the buffer holds
      if (data.size() == room) return KXRWEB_ERR_OUT_OF_RANGE;
      if (n > room - data.size()) return KXRWEB_ERR_READBUF_TOO_SMALL;
      data.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
    }

    std::string out = WordsToBytes(words);
    out += data;
    result = std::move(out);
    return KXRWEB_SUCCESS;
  });
}

int CKxr::SplitWriteBuffer(std::vector<writeBuffer_>& headers, uint64_t& totalData) const {
  const int count = m_parameters.indexOffset;
  const uint64_t headerBytes = static_cast<uint64_t>(kHeaderSize) * static_cast<uint64_t>(count);
  if (m_parameters.pwrData.size() < headerBytes) return KXRWEB_ERR_INVALID_WRITEBUF;
  uint64_t available = m_parameters.pwrData.size() - headerBytes;
  headers.resize(static_cast<size_t>(count));
  totalData = 0;
  for (int i = 0; i < count; ++i) {
    const writeBuffer_ h = ReadHeader(m_parameters.pwrData, i);
    headers[static_cast<size_t>(i)] = h;
    if (h.length > available) return KXRWEB_ERR_INVALID_SOAP;
    if (h.length > static_cast<uint32_t>(kMaxEntryLength)) return KXRWEB_ERR_MAX_WRITEBUF;
    available -= h.length;
    totalData += h.length;
  }
  return KXRWEB_SUCCESS;
}

int CKxr::SumUpWriteKXR(std::string& result) {
  return Guarded([&]() -> int {
    std::vector<writeBuffer_> headers;
    uint64_t totalData = 0;  // the service takes each entry's data on its own: the sum is not needed
    const int split = SplitWriteBuffer(headers, totalData);
    if (split < 0) return split;
    const int count = m_parameters.indexOffset;
    // A sub-request without data cannot be written. It is refused here,
    // before the first write, so that a malformed batch writes nothing.
    for (const writeBuffer_& h : headers)
      if (h.length == 0) return KXRWEB_ERR_OUT_OF_RANGE;

    std::vector<uint32_t> words(static_cast<size_t>(count), 0);
    size_t offset = static_cast<size_t>(kHeaderSize) * static_cast<size_t>(count);
    uint32_t down = 0;  // the code of a service found down, once seen: no more writes are sent
    for (int i = 0; i < count; ++i) {
      const writeBuffer_& h = headers[static_cast<size_t>(i)];
      const char* block = m_parameters.pwrData.data() + offset;
      uint32_t& word = words[static_cast<size_t>(i)];
      if (down == 0 && std::chrono::steady_clock::now() >= m_deadline) down = kPastDeadline;
      word = down != 0 ? down : static_cast<uint32_t>(KXRSyncWrite(h.index, h.subIndex, h.flags, h.length, block));
      if (ServiceDown(word)) down = word;
      offset += h.length;
    }
    result = WordsToBytes(words);
    return KXRWEB_SUCCESS;
  });
}

int CKxr::SumUpReadPXO(std::string& result, int64_t port) {
  return Guarded([&]() -> int {
    const int count = m_parameters.indexOffset;
    if (m_parameters.cbRdLen < static_cast<int64_t>(kReadRecordSize) * count) return KXRWEB_ERR_READBUF_TOO_SMALL;
    std::string buffer(static_cast<size_t>(m_parameters.cbRdLen), '\0');
    uint64_t n = 0;
    const int64_t r = PxoSyncReadWriteReqEx2(static_cast<uint64_t>(port), m_pAddr, kPxoRead,
                                             static_cast<uint64_t>(count), buffer.size(), &buffer[0],
                                             static_cast<uint64_t>(kHeaderSize) * static_cast<uint64_t>(count),
                                             &m_parameters.pwrData[0], &n);
    if (r != 0) return PxoFailureCode(r);
    if (n > buffer.size()) return KXRWEB_ERR_OUT_OF_RANGE;  // the library claims more than it could store
    buffer.resize(static_cast<size_t>(n));
    result = std::move(buffer);
    return KXRWEB_SUCCESS;
  });
}

int CKxr::SumUpWritePXO(std::string& result, int64_t port) {
  return Guarded([&]() -> int {
    const int count = m_parameters.indexOffset;
    std::vector<writeBuffer_> headers;
    uint64_t totalData = 0;
    const int split = SplitWriteBuffer(headers, totalData);
    if (split < 0) return split;
    std::vector<uint32_t> words(static_cast<size_t>(count), 0);
    const uint64_t writeLength = static_cast<uint64_t>(kHeaderSize) * static_cast<uint64_t>(count) + totalData;
    const int64_t r = PxoSyncReadWriteReqEx2(static_cast<uint64_t>(port), m_pAddr, kPxoWrite,
                                             static_cast<uint64_t>(count), words.size() * 4, words.data(),
                                             writeLength, &m_parameters.pwrData[0], nullptr);
    if (r != 0) return PxoFailureCode(r);
    // The target's answer is passed on as it stored it, byte for byte.
    result.assign(reinterpret_cast<const char*>(words.data()), words.size() * 4);
    return KXRWEB_SUCCESS;
  });
}
