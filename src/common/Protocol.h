// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Facts of the ReadWrite call shared by the daemon, kxr-cli, the simulator,
// the tests and the fuzz targets: the endpoint's path, the index groups, the
// limits, and the byte layout of the sum-up buffers.
//
// Every integer in the buffers and in the device-profile service's messages
// is little-endian. It is encoded and decoded here byte by byte, which holds
// on a host of either byte order; nothing in the system copies a multi-byte
// integer between a buffer and memory as it lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace KxrProtocol {

// Any request path containing this goes to the web service.
inline constexpr char kServicePath[] = "/KxrWebService/KxrWebService.dll";

// Sign-in (a form of "user" and "password") and sign-out, both POST, and the
// session document; each also under the "/config" prefix. The session's
// cookie: the __Host- prefix makes a browser keep it only from a secure
// origin, for the whole host and no other.
inline constexpr char kSignInPath[] = "/kxr-signin";
inline constexpr char kSignOutPath[] = "/kxr-signout";
inline constexpr char kSessionPath[] = "/kxr-session.json";
inline constexpr char kSessionCookie[] = "__Host-kxr-session";

// Index groups a caller may ask for.
inline constexpr int kSumUpRead = 0xF080;   // sum-up read over the device-profile service
inline constexpr int kSumUpWrite = 0xF081;  // sum-up write over the device-profile service
// Index groups of the automation path, never a caller's.
inline constexpr int kPxoRead = 0xF304;
inline constexpr int kPxoWrite = 0xF305;

// Limits of one call.
inline constexpr int kMaxSubRequests = 300;           // sub-requests in one batch
inline constexpr int kMaxEntryLength = 0x100000;      // largest cbRdLen, and largest length of one sub-request
// The largest request body is KxrSettings::kBodyLimit.

// Sizes in the sum-up buffers.
inline constexpr int kHeaderSize = 12;       // one sub-request header
inline constexpr int kReadRecordSize = 8;    // one read result record: code, then length
inline constexpr int kWriteRecordSize = 4;   // one write result word

// Little-endian codec.

inline uint16_t GetLe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

inline uint32_t GetLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t GetLe64(const unsigned char* p) {
  return static_cast<uint64_t>(GetLe32(p)) | static_cast<uint64_t>(GetLe32(p + 4)) << 32;
}

// The low width bytes of value at p, lowest first.
inline void PutLe(unsigned char* p, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) p[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

inline void PutLe16(unsigned char* p, uint16_t value) { PutLe(p, value, 2); }
inline void PutLe32(unsigned char* p, uint32_t value) { PutLe(p, value, 4); }
inline void PutLe64(unsigned char* p, uint64_t value) { PutLe(p, value, 8); }

// The low width bytes of value appended to bytes, lowest first.
inline void AppendLe(std::string& bytes, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// Little-endian 32-bit value at offset of a byte string that holds it.
inline uint32_t GetLe32(const std::string& bytes, std::size_t offset) {
  return GetLe32(reinterpret_cast<const unsigned char*>(bytes.data()) + offset);
}

// One 12-byte sub-request header: group word (not interpreted on the
// device-profile path), sub-index, flags, object index, length (bytes wanted
// by a read, data bytes of a write).
struct SubRequestHeader {
  uint32_t group = 0;
  uint8_t subIndex = 0;
  uint8_t flags = 0;
  uint16_t index = 0;
  uint32_t length = 0;
};

// The header at p (kHeaderSize bytes).
inline SubRequestHeader DecodeHeader(const unsigned char* p) {
  SubRequestHeader h;
  h.group = GetLe32(p);
  h.subIndex = p[4];
  h.flags = p[5];
  h.index = GetLe16(p + 6);
  h.length = GetLe32(p + 8);
  return h;
}

// Header i of a write buffer that holds it.
inline SubRequestHeader DecodeHeader(const std::string& buffer, std::size_t i) {
  return DecodeHeader(reinterpret_cast<const unsigned char*>(buffer.data()) + i * kHeaderSize);
}

// The header's 12 bytes appended to buffer.
inline void AppendHeader(std::string& buffer, const SubRequestHeader& h) {
  AppendLe(buffer, h.group, 4);
  buffer += static_cast<char>(h.subIndex);
  buffer += static_cast<char>(h.flags);
  AppendLe(buffer, h.index, 2);
  AppendLe(buffer, h.length, 4);
}

// One 8-byte read result record: the sub-request's code, then the bytes it delivered.
struct ResultRecord {
  uint32_t code = 0;
  uint32_t length = 0;
};

// Record i of a read result that holds it.
inline ResultRecord DecodeRecord(const std::string& result, std::size_t i) {
  return ResultRecord{GetLe32(result, i * kReadRecordSize), GetLe32(result, i * kReadRecordSize + 4)};
}

// The record's 8 bytes appended to result.
inline void AppendRecord(std::string& result, const ResultRecord& r) {
  AppendLe(result, r.code, 4);
  AppendLe(result, r.length, 4);
}

}  // namespace KxrProtocol
