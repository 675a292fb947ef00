#include "settings_snapshot.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace quarn {

namespace {

constexpr std::size_t kCount = std::size(setting::kPublished);

std::size_t index_of(const setting::Variable& variable) {
  for (std::size_t i = 0; i < kCount; ++i)
    if (std::strcmp(setting::kPublished[i]->name, variable.name) == 0) return i;
  throw std::invalid_argument(std::string("not a setting: ") + variable.name);
}

}  // namespace

SettingsSnapshot SettingsSnapshot::current() {
  const char* names[kCount];
  for (std::size_t i = 0; i < kCount; ++i) names[i] = setting::kPublished[i]->name;
  SettingsSnapshot snapshot;
  env_get_all(names, kCount, snapshot.values_);
  return snapshot;
}

SettingsSnapshot::SettingsSnapshot(const EnvReader& lookup) {
  for (std::size_t i = 0; i < kCount; ++i) values_[i] = lookup(setting::kPublished[i]->name);
}

const std::optional<std::string>& SettingsSnapshot::text(const setting::Variable& variable) const {
  return values_[index_of(variable)];
}

std::optional<long> SettingsSnapshot::number(const setting::Variable& variable) const {
  const std::optional<std::string>& text = this->text(variable);
  if (text) {
    char* end = nullptr;
    // strtol saturates far outside the range, so that stays outside too.
    const long number = std::strtol(text->c_str(), &end, variable.base);
    if (end != text->c_str() && variable.in_range(number)) return number;
  }
  if (!variable.default_outside_range) return std::nullopt;
  return std::strtol(variable.default_value, nullptr, 10);
}

}  // namespace quarn
