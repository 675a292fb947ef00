// The one way the plug-ins touch the process environment: lookups that
// take the array once and walk it without a lock, and publishing that
// replaces the whole array with one store.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quarn {

// Copies the variable's value; nullopt when unset. The lookup sees the name
// up to its first NUL byte, as getenv does.
std::optional<std::string> env_get(const std::string& name);

// Copies the values of `count` variables into values[0..count), all looked
// up in one environment array: a publish between two lookups is never half
// seen.
void env_get_all(const char* const* names, std::size_t count, std::optional<std::string>* values);

// How a call's logic reads a variable: env_get in the server, a table in
// unit tests.
using EnvReader = std::function<std::optional<std::string>(const std::string&)>;

// Sets each variable to its value, an empty value removing it (the last
// value of a name given twice stands), all in one new environment array
// that replaces the current one in one store: a reader sees all of them as
// they were before or all as they are after. The plug-ins never call
// setenv, unsetenv or putenv. Throws std::bad_alloc when memory runs out;
// then nothing has changed.
void env_publish(const std::vector<std::pair<std::string, std::string>>& variables);

namespace env_internal {

// How long an array stays allocated once out of use; the rule is told in
// env.cc.
inline constexpr long long kGraceNanoseconds = 10'000'000'000LL;

// This plug-in's arrays not freed yet, the one in use included; for tests.
std::size_t held_blocks();

// env_publish with another grace period, for tests of the freeing alone.
void publish(const std::vector<std::pair<std::string, std::string>>& variables,
             long long grace_nanoseconds);

}  // namespace env_internal

}  // namespace quarn
