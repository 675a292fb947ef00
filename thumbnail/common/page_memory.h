// Large buffers straight from the kernel: mapped when allocated, unmapped
// when freed. glibc keeps a freed block of up to 32 MB in the malloc arena
// of the thread that freed it (the size it maps from grows with the blocks
// freed), where the server's own allocations soon pin it: each
// connection's thread would hold on to its last large thumbnail's buffers.
// A mapped block leaves the process when it is freed, without malloc_trim,
// which walks and locks every arena of the server. Smaller blocks come
// from malloc as ever.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

namespace quarn::thumb {

// From this size on a buffer is mapped: a few pages, whose mapping costs
// less than the first touch of their memory.
inline constexpr std::size_t kMapFrom = std::size_t{256} << 10;

// `bytes` of zeroed pages; nullptr when the kernel refuses.
void* map_pages(std::size_t bytes) noexcept;
// Gives back what map_pages gave for `bytes`.
void unmap_pages(void* at, std::size_t bytes) noexcept;

template <class T>
struct PageAllocator {
  using value_type = T;

  PageAllocator() = default;
  template <class U>
  PageAllocator(const PageAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    void* at = bytes >= kMapFrom ? map_pages(bytes) : std::malloc(bytes);
    if (at == nullptr) throw std::bad_alloc();
    return static_cast<T*>(at);
  }
  void deallocate(T* at, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (bytes >= kMapFrom)
      unmap_pages(at, bytes);
    else
      std::free(at);
  }

  friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
  friend bool operator!=(const PageAllocator&, const PageAllocator&) { return false; }
};

// The buffers of rows and images of the thumbnail's steps.
template <class T>
using Buffer = std::vector<T, PageAllocator<T>>;

}  // namespace quarn::thumb
