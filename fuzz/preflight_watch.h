// The pre-flight check as the fuzz targets run it: watched, through the
// sanitizers' malloc hooks, for the heap it holds at its peak, which must
// stay within what preflight.h promises per byte of BLOB; a BLOB that makes
// it hold more is a finding (an abort), as one that makes it crash is.
#pragma once

#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "decode/preflight.h"

namespace quarn::thumb {

namespace watch {
inline thread_local bool on = false;
inline thread_local long long live = 0;
inline thread_local long long peak = 0;

inline void on_malloc(const volatile void*, std::size_t size) {
  if (!on) return;
  live += static_cast<long long>(size);
  if (live > peak) peak = live;
}
inline void on_free(const volatile void* at) {
  if (on) live -= static_cast<long long>(__sanitizer_get_allocated_size(const_cast<const void*>(at)));
}
inline const bool installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
}  // namespace watch

inline Preflight watched_preflight(const std::uint8_t* data, std::size_t size) {
  watch::live = watch::peak = 0;
  watch::on = true;
  const Preflight check = preflight_image(data, size);
  watch::on = false;
  if (watch::installed && watch::peak > static_cast<long long>(size + kPreflightFixedBytes)) {
    std::fprintf(stderr, "pre-flight held %lld bytes for a BLOB of %zu\n", watch::peak, size);
    std::abort();
  }
  return check;
}

}  // namespace quarn::thumb
