// One way to own a C library's handle: a unique_ptr that frees it with the
// library's own function on every way out.
#pragma once

#include <memory>

namespace quarn {

template <class T, auto Free>
struct CFree {
  void operator()(T* handle) const {
    if (handle != nullptr) Free(handle);
  }
};

template <class T, auto Free>
using CHandle = std::unique_ptr<T, CFree<T, Free>>;

// Runs a cleanup at scope exit, for C state that is no pointer (a libjpeg
// decompressor, a WebP iterator).
template <class F>
class AtExit {
 public:
  explicit AtExit(F cleanup) : cleanup_(std::move(cleanup)) {}
  ~AtExit() { cleanup_(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

 private:
  F cleanup_;
};

}  // namespace quarn
