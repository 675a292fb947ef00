#include "env.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

namespace quarn {

// How the environment is published
// ---------------------------------
// getenv in glibc, the resolver, OpenSSL, libjpeg and the server itself walk
// `environ` without any lock, so an array they may be walking must never
// move, shrink or change. env_publish never edits an array: it builds a
// complete new one in a block of its own and installs it with one
// compare-and-swap on `environ`. A reader holds the old pointer or the new
// one, and both arrays stay whole.
//
// The rule for freeing: a replaced block is freed no sooner than the grace
// period (kGraceNanoseconds, 10 s) after the swap that replaced it. A walk
// of the array is a few microseconds of comparing names; to meet a freed
// block a reader would have to be held off the processor for ten seconds
// between taking the pointer and reading an entry. Our own lookups copy the
// values right after their walk. Nothing keeps a pointer into a block
// longer: the strings in blocks are the "UDF_" variables, which only the
// plug-ins read, and they copy them at once.
//
// Which arrays are freed: only blocks, recognised by kBlockMagic in the word
// right before the array, the same constant in every plug-in. Never the
// array the process started with, nor glibc's own (setenv reallocs that one
// later, whatever `environ` points to at the time).
//
// Who frees: the swap succeeds for exactly one publisher per array it
// replaces, in whichever plug-in, and that publisher retires the array if
// it is a block: it goes on its library's list, and the library's later
// publishes free the blocks retired longer ago than the grace period. There
// is no thread for it (the library may be unloaded at any time); blocks
// still waiting when their library is unloaded stay allocated, a few KB
// each.
//
// Strings: every entry whose name starts with "UDF_" is copied into the new
// block, whoever wrote it, so no array we install points into an older block
// (also one made by another version of the plug-ins). Other entries keep
// their pointers; no block holds those strings.
//
// Writers other than us: a setenv by the server copies the current block's
// pointers into glibc's own array, and installs that; the block is then
// never replaced by a swap of ours and so never retired. A setenv racing
// with a swap may even install a copy of a block that we retire, so a block
// is only freed while the current array points into none of its strings,
// and is otherwise kept for ever.
//
// Memory order: the swap releases the block's contents to every lookup
// that acquires `environ`; glibc's plain loads see them through the
// dependency on the pointer, which every platform glibc runs on keeps in
// order.

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

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
  BlockHeader* next;         // in the list of the library that retired it
  std::int64_t retired_at;   // steady clock, nanoseconds
  std::size_t bytes;         // the whole block, header included
  std::uint64_t magic;       // kBlockMagic, the word right before the array
};
static_assert(sizeof(BlockHeader) % alignof(char*) == 0, "the array follows the header");

// "QUARNEV1": a new layout of the block needs a new value.
constexpr std::uint64_t kBlockMagic = 0x5155'4152'4e45'5631ULL;

// Retired blocks waiting longer than this hold up the next publish until
// the oldest are due: a storm of reloads waits, never a call.
constexpr std::size_t kMaxRetiredBytes = 32u << 20;

std::atomic<BlockHeader*> retired_list{nullptr};
std::atomic<std::size_t> pending_blocks{0};
std::atomic<std::size_t> pending_bytes{0};

char** entries_of(BlockHeader* block) { return reinterpret_cast<char**>(block + 1); }
BlockHeader* block_of(char** array) { return reinterpret_cast<BlockHeader*>(array) - 1; }

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

char** current_environment() { return __atomic_load_n(&environ, __ATOMIC_ACQUIRE); }

// Whether the array is a block: the word before it holds the magic. Every
// environment array has readable memory before it (malloc's chunk header,
// argc and argv on the stack, other static data), so the read is outside
// the array but never outside mapped memory; the sanitizers are told so.
__attribute__((noinline, no_sanitize_address, no_sanitize_thread)) bool is_block(char** array) {
  if (array == nullptr) return false;
  const volatile std::uint64_t* word = reinterpret_cast<const volatile std::uint64_t*>(array) - 1;
  return *word == kBlockMagic;
}

// The value in `entry` when it is "name=value"; nullptr otherwise.
const char* value_of(const char* entry, const char* name, std::size_t length) {
  if (std::strncmp(entry, name, length) != 0 || entry[length] != '=') return nullptr;
  return entry + length + 1;
}

const char* lookup(char** array, const char* name) {
  const std::size_t length = std::strlen(name);
  if (array == nullptr || length == 0) return nullptr;  // getenv("") finds nothing
  for (char** entry = array; *entry != nullptr; ++entry)
    if (const char* value = value_of(*entry, name, length)) return value;
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
  // Kept for ever on purpose when another writer's array may point into it,
  // or when its plug-in is unloaded before its grace period ends.
  __lsan_ignore_object(memory);
#endif
  auto* block = static_cast<BlockHeader*>(memory);
  block->next = nullptr;
  block->retired_at = 0;
  block->bytes = bytes;
  block->magic = kBlockMagic;
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

// ---- retiring and freeing ----

void push_retired(BlockHeader* first, BlockHeader* last) {
  BlockHeader* head = retired_list.load(std::memory_order_relaxed);
  do {
    last->next = head;
  } while (!retired_list.compare_exchange_weak(head, first, std::memory_order_release,
                                               std::memory_order_relaxed));
}

void retire(BlockHeader* block) {
  // Taken after the swap: every reader of this array took it before.
  block->retired_at = now_ns();
  pending_blocks += 1;
  pending_bytes += block->bytes;
  push_retired(block, block);
}

bool points_into(char** array, const BlockHeader* block) {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const auto end = begin + block->bytes;
  const auto inside = [&](const void* p) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return at >= begin && at < end;
  };
  if (array == nullptr) return false;
  if (inside(array)) return true;
  for (char** entry = array; *entry != nullptr; ++entry)
    if (inside(*entry)) return true;
  return false;
}

// Frees this library's retired blocks whose grace period is over. Another
// publisher of the library that comes meanwhile finds the list empty and
// frees nothing this time.
void free_due(long long grace) {
  BlockHeader* list = retired_list.exchange(nullptr, std::memory_order_acquire);
  if (list == nullptr) return;
  const std::int64_t now = now_ns();
  char** current = current_environment();
  BlockHeader* young_first = nullptr;
  BlockHeader* young_last = nullptr;
  while (list != nullptr) {
    BlockHeader* block = list;
    list = block->next;
    if (now - block->retired_at < grace) {
      block->next = young_first;
      young_first = block;
      if (young_last == nullptr) young_last = block;
      continue;
    }
    pending_blocks -= 1;
    pending_bytes -= block->bytes;
    // Installed again by a racing setenv's copy: kept for ever.
    if (points_into(current, block)) continue;
    before_free();
    std::free(block);
  }
  if (young_first != nullptr) push_retired(young_first, young_last);
  walk_done();
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

std::size_t retired_blocks() { return pending_blocks.load(); }
std::size_t retired_bytes() { return pending_bytes.load(); }

void publish(const std::vector<std::pair<std::string, std::string>>& variables,
             long long grace_nanoseconds) {
  std::vector<Wanted> wanted = wanted_of(variables);
  free_due(grace_nanoseconds);
  const auto give_up = std::chrono::steady_clock::now() +
                       std::chrono::nanoseconds(grace_nanoseconds) + std::chrono::seconds(1);
  while (pending_bytes.load() > kMaxRetiredBytes && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    free_due(grace_nanoseconds);
  }
  for (;;) {
    char** current = current_environment();
    BlockHeader* block = build_block(current, wanted);
    walk_done();
    if (__atomic_compare_exchange_n(&environ, &current, entries_of(block), false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      if (is_block(current)) retire(block_of(current));
      return;
    }
    // Another publisher came first: built again on its array. This one was
    // never installed, so nobody can be walking it.
    std::free(block);
  }
}

}  // namespace env_internal

}  // namespace quarn
