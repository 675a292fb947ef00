#include "tarvik_status.h"

#include <atomic>

#include "common/memory_budget.h"
#include "decode/decode_memory.h"
#include "settings_table.h"
#include "status_json.h"

namespace quarn::thumb {

namespace {

// Process-wide: every connection's calls add to them without a lock.
std::atomic<long long> calls{0}, written{0}, failed{0};
std::atomic<long long> jpeg_calls{0}, jpeg_returned{0}, jpeg_failed{0};

long long mb(std::uint64_t bytes) { return static_cast<long long>(megabytes(bytes)); }

}  // namespace

void count_call(const Outcome& outcome) {
  ++calls;
  // A thumbnail written is the one outcome with a value and no log line.
  ++(outcome.log_line() || outcome.is_null() ? failed : written);
}

void count_exception() {
  ++calls;
  ++failed;
}

void count_jpeg_call(JpegFate fate) {
  ++jpeg_calls;
  if (fate == JpegFate::kReturned) ++jpeg_returned;
  if (fate == JpegFate::kFailed) ++jpeg_failed;
}

std::string status_json(std::string_view version, const SettingsSnapshot& settings) {
  const MemoryBudget::Counters memory = decode_budget().counters();
  return JsonObject()
      .text("version", version)
      .number("calls", calls.load())
      .number("written", written.load())
      .number("failed", failed.load())
      .number("memory_budget_mb", settings.number(setting::kThumbnailMemory).value_or(0))
      .number("memory_in_use_mb", mb(memory.in_use))
      .number("memory_peak_mb", mb(memory.peak))
      .number("memory_waits", static_cast<long long>(memory.waits))
      .number("memory_refusals", static_cast<long long>(memory.refusals))
      .number("jpeg_calls", jpeg_calls.load())
      .number("jpeg_returned", jpeg_returned.load())
      .number("jpeg_failed", jpeg_failed.load())
      .str();
}

}  // namespace quarn::thumb
