// The test program's own operator new and delete: malloc and free, with two
// hooks the including file defines. Include it in one file of a program only.
// Every plain form is replaced at once, since libraries pair them freely
// (libjxl frees its nothrow allocations with plain delete); the dlopen'ed
// plug-ins bind to these as well.
#pragma once
#include <malloc.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace replaced_allocator {
// True: this allocation fails (bad_alloc, or null from the nothrow form).
bool fail_now();
// Each block's usable size as it is allocated (positive) and freed (negative).
void count(long long bytes);
}  // namespace replaced_allocator

// Kept out of line: inlined next to a new-expression, free() looks like a
// mismatched release to the compiler.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (replaced_allocator::fail_now()) throw std::bad_alloc();
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  replaced_allocator::count(static_cast<long long>(malloc_usable_size(block)));
  return block;
}
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
__attribute__((noinline)) void operator delete(void* block) noexcept {
  if (block != nullptr) replaced_allocator::count(-static_cast<long long>(malloc_usable_size(block)));
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }
