// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// The per-worker header arena: a bump allocator for the header fields of one
// request and its answer, with the general heap behind it for what does not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <type_traits>

namespace detail {

// One block: this record of four machine words, then `size` arena bytes.
// Allocations bump `next`; the arena starts again from its first byte when
// every allocation has been given back (count 0).
class static_pool {
 public:
  // Allocates the block of record plus size arena bytes; refs 1, count 0.
  static static_pool& construct(std::size_t size) {
    void* block = ::operator new(sizeof(static_pool) + size);
    return *::new (block) static_pool(size);
  }

  // One more allocator shares the pool.
  static_pool& share() noexcept {
    ++refs;
    return *this;
  }

  // One allocator fewer; the last one frees the block.
  void destroy() noexcept {
    if (--refs == 0) release(this);
  }

  // n bytes aligned to align (a power of two). A block that would reach the
  // arena's last byte comes from the heap instead, so a request with very many
  // short fields is still served; the parser's header limit bounds that.
  void* alloc(std::size_t n, std::size_t align) {
    const auto address = reinterpret_cast<std::uintptr_t>(next);
    const std::size_t pad = (align - address % align) % align;
    const auto room = static_cast<std::size_t>(end() - next);
    if (pad < room && n < room - pad) {
      char* block = next + pad;
      next = block + n;
      ++count;
      return block;
    }
    return heap_alloc(n, align);
  }

  // Gives back a block of alloc(n, align). Heap blocks are freed at once and
  // leave the arena's count alone.
  void dealloc(void* p, std::size_t n, std::size_t align) noexcept {
    if (!owns(p)) {
      heap_free(p, n, align);
      return;
    }
    if (--count == 0) next = begin();
  }

  // First arena byte.
  char* begin() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* begin() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  // Just past the last arena byte.
  char* end() noexcept { return begin() + size; }
  const char* end() const noexcept { return begin() + size; }
  // Arena blocks not yet given back.
  std::size_t outstanding() const noexcept { return count; }
  // First free arena byte.
  const char* free_from() const noexcept { return next; }

  static_pool(const static_pool&) = delete;
  static_pool& operator=(const static_pool&) = delete;

 private:
  explicit static_pool(std::size_t arenaSize) noexcept
      : size(arenaSize), refs(1), count(0), next(begin()) {}
  ~static_pool() = default;

  // The heap functions below stay out of line: inlined, the compiler cannot
  // tell arena blocks from heap blocks, nor see that a shared pool outlives one
  // allocator, and warns of frees that never happen.

  // Frees the pool's block.
  [[gnu::noinline]] static void release(static_pool* pool) noexcept {
    pool->~static_pool();
    ::operator delete(pool);
  }

  // A block that does not fit the arena.
  [[gnu::noinline]] static void* heap_alloc(std::size_t n, std::size_t align) {
    return ::operator new(n, std::align_val_t(align));
  }

  // Frees a block of heap_alloc.
  [[gnu::noinline]] static void heap_free(void* p, std::size_t n, std::size_t align) noexcept {
    ::operator delete(p, n, std::align_val_t(align));
  }

  // Whether p lies inside the arena (std::less orders unrelated pointers too).
  bool owns(const void* p) const noexcept {
    const std::less<const void*> before;
    return !before(p, begin()) && before(p, end());
  }

  std::size_t size;   // arena bytes
  std::size_t refs;   // allocators sharing the pool
  std::size_t count;  // arena blocks not yet given back
  char* next;         // first free arena byte
};

}  // namespace detail

// Standard allocator over a shared static_pool; copies, also of another
// element type, share the pool and compare equal.
template <class T>
class fields_alloc {
 public:
  using value_type = T;
  using is_always_equal = std::false_type;

  // The same allocator for another element type.
  template <class U>
  struct rebind {
    using other = fields_alloc<U>;
  };

  // A new pool of size arena bytes.
  explicit fields_alloc(std::size_t size) : pool(&detail::static_pool::construct(size)) {}
  // Shares other's pool.
  fields_alloc(const fields_alloc& other) noexcept : pool(&other.pool->share()) {}
  // Shares other's pool.
  template <class U>
  fields_alloc(const fields_alloc<U>& other) noexcept : pool(&other.pool->share()) {}
  // Leaves its own pool and shares other's.
  fields_alloc& operator=(const fields_alloc& other) noexcept {
    other.pool->share();
    pool->destroy();
    pool = other.pool;
    return *this;
  }
  ~fields_alloc() { pool->destroy(); }

  // n elements, aligned for T.
  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(pool->alloc(n * sizeof(T), alignof(T)));
  }

  // Gives back a block of allocate(n).
  void deallocate(T* p, std::size_t n) noexcept { pool->dealloc(p, n * sizeof(T), alignof(T)); }

  // The pool, for inspection.
  const detail::static_pool& arena() const noexcept { return *pool; }

  template <class U>
  friend class fields_alloc;

  // Equal when both serve from the same pool.
  template <class U>
  friend bool operator==(const fields_alloc& lhs, const fields_alloc<U>& rhs) noexcept {
    return &lhs.arena() == &rhs.arena();
  }

  // Different when they serve from different pools.
  template <class U>
  friend bool operator!=(const fields_alloc& lhs, const fields_alloc<U>& rhs) noexcept {
    return !(lhs == rhs);
  }

 private:
  detail::static_pool* pool;  // the shared pool
};
