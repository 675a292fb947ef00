// The one reader of the settings: what a call works with, taken from one
// environment array, each setting's default and range from the table.
#pragma once

#include <iterator>
#include <optional>
#include <string>

#include "env.h"
#include "settings_table.h"

namespace quarn {

class SettingsSnapshot {
 public:
  // Every setting of the table as the environment holds it now: the array
  // is taken once and all names are looked up in it, so a reload is seen
  // whole or not at all.
  static SettingsSnapshot current();

  // Every setting as the lookup gives it: unit tests stand a table for the
  // environment (implicit, so such a lookup can be passed for a snapshot).
  SettingsSnapshot(const EnvReader& lookup);

  // The variable's text; nullopt when it is not set.
  const std::optional<std::string>& text(const setting::Variable& variable) const;

  // An integer setting: the leading number of its text (strtol with the
  // table's base). Missing, without a number or outside the range: the
  // default where the table says so, else nullopt (the call refuses).
  std::optional<long> number(const setting::Variable& variable) const;

 private:
  SettingsSnapshot() = default;
  std::optional<std::string> values_[std::size(setting::kPublished)];
};

}  // namespace quarn
