#include "env.h"

#include <cstdlib>

namespace quarn {
namespace {

class LockGuard {
 public:
  LockGuard(pthread_rwlock_t& lock, bool exclusive) : lock_(lock) {
    if (exclusive)
      pthread_rwlock_wrlock(&lock_);
    else
      pthread_rwlock_rdlock(&lock_);
  }
  ~LockGuard() { pthread_rwlock_unlock(&lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  pthread_rwlock_t& lock_;
};

}  // namespace

std::optional<std::string> env_get(const std::string& name) {
  // The copy is made under the lock: getenv's pointer is only good until the
  // next write.
  LockGuard guard(env_lock, false);
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void env_set(const std::string& name, const std::string& value) {
  LockGuard guard(env_lock, true);
  if (value.empty())
    ::unsetenv(name.c_str());
  else
    ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace quarn
