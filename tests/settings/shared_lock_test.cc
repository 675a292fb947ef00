// The three plug-ins, loaded separately with RTLD_LOCAL as the server loads
// them, serialise their environment access on one lock object. This program
// links no copy of the frame, so every lock it sees is a plug-in's.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "images.h"
#include "test_util.h"
#include "udf_call.h"
#include "working_dir.h"

namespace {

using namespace std::chrono_literals;
using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::StderrCapture;
using quarn::test::TempDir;
using quarn::test::WorkingDir;

const char* const kLockSymbol = quarn::test::kEnvLockSymbol;

bool built(const std::string& name) {
  return quarn::test::file_exists(quarn::test::plugin_path(name));
}

// The plug-ins of this tree; velmar joins when it is built.
std::vector<std::string> built_plugins() {
  std::vector<std::string> names = {"ostrel", "tarvik"};
  if (built("velmar")) names.push_back("velmar");
  return names;
}

// A call on its own thread, with a flag that tells whether it has returned.
class Pending {
 public:
  explicit Pending(std::function<void()> call)
      : thread_([this, call = std::move(call)] {
          tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
          call();
          done_ = true;
        }) {}
  ~Pending() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_; }
  // Whether the call went to sleep on a lock before it returned.
  bool blocks() const {
    const auto deadline = std::chrono::steady_clock::now() + kBlockLimit;
    while (tid_ == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return tid_ != 0 && quarn::test::wait_until_blocked(tid_, kBlockLimit) && !done_;
  }
  void wait() { thread_.join(); }

 private:
  static constexpr auto kBlockLimit = 10s;
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class SharedLock : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& name : built_plugins()) plugins_.push_back(std::make_unique<Plugin>(name));
  }
  Plugin& plugin(const std::string& name) {
    const auto names = built_plugins();
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return *plugins_[i];
    throw std::logic_error("not built: " + name);
  }
  std::vector<std::unique_ptr<Plugin>> plugins_;
};

TEST_F(SharedLock, EveryPluginResolvesTheLockToOneAddress) {
  ASSERT_GE(plugins_.size(), 2u);
  const void* first = plugins_[0]->symbol(kLockSymbol);
  for (const auto& plugin : plugins_) EXPECT_EQ(plugin->symbol(kLockSymbol), first);
  if (!built("velmar")) std::printf("velmar.so not built: checked ostrel and tarvik only\n");
}

// The write lock taken through one plug-in's symbol holds up the environment
// reads of every other plug-in until it is released.
TEST_F(SharedLock, AWriterInOnePluginBlocksTheReadersOfTheOthers) {
  const std::string png = quarn::test::encode_image(8, 6, quarn::test::ImageFormat::kPng);
  ASSERT_FALSE(png.empty());
  for (const auto& owner : built_plugins()) {
    SCOPED_TRACE("lock taken through " + owner);
    TempDir images;
    ::setenv("UDF_IMAGEDIR", "/nonexistent-before", 1);
    ::unsetenv("UDF_SMTPHOST");
    ::setenv("QUARN_LOCK_PROBE", "before", 1);

    auto* lock = static_cast<pthread_rwlock_t*>(plugin(owner).symbol(kLockSymbol));
    ASSERT_EQ(pthread_rwlock_wrlock(lock), 0);

    quarn::test::StringOutcome got{}, thumb{}, mail{};
    std::vector<std::unique_ptr<Pending>> calls;
    Function getenvvar(plugin("ostrel"), "udf_getenvvar");
    Function tarvik(plugin("tarvik"), "tarvik");
    calls.push_back(std::make_unique<Pending>([&] {
      Args args;
      args.text("QUARN_LOCK_PROBE");
      got = getenvvar.call_string(args);
    }));
    calls.push_back(std::make_unique<Pending>([&] {
      Args args;
      args.text(png).text("probe.png").integer(4).integer(4);
      thumb = tarvik.call_string(args);
    }));
    std::unique_ptr<StderrCapture> mail_log;
    if (built("velmar")) {
      mail_log = std::make_unique<StderrCapture>();
      Function velmar(plugin("velmar"), "velmar");
      calls.push_back(std::make_unique<Pending>([&, velmar] {
        Args args;
        args.text("to@example.org").text("from@example.org").text("s").text("b");
        mail = velmar.call_string(args);
      }));
    }
    for (std::size_t i = 0; i < calls.size(); ++i)
      EXPECT_TRUE(calls[i]->blocks()) << "call " << i << " read the environment past the lock";
    // As the writer we may change the environment; the waiting readers must
    // see only what stands after the release.
    ::setenv("QUARN_LOCK_PROBE", "after", 1);
    ::setenv("UDF_IMAGEDIR", images.path().c_str(), 1);

    ASSERT_EQ(pthread_rwlock_unlock(lock), 0);
    for (auto& call : calls) call->wait();
    EXPECT_EQ(got.text, "after");
    EXPECT_EQ(thumb.text, "File written as " + images.path() + "/probe.png.jpg");
    EXPECT_TRUE(quarn::test::file_exists(images.file("probe.png.jpg")));
    if (built("velmar")) {
      EXPECT_EQ(mail.text, "Error: SMTP Server Not Specified");
    }
  }
  ::unsetenv("QUARN_LOCK_PROBE");
  ::unsetenv("UDF_IMAGEDIR");
}

// Readers share the lock; udf_loadini, a writer, waits for them.
TEST_F(SharedLock, ALoadWaitsForReadersOfAnotherPlugin) {
  WorkingDir cwd;
  cwd.write_settings("[email]\nsmtp-host = loaded\n");
  ::unsetenv("UDF_ERRORLOG");
  ::setenv("UDF_SMTPHOST", "old", 1);
  auto* lock = static_cast<pthread_rwlock_t*>(plugin("tarvik").symbol(kLockSymbol));
  ASSERT_EQ(pthread_rwlock_rdlock(lock), 0);

  Function getenvvar(plugin("ostrel"), "udf_getenvvar");
  Args name;
  name.text("UDF_SMTPHOST");
  EXPECT_EQ(getenvvar.call_string(name).text, "old") << "a second reader is let in";

  Function loadini(plugin("ostrel"), "udf_loadini");
  bool is_null = false, error = false;
  Pending load([&] {
    Args args;
    args.integer(1);
    loadini.call_int(args, &is_null, &error);
  });
  EXPECT_TRUE(load.blocks()) << "udf_loadini wrote while another plug-in was reading";
  EXPECT_STREQ(std::getenv("UDF_SMTPHOST"), "old");
  ASSERT_EQ(pthread_rwlock_unlock(lock), 0);
  load.wait();
  EXPECT_TRUE(is_null);
  EXPECT_FALSE(error);
  EXPECT_STREQ(std::getenv("UDF_SMTPHOST"), "loaded");
  quarn::test::clear_settings();
}

// The loader makes the library that first defines a unique symbol
// undeletable, so the lock never goes away under the plug-ins that bound to
// it; those others unload as usual. Run in a fresh process, where the load
// order is this test's own.
int first_definer_stays_loaded() {
  const std::string first = quarn::test::plugin_path("tarvik");
  const std::string later = quarn::test::plugin_path("ostrel");
  void* handle = dlopen(first.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return 10;
  const void* lock = dlsym(handle, kLockSymbol);
  dlclose(handle);
  handle = dlopen(first.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return 11;  // the first definer was unloaded

  void* other = dlopen(later.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (other == nullptr) return 12;
  if (dlsym(other, kLockSymbol) != lock) return 13;
  dlclose(other);
  if (dlopen(later.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD) != nullptr) return 14;
  other = dlopen(later.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (other == nullptr || dlsym(other, kLockSymbol) != lock) return 15;
  return 0;
}

TEST(PluginLifetime, TheFirstPluginLoadedStaysTheOthersUnload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(first_definer_stays_loaded()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
