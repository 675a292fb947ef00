#include "common/memory_budget.h"

#include <algorithm>

namespace quarn::thumb {

MemoryBudget::Reservation& MemoryBudget::Reservation::operator=(Reservation&& other) noexcept {
  if (this != &other) {
    release();
    budget_ = other.budget_;
    bytes_ = other.bytes_;
    ticket_ = other.ticket_;
    other.budget_ = nullptr;
  }
  return *this;
}

void MemoryBudget::Reservation::release() noexcept {
  if (budget_ != nullptr) budget_->give_back(ticket_, bytes_);
  budget_ = nullptr;
}

bool MemoryBudget::may_go(std::uint64_t ticket, std::uint64_t bytes, std::uint64_t limit,
                          Clock::time_point now) const {
  if (reserved_ > limit || limit - reserved_ < bytes) return false;
  for (const Waiting& before : waiting_) {
    if (before.ticket >= ticket) break;
    const Clock::time_point passed_until = before.since + kPassFor;
    if (now < passed_until) continue;
    // It has waited long enough: what came after it and started since may
    // hold no more than the room it leaves free, so that it fits once the
    // calls that had started by then are done.
    std::uint64_t after = bytes;
    for (const Held& held : held_)
      if (held.ticket > before.ticket && held.since >= passed_until) after += held.bytes;
    if (after > before.limit - before.bytes) return false;
  }
  return true;
}

MemoryBudget::Reservation MemoryBudget::take(std::uint64_t ticket, std::uint64_t bytes,
                                             Clock::time_point now) {
  held_.push_back({ticket, bytes, now});
  reserved_ += bytes;
  note_reserved();
  seen_.peak = std::max(seen_.peak, reserved_);
  return Reservation(this, bytes, ticket);
}

MemoryBudget::Attempt MemoryBudget::reserve(std::uint64_t bytes, std::uint64_t limit,
                                            std::chrono::milliseconds wait) {
  Attempt attempt;
  if (bytes > limit) {
    ++refusals_;
    attempt.refusal = Refusal::kTooLarge;
    return attempt;
  }
  const auto start = Clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t ticket = next_ticket_++;
  if (may_go(ticket, bytes, limit, start)) {
    attempt.reservation = take(ticket, bytes, start);
    return attempt;
  }
  waiting_.push_back({ticket, bytes, limit, start});
  ++waits_;
  Clock::time_point now = start;
  const bool got = room_.wait_until(lock, start + wait, [&] {
    now = Clock::now();
    return may_go(ticket, bytes, limit, now);
  });
  // Out of the line either way; whoever it held back may go now.
  waiting_.erase(std::find_if(waiting_.begin(), waiting_.end(),
                              [ticket](const Waiting& w) { return w.ticket == ticket; }));
  seen_.longest_wait = std::max(seen_.longest_wait, Clock::now() - start);
  if (got) {
    attempt.reservation = take(ticket, bytes, now);
  } else {
    ++refusals_;
    attempt.refusal = Refusal::kNoRoom;
  }
  lock.unlock();
  room_.notify_all();
  return attempt;
}

void MemoryBudget::give_back(std::uint64_t ticket, std::uint64_t bytes) noexcept {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    reserved_ -= bytes;
    note_reserved();
    held_.erase(std::find_if(held_.begin(), held_.end(), [ticket](const Held& h) { return h.ticket == ticket; }));
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

std::size_t MemoryBudget::waiting() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size();
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
