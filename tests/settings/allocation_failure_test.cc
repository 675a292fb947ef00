// Exhausted memory inside an entry point must not unwind into the server.
// This program replaces the global allocator, which the dlopen'ed plug-in
// binds to as well, so one allocation can be made to fail on request.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "images.h"
#include "replaced_allocator.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"
#include "working_dir.h"

namespace {
// The allocation that fails, counted from now (1: the next); 0: none.
std::atomic<int> failing_allocation{0};
}  // namespace

// velmar_init's nothrow new fails with the others.
bool replaced_allocator::fail_now() { return failing_allocation > 0 && --failing_allocation == 0; }
void replaced_allocator::count(long long) {}

namespace {

using quarn::test::Args;
using quarn::test::Plugin;

TEST(AllocationFailure, GetenvvarGivesNullWithTheErrorFlag) {
  Plugin ostrel("ostrel");
  auto* getenvvar = ostrel.function<quarn::test::StringFn>("udf_getenvvar");
  // Longer than any short-string buffer: making the name allocates.
  const std::string name = "QUARN_A_NAME_TOO_LONG_FOR_SHORT_STRINGS";
  ::setenv(name.c_str(), "v", 1);
  ::setenv("UDF_GETENVVARNAMES", name.c_str(), 1);
  ::setenv("UDF_ERRORLOG", "loaded", 1);
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
  quarn::test::clear_settings();
}

// Whichever allocation fails, parsing included (inside inih's C code, which
// no exception may cross), the load fails whole; after the publishing only
// a log line can be lost.
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
    if (!error) {
      EXPECT_STREQ(std::getenv("UDF_SMTPHOST"), "h") << "a lost line, the load whole";
      quarn::test::clear_settings();
      continue;
    }
    ++failed_calls;
    EXPECT_EQ(std::getenv("UDF_ERRORLOG"), nullptr) << "a failed load never sets the marker";
    EXPECT_EQ(std::getenv("UDF_SMTPHOST"), nullptr) << "nor anything else";
  }
  EXPECT_GT(failed_calls, 10);
  quarn::test::clear_settings();
}

enum class Step { kInit, kMain, kDeinit };

struct EntryCase {
  const char* name;
  const Plugin& plugin;
  const char* function;
  Args args;
  Step failing;                            // the entry point whose allocations fail
  std::string success;                     // what it gives with all its memory
  std::vector<std::string> failures = {};  // or with one allocation failed
};

// init, main and deinit, the n-th allocation of one failing: whether that
// many were made, and what init or main gave ("[refused]", "[null]" or
// "[error]" after the text).
std::pair<bool, std::string> call_failing(EntryCase& c, int n) {
  const std::string fn = c.function;
  UDF_ARGS* record = c.args.get();
  UDF_INIT initid{};
  char message[512] = "", result[256] = "", is_null = 0, error = 0;
  unsigned long length = 0;
  std::string value;  // the main entry's, from the result buffer or its own memory
  // Looked up first: a longer name takes an allocation of the test's own.
  auto* init = c.plugin.function<quarn::test::InitFn>((fn + "_init").c_str());
  auto* deinit = c.plugin.function<quarn::test::DeinitFn>((fn + "_deinit").c_str());
  failing_allocation = c.failing == Step::kInit ? n : 0;
  const bool refused = init(&initid, record, message);
  if (!refused) {
    if (c.failing == Step::kMain) failing_allocation = n;
    const char* returned = c.plugin.function<quarn::test::StringFn>(c.function)(
        &initid, record, result, &length, &is_null, &error);
    const int armed = failing_allocation.exchange(0);  // the copy is the test's
    value.assign(returned != nullptr && returned != result && !is_null ? returned : result, length);
    failing_allocation = armed;
    if (c.failing == Step::kDeinit) failing_allocation = n;
    deinit(&initid);
  }
  const bool reached = failing_allocation == 0;
  failing_allocation = 0;
  if (c.failing == Step::kInit) return {reached, message + std::string(refused ? " [refused]" : "")};
  return {reached, value + (is_null ? " [null]" : "") + (error ? " [error]" : "")};
}

// Every other entry point that allocates (the inits of tarvik and velmar
// their statement's state), the log line included, turns a failed
// allocation into its failure result or, where it can do without the
// memory, its usual one.
TEST(AllocationFailure, EveryEntryPointGivesAFailureResultNeverAnException) {
  const quarn::test::TempDir images;
  quarn::test::ScriptedSmtpServer smtp("ab", "secret");
  Plugin tarvik("tarvik"), velmar("velmar");
  const std::string png = quarn::test::encode_image(8, 6, quarn::test::ImageFormat::kPng);
  const Args thumbnail = std::move(Args().text(png).text("a.png").integer(4).integer(4));
  const Args mail = std::move(Args().text("to@x.test").text("from@x.test").text("s").text("b"));
  const std::string thrown = "An exception was thrown. [null] [error]";
  const Args jpeg_args = std::move(Args().text(png).integer(4).integer(4));
  Args first = jpeg_args;
  ::setenv("UDF_ERRORLOG", "loaded", 1);  // settings published: no file looked for
  const std::string jpeg = quarn::test::Function(tarvik, "tarvik_jpeg").call_string(first).text;
  EntryCase cases[] = {
      {"tarvik_jpeg_init", tarvik, "tarvik_jpeg", jpeg_args, Step::kInit, "",
       {"TARVIK_JPEG() could not start: out of memory. [refused]"}},
      {"tarvik_jpeg", tarvik, "tarvik_jpeg", jpeg_args, Step::kMain, jpeg, {" [null] [error]"}},
      {"tarvik_init", tarvik, "tarvik", thumbnail, Step::kInit, ""},
      {"tarvik", tarvik, "tarvik", thumbnail, Step::kMain,
       "File written as " + images.file("a.png.jpg"), {" [null] [error]"}},
      {"velmar_init", velmar, "velmar", mail, Step::kInit, ""},
      {"velmar", velmar, "velmar", mail, Step::kMain, "OK",
       {thrown, "There was an error sending the message."}},
      {"velmar_deinit", velmar, "velmar", mail, Step::kDeinit, "OK"},
      {"velmar logs", velmar, "velmar", mail, Step::kMain, "Error: SMTP Server Not Specified",
       {thrown}},
  };
  const quarn::test::StderrCapture log;
  for (EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    quarn::test::clear_settings();
    ::setenv("UDF_IMAGEDIR", images.path().c_str(), 1);
    if (std::string(c.name) != "velmar logs") ::setenv("UDF_SMTPHOST", "127.0.0.1", 1);
    ::setenv("UDF_SMTPUSER", "ab", 1);
    ::setenv("UDF_SMTPPASSWORD", "secret", 1);
    ::setenv("UDF_SMTPPORT", std::to_string(smtp.port()).c_str(), 1);
    ::setenv("UDF_ERRORLOG", "loaded", 1);
    for (int n = 1;; ++n) {
      std::pair<bool, std::string> given;
      try {
        given = call_failing(c, n);
      } catch (...) {
        failing_allocation = 0;
        ADD_FAILURE() << "allocation " << n << ": an exception left the entry point";
        break;
      }
      const auto& [reached, text] = given;
      if (!reached) {
        EXPECT_EQ(text, c.success);
        break;
      }
      EXPECT_TRUE(text == c.success || std::count(c.failures.begin(), c.failures.end(), text))
          << "allocation " << n << ": " << text;
    }
  }
  quarn::test::clear_settings();
  ::unsetenv("UDF_IMAGEDIR");
}

}  // namespace
