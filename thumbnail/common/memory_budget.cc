#include "common/memory_budget.h"

#include <algorithm>

namespace quarn::thumb {

MemoryBudget::Reservation& MemoryBudget::Reservation::operator=(Reservation&& other) noexcept {
  if (this != &other) {
    release();
    budget_ = other.budget_;
    bytes_ = other.bytes_;
    other.budget_ = nullptr;
  }
  return *this;
}

void MemoryBudget::Reservation::release() noexcept {
  if (budget_ != nullptr) budget_->give_back(bytes_);
  budget_ = nullptr;
}

MemoryBudget::Attempt MemoryBudget::reserve(std::uint64_t bytes, std::uint64_t limit,
                                            std::chrono::milliseconds wait) {
  Attempt attempt;
  if (bytes > limit) {
    ++refusals_;
    attempt.refusal = Refusal::kTooLarge;
    return attempt;
  }
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  const auto fits = [&] { return reserved_ <= limit && limit - reserved_ >= bytes; };
  if (queue_.empty() && fits()) {
    reserved_ += bytes;
    note_reserved();
    seen_.peak = std::max(seen_.peak, reserved_);
    attempt.reservation = Reservation(this, bytes);
    return attempt;
  }
  const std::uint64_t ticket = next_ticket_++;
  queue_.push_back(ticket);
  ++waits_;
  const bool got = room_.wait_until(lock, start + wait, [&] { return queue_.front() == ticket && fits(); });
  // Out of the line either way; whoever is next may go now.
  queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
  seen_.longest_wait = std::max(seen_.longest_wait, std::chrono::steady_clock::now() - start);
  if (got) {
    reserved_ += bytes;
    note_reserved();
    seen_.peak = std::max(seen_.peak, reserved_);
    attempt.reservation = Reservation(this, bytes);
  } else {
    ++refusals_;
    attempt.refusal = Refusal::kNoRoom;
  }
  lock.unlock();
  room_.notify_all();
  return attempt;
}

void MemoryBudget::give_back(std::uint64_t bytes) noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    reserved_ -= bytes;
    note_reserved();
  }
  room_.notify_all();
}

void MemoryBudget::note_reserved() noexcept {
  in_use_.store(reserved_, std::memory_order_relaxed);
  if (reserved_ > peak_.load(std::memory_order_relaxed))
    peak_.store(reserved_, std::memory_order_relaxed);
}

MemoryBudget::Counters MemoryBudget::counters() const {
  return {in_use_.load(std::memory_order_relaxed), peak_.load(std::memory_order_relaxed),
          waits_.load(std::memory_order_relaxed), refusals_.load(std::memory_order_relaxed)};
}

MemoryBudget::Watermarks MemoryBudget::take_watermarks() {
  const std::lock_guard<std::mutex> lock(mutex_);
  const Watermarks seen = seen_;
  seen_ = {reserved_, {}};
  return seen;
}

MemoryBudget& decode_budget() {
  // Static in this library: a process-wide pool is the point (see the header).
  static MemoryBudget budget;
  return budget;
}

}  // namespace quarn::thumb
