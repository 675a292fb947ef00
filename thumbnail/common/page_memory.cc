#include "common/page_memory.h"

#include <sys/mman.h>

namespace quarn::thumb {

void* map_pages(std::size_t bytes) noexcept {
  void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return at == MAP_FAILED ? nullptr : at;
}

void unmap_pages(void* at, std::size_t bytes) noexcept {
  if (at != nullptr) munmap(at, bytes);
}

}  // namespace quarn::thumb
