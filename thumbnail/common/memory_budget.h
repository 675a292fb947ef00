// The memory the thumbnails' decoding may take at once. Each call reserves
// what its decode takes at its peak before it decodes and gives it back
// after, so that many connections decoding large images together stay
// within the setting instead of growing the server until the kernel's OOM
// killer picks it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quarn::thumb {

// How long a call waits for room before it fails: a few of the large
// decodings that fill a budget (a 4000x3000 HEIC takes about 1 s on one
// core) end in that time, while a statement stuck behind a backlog does not
// hold its connection for minutes.
inline constexpr std::chrono::milliseconds kBudgetWait{5000};

// How long a waiting call may be passed by any later one that fits: a
// small image is not held behind a large one that waits for room. Once a
// call has waited this long, the calls that came after it and start from
// then on may hold together no more than the room it leaves free (the
// budget less what it needs): room for it comes as soon as the calls that
// had started by then end.
inline constexpr std::chrono::milliseconds kPassFor{1000};

class MemoryBudget {
 public:
  // Reserved bytes, given back when it ends (on every way out of the call).
  class Reservation {
   public:
    Reservation() = default;
    Reservation(Reservation&& other) noexcept
        : budget_(other.budget_), bytes_(other.bytes_), ticket_(other.ticket_) {
      other.budget_ = nullptr;
    }
    Reservation& operator=(Reservation&& other) noexcept;
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation() { release(); }

    bool held() const { return budget_ != nullptr; }
    void release() noexcept;

   private:
    friend class MemoryBudget;
    Reservation(MemoryBudget* budget, std::uint64_t bytes, std::uint64_t ticket)
        : budget_(budget), bytes_(bytes), ticket_(ticket) {}
    MemoryBudget* budget_ = nullptr;
    std::uint64_t bytes_ = 0;
    std::uint64_t ticket_ = 0;  // when its call came, among all calls
  };

  enum class Refusal {
    kNone,      // reserved
    kTooLarge,  // needs more than the whole budget: refused at once
    kNoRoom,    // no room came within the wait
  };

  struct Attempt {
    Reservation reservation;  // held when refusal is kNone
    Refusal refusal = Refusal::kNone;
  };

  // Reserves `bytes` while no more than `limit` bytes are reserved in all
  // (the calling call's setting: a reload may give calls different ones).
  // Goes ahead at once when it fits, unless a call that came before it has
  // waited kPassFor and would lose the room it needs; else waits up to
  // `wait` for room, so that a large image is never passed over forever by
  // a stream of small ones. Holds the budget's own lock only to look and to
  // count, never while anything else runs; the wait is on its condition
  // variable alone.
  Attempt reserve(std::uint64_t bytes, std::uint64_t limit,
                  std::chrono::milliseconds wait = kBudgetWait);

  // How many calls wait for room now.
  std::size_t waiting();

  struct Watermarks {
    std::uint64_t peak = 0;                        // most bytes reserved at once
    std::chrono::steady_clock::duration longest_wait{};  // of a call that waited
  };
  // What was seen since the last call (for tests and the benchmark), which
  // starts the next period.
  Watermarks take_watermarks();

  // Since the budget was made (tarvik_status()), read without its lock.
  struct Counters {
    std::uint64_t in_use = 0;    // bytes reserved now
    std::uint64_t peak = 0;      // most bytes reserved at once
    std::uint64_t waits = 0;     // reservations that had to wait for room
    std::uint64_t refusals = 0;  // too large, or no room within the wait
  };
  Counters counters() const;

 private:
  using Clock = std::chrono::steady_clock;

  // A call waiting for room.
  struct Waiting {
    std::uint64_t ticket;
    std::uint64_t bytes;
    std::uint64_t limit;
    Clock::time_point since;
  };
  // A reservation held, by the ticket of its call.
  struct Held {
    std::uint64_t ticket;
    std::uint64_t bytes;
    Clock::time_point since;
  };

  // Whether the call of `ticket` may take `bytes` now (see reserve).
  bool may_go(std::uint64_t ticket, std::uint64_t bytes, std::uint64_t limit, Clock::time_point now) const;
  Reservation take(std::uint64_t ticket, std::uint64_t bytes, Clock::time_point now);
  void give_back(std::uint64_t ticket, std::uint64_t bytes) noexcept;
  // After reserved_ changed, under the lock: the counters' copy of it.
  void note_reserved() noexcept;

  std::mutex mutex_;
  std::condition_variable room_;
  std::uint64_t reserved_ = 0;
  std::vector<Waiting> waiting_;  // oldest first
  std::vector<Held> held_;
  std::uint64_t next_ticket_ = 0;
  Watermarks seen_;
  std::atomic<std::uint64_t> in_use_{0}, peak_{0}, waits_{0}, refusals_{0};
};

// The process's one budget, shared by every tarvik call: the setting bounds
// the memory of the server process, so the pool must be process-wide, not
// per call or per connection.
MemoryBudget& decode_budget();

}  // namespace quarn::thumb
