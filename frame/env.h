// The one way the plug-ins touch the process environment.
#pragma once

#include <pthread.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarn {

// glibc's getenv takes no lock while setenv/unsetenv may move the environment
// array, so all reads and writes by the three plug-ins share this lock. The
// server loads each plug-in with RTLD_LOCAL and they link nothing in common;
// an inline variable is emitted as a GNU unique symbol, which the dynamic
// loader binds to one object per process whichever library defines it first.
// Writers are preferred so a busy stream of readers cannot starve a reload.
inline pthread_rwlock_t env_lock __attribute__((visibility("default"))) =
    PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

// Copies the variable's value while the lock is held; nullopt when unset.
// The lookup sees the name up to its first NUL byte, as getenv does.
std::optional<std::string> env_get(const std::string& name);

// How a call's logic reads a variable: env_get in the server, a table in
// unit tests.
using EnvReader = std::function<std::optional<std::string>(const std::string&)>;

// Sets each variable in order, an empty value removing it, under one write
// hold: a reader sees all of them as they were before or all as they are
// after. Failures are ignored.
void env_publish(const std::vector<std::pair<std::string, std::string>>& variables);

// A read hold on env_lock for calls into libraries that read the environment
// themselves (libjpeg asks for JPEGMEM, the resolver for LOCALDOMAIN and
// RES_OPTIONS): a concurrent setenv may free the array they walk.
// Re-entrant on one thread: a hold taken while the thread already has one
// never waits (a second rdlock would queue behind a waiting writer for
// ever), and only the outermost takes and gives back the lock. Holds end in
// the reverse order of taking; release() ends one early, on its own thread.
// A thread that holds one must not write the environment.
class EnvReadHold {
 public:
  EnvReadHold();
  ~EnvReadHold() { release(); }
  EnvReadHold(const EnvReadHold&) = delete;
  EnvReadHold& operator=(const EnvReadHold&) = delete;
  void release();

 private:
  bool held_;
};

}  // namespace quarn
