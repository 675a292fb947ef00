// Exhausted memory inside an entry point must not unwind into the server.
// This program replaces the global allocator, which the dlopen'ed plug-in
// binds to as well, so one allocation can be made to fail on request.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "images.h"
#include "smtp_peer.h"
#include "test_util.h"
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
// velmar_init's nothrow new fails with the others, and its block is freed
// by the delete below.
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
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

// What an entry point gave: the init message or the result text, and the
// flags (for init, flag is the refusal).
struct Given {
  Given(std::string text = "", bool flag = false, bool is_null = false)
      : text(std::move(text)), flag(flag), is_null(is_null) {}
  std::string text;
  bool flag;
  bool is_null;
  bool operator==(const Given& other) const {
    return text == other.text && flag == other.flag && is_null == other.is_null;
  }
};

std::ostream& operator<<(std::ostream& out, const Given& given) {
  return out << "\"" << given.text << "\" flag " << given.flag << " null " << given.is_null;
}

// Calls `entry` with the n-th allocation made meanwhile failing; true when
// it made that many.
template <class Entry>
bool failing_nth(int n, Entry entry) {
  failing_allocation = n;
  entry();
  const bool reached = failing_allocation == 0;
  failing_allocation = 0;
  return reached;
}

struct EntryCase {
  const char* name;
  // One call with the n-th allocation failing; true when it was reached.
  std::function<bool(int n, Given* given)> call;
  Given success;                     // with every allocation made
  std::vector<Given> failures = {};  // with one failed (besides success)
};

// Every entry point, the log line included, turns a failed allocation into
// its failure result or (where it can do without) its usual one; nothing
// unwinds into the server.
TEST(AllocationFailure, EveryEntryPointGivesAFailureResultNeverAnException) {
  using quarn::test::InitFn;
  using quarn::test::StringFn;
  using quarn::test::DeinitFn;
  const quarn::test::TempDir images;
  quarn::test::ScriptedSmtpServer smtp("ab", "secret");
  Plugin tarvik("tarvik"), velmar("velmar"), ostrel("ostrel");
  const std::string png = quarn::test::encode_image(8, 6, quarn::test::ImageFormat::kPng);
  const auto set_mail = [&](bool with_host) {
    quarn::test::clear_settings();
    if (with_host) ::setenv("UDF_SMTPHOST", "127.0.0.1", 1);
    ::setenv("UDF_SMTPUSER", "ab", 1);
    ::setenv("UDF_SMTPPASSWORD", "secret", 1);
    ::setenv("UDF_SMTPPORT", std::to_string(smtp.port()).c_str(), 1);
    ::setenv("UDF_SMTPHELO", "client.example.test", 1);
  };
  // init, main with the n-th allocation failing in `failing`, deinit.
  const auto string_call = [](const Plugin& plugin, const char* name, Args args,
                              const char* failing) {
    return [&plugin, name, args, failing](int n, Given* given) mutable {
      UDF_ARGS* record = args.get();
      UDF_INIT initid{};
      char message[512] = "";
      char result[256] = "";
      unsigned long length = 0;
      char is_null = 0, error = 0;
      const std::string fn = name;
      auto* init = plugin.function<InitFn>((fn + "_init").c_str());
      auto* main = plugin.function<StringFn>(name);
      auto* deinit = plugin.function<DeinitFn>((fn + "_deinit").c_str());
      bool reached = false;
      const std::string which = failing;
      if (which == "init") {
        reached = failing_nth(n, [&] { given->flag = init(&initid, record, message); });
        given->text = message;
        if (!given->flag) deinit(&initid);
        return reached;
      }
      if (init(&initid, record, message)) throw std::logic_error(message);
      if (which == "main")
        reached = failing_nth(n, [&] { main(&initid, record, result, &length, &is_null, &error); });
      else
        main(&initid, record, result, &length, &is_null, &error);
      given->text.assign(result, length);
      given->flag = error;
      given->is_null = is_null;
      if (which == "deinit")
        reached = failing_nth(n, [&] { deinit(&initid); });
      else
        deinit(&initid);
      return reached;
    };
  };
  Args thumbnail;
  thumbnail.text(png).text("a.png").integer(4).integer(4);
  Args no_name;
  no_name.text(png).text("").integer(4).integer(4);
  Args mail;
  mail.text("to@example.test").text("from@example.test").text("Hello").text("Body");
  Args name;
  name.text("UDF_IMAGEDIR");
  const Given accepted;
  const Given exception("", true, true);
  const Given sent("OK");
  const Given mail_exception("An exception was thrown.", true, true);
  const Given send_error("There was an error sending the message.");
  const EntryCase cases[] = {
      {"tarvik_init", string_call(tarvik, "tarvik", thumbnail, "init"), accepted},
      {"tarvik", string_call(tarvik, "tarvik", thumbnail, "main"),
       Given("File written as " + images.file("a.png.jpg")), {exception}},
      {"tarvik, logged failure", string_call(tarvik, "tarvik", no_name, "main"),
       Given("Error: No file name for the thumbnail."), {exception}},
      {"velmar_init", string_call(velmar, "velmar", mail, "init"), accepted},
      {"velmar", string_call(velmar, "velmar", mail, "main"), sent, {mail_exception, send_error}},
      {"velmar_deinit", string_call(velmar, "velmar", mail, "deinit"), sent},
      {"velmar, logged failure", string_call(velmar, "velmar", mail, "main"),
       Given("Error: SMTP Server Not Specified"), {mail_exception}},
      {"udf_loadini_init", string_call(ostrel, "udf_loadini", Args(), "init"), accepted},
      {"udf_getenvvar_init", string_call(ostrel, "udf_getenvvar", name, "init"), accepted},
  };
  const quarn::test::StderrCapture log;
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    set_mail(std::string(c.name) != "velmar, logged failure");
    ::setenv("UDF_IMAGEDIR", images.path().c_str(), 1);
    int failed = 0;
    for (int n = 1;; ++n) {
      Given given;
      bool reached = false;
      try {
        reached = c.call(n, &given);
      } catch (const std::bad_alloc&) {
        failing_allocation = 0;
        ADD_FAILURE() << "allocation " << n << ": an exception left the entry point";
        break;
      }
      if (!reached) {
        EXPECT_EQ(given, c.success);
        break;
      }
      ++failed;
      const bool allowed = given == c.success ||
                           std::find(c.failures.begin(), c.failures.end(), given) != c.failures.end();
      EXPECT_TRUE(allowed) << "allocation " << n << ": " << given;
    }
    std::printf("%s: %d allocations failed in turn\n", c.name, failed);
  }
  quarn::test::clear_settings();
  ::unsetenv("UDF_IMAGEDIR");
}

}  // namespace
