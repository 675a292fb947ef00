// For test programs that define getenv (and secure_getenv) themselves, so
// that a library's own reads of the environment come to them: whether those
// reads happen while the plug-ins' environment lock is held.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstring>

extern "C" char** environ;

namespace quarn::test {

class EnvWatch {
 public:
  // Reads of the names this accepts are counted while a lock is watched.
  using Filter = bool (*)(const char* name);
  explicit EnvWatch(Filter watched) : watched_(watched) {}

  // Starts counting from zero; nullptr stops counting.
  void watch(pthread_rwlock_t* lock) {
    if (lock != nullptr) reads_ = unlocked_reads_ = 0;
    lock_ = lock;
  }
  int reads() const { return reads_; }
  int unlocked_reads() const { return unlocked_reads_; }
  const char* last_unlocked() const { return last_unlocked_.load(); }

  // What getenv returns, counting the read first.
  char* lookup(const char* name) {
    pthread_rwlock_t* lock = lock_.load();
    if (lock != nullptr && watched_(name)) {
      ++reads_;
      // Taking it for writing succeeds only when nobody holds it.
      if (pthread_rwlock_trywrlock(lock) == 0) {
        ++unlocked_reads_;
        last_unlocked_ = name;  // for the report; the callers' names are literals
        pthread_rwlock_unlock(lock);
      }
    }
    const std::size_t length = std::strlen(name);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=')
        return *entry + length + 1;
    }
    return nullptr;
  }

 private:
  Filter watched_;
  std::atomic<pthread_rwlock_t*> lock_{nullptr};
  std::atomic<int> reads_{0};
  std::atomic<int> unlocked_reads_{0};
  std::atomic<const char*> last_unlocked_{""};
};

}  // namespace quarn::test
