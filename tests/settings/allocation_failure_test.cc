// Exhausted memory inside an entry point must not unwind into the server.
// This program replaces the global allocator, which the dlopen'ed plug-in
// binds to as well, so one allocation can be made to fail on request.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "udf_call.h"
#include "working_dir.h"

namespace {
std::atomic<bool> fail_next_allocation{false};
}  // namespace

// Kept out of line: inlined next to a new-expression, free() looks like a
// mismatched release to the compiler.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (fail_next_allocation.exchange(false)) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }

namespace {

using quarn::test::Args;
using quarn::test::Plugin;

TEST(AllocationFailure, GetenvvarGivesNullWithTheErrorFlag) {
  Plugin ostrel("ostrel");
  auto* getenvvar = ostrel.function<quarn::test::StringFn>("udf_getenvvar");
  // Longer than any short-string buffer: making the name allocates.
  const std::string name = "QUARN_A_NAME_TOO_LONG_FOR_SHORT_STRINGS";
  ::setenv(name.c_str(), "v", 1);
  Args args;
  args.text(name);
  UDF_ARGS* record = args.get();
  UDF_INIT initid{};
  char result[256];
  unsigned long length = 77;
  char is_null = 0, error = 0;
  fail_next_allocation = true;
  char* returned = getenvvar(&initid, record, result, &length, &is_null, &error);
  ASSERT_FALSE(fail_next_allocation) << "no allocation was made";
  EXPECT_EQ(returned, result);
  EXPECT_EQ(is_null, 1);
  EXPECT_EQ(error, 1);
  EXPECT_EQ(length, 0u);
  ::unsetenv(name.c_str());
}

TEST(AllocationFailure, LoadiniGivesNullWithTheErrorFlag) {
  quarn::test::clear_settings();
  quarn::test::WorkingDir cwd;
  cwd.write_settings("[email]\nsmtp-host = h\n");
  Plugin ostrel("ostrel");
  auto* loadini = ostrel.function<quarn::test::IntFn>("udf_loadini");
  Args args;
  UDF_ARGS* record = args.get();
  UDF_INIT initid{};
  char is_null = 0, error = 0;
  fail_next_allocation = true;
  EXPECT_EQ(loadini(&initid, record, &is_null, &error), 0);
  ASSERT_FALSE(fail_next_allocation) << "no allocation was made";
  EXPECT_EQ(error, 1);
  EXPECT_EQ(std::getenv("UDF_ERRORLOG"), nullptr) << "a failed load never sets the marker";
  quarn::test::clear_settings();
}

}  // namespace
