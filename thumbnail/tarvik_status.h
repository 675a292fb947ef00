// What tarvik_status() shows: tarvik's calls since the library was loaded,
// and the memory budget of its decodes.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "outcome.h"
#include "settings_snapshot.h"

namespace quarn::thumb {

// Counts a tarvik call by its outcome: written (a value), or failed (a
// failure, or an exception, which goes on to the caller).
void count_call(const Outcome& outcome);
void count_exception();
// Counts a tarvik_jpeg call: its JPEG returned, or a failure (NULL with a
// line, or an exception); a row without an image is neither.
enum class JpegFate { kReturned, kFailed, kNoImage };
void count_jpeg_call(JpegFate fate);

template <class Call>
Outcome counted(Call&& call) {
  try {
    Outcome outcome = call();
    count_call(outcome);
    return outcome;
  } catch (...) {
    count_exception();
    throw;
  }
}

// {"version": ..., "calls": N, "written": N, "failed": N,
// "memory_budget_mb": N, "memory_in_use_mb": N, "memory_peak_mb": N,
// "memory_waits": N, "memory_refusals": N, "jpeg_calls": N,
// "jpeg_returned": N, "jpeg_failed": N}: the counts since the library
// was loaded, the budget as the settings give it.
std::string status_json(std::string_view version, const SettingsSnapshot& settings);

}  // namespace quarn::thumb
