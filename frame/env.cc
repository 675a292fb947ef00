#include "env.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace quarn {

// How the environment is published
// ---------------------------------
// getenv in glibc, the resolver, OpenSSL, libjpeg and the server itself walk
// `environ` without any lock, so an array they may be walking must never
// move, shrink or change. env_publish never edits an array: it builds a
// complete new one in a block of its own and installs it with one
// compare-and-swap on `environ`; when another publisher came first (another
// thread, or another plug-in: they share no symbol, only `environ`), it
// builds again on that one's array. A reader holds the old pointer or the
// new one, and both arrays stay whole.
//
// Which blocks are freed: each plug-in frees only the blocks it made, so
// neither the array the process started with, nor glibc's own (setenv
// reallocs that one later, whatever `environ` points to), nor another
// plug-in's block is ever freed here, and nothing outside an array is read
// to tell whose it is. A block is out of use when the current array neither
// is it nor points into it: after a swap by any plug-in replaced it, or a
// setenv by the server replaced it with a copy that points into its strings
// and that copy was replaced in turn.
//
// The rule for freeing: a block is freed once it has been out of use for
// the grace period (kGraceNanoseconds, 10 s), counted from the first time a
// publish of its plug-in finds it out of use, which is after it left, and
// only if it is still out of use when the freeing publish looks. A walk
// of an array is a few microseconds of comparing names; to meet a freed
// block a reader would have to be held off the processor for ten seconds
// between taking the pointer and reading an entry. Our own lookups copy the
// values right after their walk, and nothing keeps a pointer into a block
// longer: its strings are our variables, which only the plug-ins read.
//
// There is no thread for the freeing (the library may be unloaded at any
// time): each publish frees what is due. Blocks still held when their
// plug-in is unloaded stay allocated, a few KB each.
//
// Strings: every entry whose name starts with "UDF_" is copied into the new
// block, whoever wrote it, so that the arrays we install keep no older
// block in use (also another plug-in version's). Other entries keep their
// pointers.
//
// A setenv by the server that races with a swap can install its copy of an
// array after a publish looked: as unsafe as setenv always is against the
// readers of the array, which is why a server does not call it once it runs.
//
// Memory order: the swap releases the block's contents to every lookup
// that acquires `environ`; glibc's plain loads see them through the
// dependency on the pointer, which every platform glibc runs on keeps in
// order.

namespace {

// ThreadSanitizer cannot see that the grace period orders every walk of a
// block before its freeing; each finished walk of ours is told to it as a
// release, each freeing as an acquire, on one address shared by all the
// plug-ins.
void walk_done() {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(&environ);
#endif
}
void before_free() {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(&environ);
#endif
}

struct BlockHeader {
  BlockHeader* next;              // in the list of the plug-in that made it
  std::int64_t out_of_use_since;  // steady clock, nanoseconds; 0 while in use
  std::size_t bytes;              // the whole block, header included
};
static_assert(sizeof(BlockHeader) % alignof(char*) == 0, "the array follows the header");

// When this plug-in's blocks take more, a publish waits until the oldest
// can go: a storm of reloads waits, never a call.
constexpr std::size_t kMaxBlockBytes = 32u << 20;

// This plug-in's blocks. Installed ones go on `fresh` at once; the
// bookkeeping of one publish at a time (try_lock: a publisher never waits
// for another) moves them to `in_use`, those it finds out of use to the end
// of `waiting`, oldest first, and frees from its front what is due.
std::atomic<BlockHeader*> fresh{nullptr};
std::mutex bookkeeping;
BlockHeader* in_use_list = nullptr;
BlockHeader* waiting_front = nullptr;
BlockHeader* waiting_back = nullptr;
std::atomic<std::size_t> block_count{0};
std::atomic<std::size_t> block_bytes{0};

char** entries_of(BlockHeader* block) { return reinterpret_cast<char**>(block + 1); }

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

char** current_environment() { return __atomic_load_n(&environ, __ATOMIC_ACQUIRE); }

// The value in `entry` when it is "name=value"; nullptr otherwise.
const char* value_of(const char* entry, const char* name, std::size_t length) {
  if (std::strncmp(entry, name, length) != 0 || entry[length] != '=') return nullptr;
  return entry + length + 1;
}

const char* lookup(char** array, const char* name) {
  const std::size_t length = std::strlen(name);
  if (array == nullptr || length == 0) return nullptr;  // getenv("") finds nothing
  for (char** entry = array; *entry != nullptr; ++entry) {
    if (**entry != *name) continue;  // most entries part at the first byte
    if (const char* value = value_of(*entry, name, length)) return value;
  }
  return nullptr;
}

// ---- building a block ----

struct Wanted {
  std::string_view name;   // up to its first NUL, as setenv takes it
  std::string_view value;  // likewise
  bool remove;             // the value given was empty
  bool placed = false;
};

// The variables as setenv/unsetenv in order would leave them: the last
// value of a name stands, at the name's first place. Names setenv refuses
// (empty, or holding '=') are left out as it leaves them.
std::vector<Wanted> wanted_of(const std::vector<std::pair<std::string, std::string>>& variables) {
  std::vector<Wanted> wanted;
  for (const auto& [name, value] : variables) {
    const std::string_view cut_name(name.c_str());
    if (cut_name.empty() || cut_name.find('=') != std::string_view::npos) continue;
    const Wanted entry{cut_name, std::string_view(value.c_str()), value.empty()};
    bool seen = false;
    for (Wanted& earlier : wanted)
      if (earlier.name == cut_name) earlier = entry, seen = true;
    if (!seen) wanted.push_back(entry);
  }
  return wanted;
}

// One entry of the new array.
struct Slot {
  const char* pointer;  // kept as it is, or copied when bytes > 0
  std::size_t bytes;    // copied into the block, terminator included
  const Wanted* set;    // or "NAME=value" written into the block
};

// The new array's entries: the current ones in their order, ours replaced
// in place or left out, every other "UDF_" entry copied, the rest kept;
// then ours that were not there. Decided in one walk: the current array
// may be glibc's, which a setenv by the server could edit meanwhile.
std::vector<Slot> plan(char** current, std::vector<Wanted>& wanted) {
  std::vector<Slot> slots;
  for (char** entry = current; entry != nullptr && *entry != nullptr; ++entry) {
    const char* text = *entry;
    Wanted* ours = nullptr;
    for (Wanted& w : wanted)
      if (value_of(text, w.name.data(), w.name.size()) != nullptr) ours = &w;
    if (ours != nullptr) {
      // Its first place takes the value; any later duplicate goes, as
      // unsetenv removes them all.
      if (!ours->placed && !ours->remove) slots.push_back({nullptr, 0, ours});
      ours->placed = true;
    } else if (std::strncmp(text, "UDF_", 4) == 0) {
      slots.push_back({text, std::strlen(text) + 1, nullptr});
    } else {
      slots.push_back({text, 0, nullptr});
    }
  }
  for (Wanted& w : wanted)
    if (!w.placed && !w.remove) slots.push_back({nullptr, 0, &w});
  return slots;
}

BlockHeader* allocate_block(std::size_t bytes) {
  void* memory = std::malloc(bytes);
  if (memory == nullptr) throw std::bad_alloc();
#if defined(__SANITIZE_ADDRESS__)
  // Kept for ever on purpose when its plug-in is unloaded first.
  __lsan_ignore_object(memory);
#endif
  auto* block = static_cast<BlockHeader*>(memory);
  block->next = nullptr;
  block->out_of_use_since = 0;
  block->bytes = bytes;
  return block;
}

BlockHeader* build_block(char** current, std::vector<Wanted>& wanted) {
  for (Wanted& w : wanted) w.placed = false;
  const std::vector<Slot> slots = plan(current, wanted);
  std::size_t string_bytes = 0;
  for (const Slot& slot : slots)
    string_bytes += slot.set ? slot.set->name.size() + 1 + slot.set->value.size() + 1 : slot.bytes;
  BlockHeader* block =
      allocate_block(sizeof(BlockHeader) + (slots.size() + 1) * sizeof(char*) + string_bytes);
  char** array = entries_of(block);
  char* strings = reinterpret_cast<char*>(array + slots.size() + 1);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Slot& slot = slots[i];
    if (slot.set == nullptr && slot.bytes == 0) {
      array[i] = const_cast<char*>(slot.pointer);
      continue;
    }
    array[i] = strings;
    if (slot.set != nullptr) {
      std::memcpy(strings, slot.set->name.data(), slot.set->name.size());
      strings += slot.set->name.size();
      *strings++ = '=';
      std::memcpy(strings, slot.set->value.data(), slot.set->value.size());
      strings += slot.set->value.size();
      *strings++ = '\0';
    } else {
      std::memcpy(strings, slot.pointer, slot.bytes);
      strings += slot.bytes;
    }
  }
  array[slots.size()] = nullptr;
  return block;
}

// ---- freeing ----

void push_fresh(BlockHeader* block) {
  BlockHeader* head = fresh.load(std::memory_order_relaxed);
  do {
    block->next = head;
  } while (!fresh.compare_exchange_weak(head, block, std::memory_order_release,
                                        std::memory_order_relaxed));
}

// The array and every string it points to, in order: what is in use.
std::vector<std::uintptr_t> in_use(char** array) {
  std::vector<std::uintptr_t> pointers;
  if (array == nullptr) return pointers;
  pointers.push_back(reinterpret_cast<std::uintptr_t>(array));
  for (char** entry = array; *entry != nullptr; ++entry)
    pointers.push_back(reinterpret_cast<std::uintptr_t>(*entry));
  std::sort(pointers.begin(), pointers.end());
  return pointers;
}

bool used(const std::vector<std::uintptr_t>& pointers, const BlockHeader* block) {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const auto found = std::lower_bound(pointers.begin(), pointers.end(), begin);
  return found != pointers.end() && *found < begin + block->bytes;
}

// Frees this plug-in's blocks that have been out of use for the grace
// period; when another publisher of the plug-in is at it, nothing.
void free_unused(long long grace) {
  const std::unique_lock<std::mutex> lock(bookkeeping, std::try_to_lock);
  if (!lock) return;
  for (BlockHeader* block = fresh.exchange(nullptr, std::memory_order_acquire); block != nullptr;) {
    BlockHeader* next = block->next;
    block->next = in_use_list;
    in_use_list = block;
    block = next;
  }
  // Looked at after taking the fresh ones: every block we hold was
  // installed before, so one still in use shows.
  const std::vector<std::uintptr_t> pointers = in_use(current_environment());
  walk_done();
  // Taken after the look: a block out of use then had left before.
  const std::int64_t now = now_ns();
  for (BlockHeader** link = &in_use_list; *link != nullptr;) {
    BlockHeader* block = *link;
    if (used(pointers, block)) {
      link = &block->next;
      continue;
    }
    *link = block->next;
    block->out_of_use_since = now;
    block->next = nullptr;
    (waiting_back != nullptr ? waiting_back->next : waiting_front) = block;
    waiting_back = block;
  }
  while (waiting_front != nullptr && now - waiting_front->out_of_use_since >= grace) {
    BlockHeader* block = waiting_front;
    waiting_front = block->next;
    if (waiting_front == nullptr) waiting_back = nullptr;
    // Looked at again right before it goes: code that saved `environ` and
    // puts it back brings a block back into use, and its grace starts anew
    // once it leaves again.
    if (used(pointers, block)) {
      block->out_of_use_since = 0;
      block->next = in_use_list;
      in_use_list = block;
      continue;
    }
    block_count -= 1;
    block_bytes -= block->bytes;
    before_free();
    std::free(block);
  }
}

}  // namespace

std::optional<std::string> env_get(const std::string& name) {
  std::optional<std::string> value;
  const char* cut = name.c_str();
  env_get_all(&cut, 1, &value);
  return value;
}

void env_get_all(const char* const* names, std::size_t count, std::optional<std::string>* values) {
  char** array = current_environment();  // once: every lookup in one generation
  for (std::size_t i = 0; i < count; ++i) {
    const char* value = lookup(array, names[i]);
    if (value != nullptr)
      values[i].emplace(value);
    else
      values[i].reset();
  }
  walk_done();
}

void env_publish(const std::vector<std::pair<std::string, std::string>>& variables) {
  env_internal::publish(variables, env_internal::kGraceNanoseconds);
}

namespace env_internal {

std::size_t held_blocks() { return block_count.load(); }

void publish(const std::vector<std::pair<std::string, std::string>>& variables,
             long long grace_nanoseconds) {
  std::vector<Wanted> wanted = wanted_of(variables);
  free_unused(grace_nanoseconds);
  const auto give_up = std::chrono::steady_clock::now() +
                       std::chrono::nanoseconds(grace_nanoseconds) + std::chrono::seconds(1);
  while (block_bytes.load() > kMaxBlockBytes && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    free_unused(grace_nanoseconds);
  }
  for (;;) {
    char** current = current_environment();
    BlockHeader* block = build_block(current, wanted);
    walk_done();
    if (__atomic_compare_exchange_n(&environ, &current, entries_of(block), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      block_count += 1;
      block_bytes += block->bytes;
      push_fresh(block);
      return;
    }
    // Another publisher came first: built again on its array. This one was
    // never installed, so nobody can be walking it.
    std::free(block);
  }
}

}  // namespace env_internal

}  // namespace quarn
