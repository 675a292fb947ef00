#include "env.h"

#include <cstdlib>

namespace quarn {

namespace {
// Read holds this thread has, the outermost owning the lock.
thread_local unsigned holds_on_this_thread = 0;
}  // namespace

EnvReadHold::EnvReadHold()
    : held_(holds_on_this_thread > 0 || pthread_rwlock_rdlock(&env_lock) == 0) {
  if (held_) ++holds_on_this_thread;
}

void EnvReadHold::release() {
  if (held_ && --holds_on_this_thread == 0) pthread_rwlock_unlock(&env_lock);
  held_ = false;
}

std::optional<std::string> env_get(const std::string& name) {
  // The copy is made under the lock: getenv's pointer is only good until the
  // next write.
  EnvReadHold hold;
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

namespace {

void set_or_remove(const std::string& name, const std::string& value) {
  if (value.empty())
    ::unsetenv(name.c_str());
  else
    ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace

void env_publish(const std::vector<std::pair<std::string, std::string>>& variables) {
  pthread_rwlock_wrlock(&env_lock);
  for (const auto& [name, value] : variables) set_or_remove(name, value);
  pthread_rwlock_unlock(&env_lock);
}

}  // namespace quarn
