// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The header arena: alignment and the heap fallback (a request of very many fields: the daemon tests).
#include <gtest/gtest.h>

#include <cstdint>

#include "fields_alloc.h"

namespace {

constexpr std::size_t kArena = 256;

bool InArena(const fields_alloc<char>& alloc, const void* p) {
  const std::less<const void*> before;
  return !before(p, alloc.arena().begin()) && before(p, alloc.arena().end());
}

template <std::size_t Align>
struct alignas(Align) Aligned { char c; };

}  // namespace

// Each block, allocated after a single byte, lands in the arena aligned to its type.
TEST(FieldsAlloc, AlignsEveryBlockToItsElementType) {
  fields_alloc<char> alloc(kArena);
  const auto check = [&alloc](auto type) {
    using T = decltype(type);
    char* byte = alloc.allocate(1);
    fields_alloc<T> typed(alloc);
    T* block = typed.allocate(1);
    EXPECT_TRUE(InArena(alloc, block));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(T), 0u) << "align " << alignof(T);
    typed.deallocate(block, 1);
    alloc.deallocate(byte, 1);
  };
  check(std::uint16_t{}), check(std::uint32_t{}), check(std::uint64_t{}), check(Aligned<16>{}), check(Aligned<64>{});
}

TEST(FieldsAlloc, WhatDoesNotFitComesFromTheHeapWithoutTouchingTheArena) {
  fields_alloc<char> alloc(kArena);
  char* exact = alloc.allocate(kArena);  // would end at the last byte: refused
  EXPECT_TRUE(!InArena(alloc, exact) && alloc.arena().outstanding() == 0u);
  char* most = alloc.allocate(kArena - 1);
  char* overflow = alloc.allocate(1);
  EXPECT_TRUE(InArena(alloc, most) && !InArena(alloc, overflow));
  overflow[0] = 'x';  // usable memory
  alloc.deallocate(exact, kArena);
  alloc.deallocate(overflow, 1);
  EXPECT_EQ(alloc.arena().outstanding(), 1u);
  EXPECT_EQ(alloc.arena().free_from(), most + kArena - 1);
  alloc.deallocate(most, kArena - 1);
  EXPECT_EQ(alloc.arena().free_from(), alloc.arena().begin());
}
