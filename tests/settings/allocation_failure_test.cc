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
// The allocation that fails, counted from now (1: the next); 0: none.
std::atomic<int> failing_allocation{0};
}  // namespace

// Kept out of line: inlined next to a new-expression, free() looks like a
// mismatched release to the compiler.
__attribute__((noinline)) void* operator new(std::size_t size) {
  if (failing_allocation > 0 && --failing_allocation == 0) throw std::bad_alloc();
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
  failing_allocation = 1;
  char* returned = getenvvar(&initid, record, result, &length, &is_null, &error);
  ASSERT_EQ(failing_allocation, 0) << "no allocation was made";
  EXPECT_EQ(returned, result);
  EXPECT_EQ(is_null, 1);
  EXPECT_EQ(error, 1);
  EXPECT_EQ(length, 0u);
  ::unsetenv(name.c_str());
}

// Whichever allocation fails, parsing included (inside inih's C code, which
// no exception may cross), the load fails whole.
TEST(AllocationFailure, LoadiniGivesNullWithTheErrorFlag) {
  quarn::test::clear_settings();
  quarn::test::WorkingDir cwd;
  cwd.write_settings("[email]\nsmtp-host = h\nsmtp-user = a user name longer than short strings\n");
  Plugin ostrel("ostrel");
  auto* loadini = ostrel.function<quarn::test::IntFn>("udf_loadini");
  Args args;
  UDF_ARGS* record = args.get();
  UDF_INIT initid{};
  int failed_calls = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    char is_null = 0, error = 0;
    failing_allocation = n;
    EXPECT_EQ(loadini(&initid, record, &is_null, &error), 0);
    if (failing_allocation > 0) {  // made fewer than n allocations: done
      failing_allocation = 0;
      EXPECT_EQ(error, 0);
      EXPECT_STREQ(std::getenv("UDF_SMTPHOST"), "h");
      break;
    }
    ++failed_calls;
    EXPECT_EQ(error, 1);
    EXPECT_EQ(std::getenv("UDF_ERRORLOG"), nullptr) << "a failed load never sets the marker";
    EXPECT_EQ(std::getenv("UDF_SMTPHOST"), nullptr) << "nor anything else";
  }
  EXPECT_GT(failed_calls, 10);
  quarn::test::clear_settings();
}

}  // namespace
