// udf_loadini(TRUE) rewriting the settings again and again while other
// threads read them through the plug-ins, as a busy server would, or
// through the C library as the server itself does. Run under the
// sanitizers by scripts/sanitize.sh.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "images.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"
#include "working_dir.h"

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;

constexpr auto kRunFor = std::chrono::seconds(3);
constexpr int kLoaders = 2;
constexpr int kLookups = 2;

// Version n of the settings file. Odd versions leave the user out, which
// removes UDF_SMTPUSER, so readers also meet a variable coming and going.
std::string settings_file(const std::string& base, int n) {
  std::string text = "[thumbnail]\nimage-directory = " + base + "/dir" + std::to_string(n % 3) +
                     "\n[email]\nsmtp-host = 127.0.0.1\nsmtp-password = pw" +
                     std::to_string(n) + "\nsmtp-port = " + std::to_string(1000 + n % 1000) +
                     "\n[general]\nerror-log = log" + std::to_string(n) + "\n";
  if (n % 2 == 0) text += "[email]\nsmtp-user = user" + std::to_string(n) + "\n";
  return text;
}

// prefix followed by one or more decimal digits and nothing else.
bool digits_after(const std::string& text, const std::string& prefix) {
  if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0) return false;
  for (std::size_t i = prefix.size(); i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

bool one_of_the_directories(const std::string& text, const std::string& base) {
  return text == base + "/dir0" || text == base + "/dir1" || text == base + "/dir2";
}

TEST(SettingsStress, LoadsRaceWithReadersOfAllPlugins) {
  quarn::test::clear_settings();
  quarn::test::WorkingDir cwd;
  for (int d = 0; d < 3; ++d)
    ASSERT_EQ(::mkdir(cwd.file("dir" + std::to_string(d)).c_str(), 0700), 0);
  cwd.write_settings(settings_file(cwd.path(), 0));

  Plugin ostrel("ostrel");
  Plugin tarvik_plugin("tarvik");
  const bool with_mail = quarn::test::file_exists(quarn::test::plugin_path("velmar"));
  std::unique_ptr<Plugin> velmar_plugin;
  if (with_mail) velmar_plugin = std::make_unique<Plugin>("velmar");
  const Function loadini(ostrel, "udf_loadini");
  const Function getenvvar(ostrel, "udf_getenvvar");
  const Function tarvik(tarvik_plugin, "tarvik");
  const std::string png = quarn::test::encode_image(6, 4, quarn::test::ImageFormat::kPng);
  ASSERT_FALSE(png.empty());

  // What a reader may see of each variable at any moment.
  const std::string base = cwd.path();
  using Check = std::function<bool(const std::string&)>;
  const std::vector<std::pair<std::string, Check>> allowed = {
      {"UDF_IMAGEDIR", [&](const std::string& v) { return one_of_the_directories(v, base); }},
      {"UDF_SMTPHOST", [](const std::string& v) { return v == "127.0.0.1"; }},
      {"UDF_SMTPUSER",
       [](const std::string& v) { return digits_after(v, "user") && (v.back() - '0') % 2 == 0; }},
      // Only ever shown masked.
      {"UDF_SMTPPASSWORD", [](const std::string& v) { return v == "********"; }},
      {"UDF_SMTPPORT",
       [](const std::string& v) { return digits_after(v, "1") && v.size() == 4; }},
      {"UDF_ERRORLOG", [](const std::string& v) { return digits_after(v, "log"); }}};
  const auto thumbnail_written = [&](const std::string& text) {
    const std::string prefix = "File written as ";
    const std::string suffix = ".png.jpg";
    if (text.size() < prefix.size() + suffix.size() + 2 || text.compare(0, prefix.size(), prefix) ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix))
      return false;
    const std::string path = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    const auto slash = path.rfind('/');
    return slash != std::string::npos && one_of_the_directories(path.substr(0, slash), base) &&
           digits_after(path.substr(slash + 1), "t");
  };

  // Published once before the readers start, so nothing may be missing.
  {
    Args args;
    bool is_null = false, error = false;
    loadini.call_int(args, &is_null, &error);
    ASSERT_FALSE(error);
  }

  std::atomic<bool> stop{false};
  std::atomic<int> loads{0}, refused{0}, lookups{0}, thumbnails{0}, mails{0}, bad{0};
  std::atomic<int> next_version{1};
  std::vector<std::thread> threads;

  for (int t = 0; t < kLoaders; ++t) {
    threads.emplace_back([&, t] {
      while (!stop) {
        cwd.write_settings(settings_file(cwd.path(), next_version++), std::to_string(t));
        Args args;
        args.integer(1);
        bool is_null = false, error = false;
        loadini.call_int(args, &is_null, &error);
        // The error flag alone: the other loader renamed its file into
        // place while this one read, and nothing was published.
        if (error && !is_null) ++refused;
        else if (!is_null || error) ++bad;
        ++loads;
      }
    });
  }
  for (int t = 0; t < kLookups; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        for (const auto& [name, pattern] : allowed) {
          Args args;
          args.text(name);
          const auto got = getenvvar.call_string(args);
          const bool may_be_unset = name == "UDF_SMTPUSER";
          if (got.error || (got.is_null && !may_be_unset) ||
              (!got.is_null && !pattern(got.text))) {
            ++bad;
            ADD_FAILURE() << name << " = " << (got.is_null ? "NULL" : got.text);
          }
          ++lookups;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      Args args;
      args.text(png).text("t" + std::to_string(i % 10) + ".png").integer(3).integer(3);
      const auto got = tarvik.call_string(args);
      if (!thumbnail_written(got.text)) {
        ++bad;
        ADD_FAILURE() << got.text;
      }
      ++thumbnails;
    }
  });
  std::unique_ptr<quarn::test::StderrCapture> mail_log;
  if (with_mail) {
    // An empty To address ends the call after all four settings are read
    // and before any connection is made; a moment without UDF_SMTPUSER ends
    // it earlier.
    mail_log = std::make_unique<quarn::test::StderrCapture>();
    const Function velmar(*velmar_plugin, "velmar");
    threads.emplace_back([&, velmar] {
      while (!stop) {
        Args args;
        args.text("").text("from@example.org").text("s").text("b");
        const auto got = velmar.call_string(args);
        if (got.text != "Error: No 'To' address specified." &&
            got.text != "Error: SMTP Server User Not Specified") {
          ++bad;
          ADD_FAILURE() << got.text;
        }
        ++mails;
      }
    });
  }

  std::this_thread::sleep_for(kRunFor);
  stop = true;
  for (auto& thread : threads) thread.join();

  std::printf("loads %d (%d refused), lookups %d, thumbnails %d, mails %d%s\n", loads.load(),
              refused.load(), lookups.load(), thumbnails.load(), mails.load(),
              with_mail ? "" : " (velmar.so not built)");
  EXPECT_EQ(bad, 0);
  EXPECT_GT(loads, 10);
  EXPECT_GT(lookups, 10);
  EXPECT_GT(thumbnails, 0);
  quarn::test::clear_settings();
}

// Two settings files name two SMTP servers with credentials of their own;
// one thread loads them by turns while others send mail. Every call takes
// all its settings from one file: no server ever receives the other's user
// or password.
TEST(SettingsStress, AReloadStormNeverMixesTwoFiles) {
  if (!quarn::test::file_exists(quarn::test::plugin_path("velmar")))
    GTEST_SKIP() << "velmar.so not built";
  quarn::test::clear_settings();
  quarn::test::WorkingDir cwd;
  const char* const kNames[] = {"a", "b"};
  std::vector<std::unique_ptr<quarn::test::ScriptedSmtpServer>> servers;
  std::vector<std::string> files;
  for (const char* name : kNames) {
    servers.push_back(std::make_unique<quarn::test::ScriptedSmtpServer>(
        std::string("user-") + name, std::string("password-") + name));
    // Without the pauses a server makes to catch a client that runs ahead:
    // more calls, more chances to meet a reload.
    servers.back()->behave(R"({"pipelining": true})");
    files.push_back("[email]\nsmtp-host = 127.0.0.1\nsmtp-user = user-" + std::string(name) +
                    "\nsmtp-password = password-" + name +
                    "\nsmtp-port = " + std::to_string(servers.back()->port()) + "\n");
  }
  cwd.write_settings(files[0]);
  Plugin ostrel("ostrel"), velmar_plugin("velmar");
  const Function loadini(ostrel, "udf_loadini"), velmar(velmar_plugin, "velmar");
  const quarn::test::StderrCapture mail_log;
  const auto load = [&] {
    Args args;
    args.integer(1);
    bool is_null = false, error = false;
    loadini.call_int(args, &is_null, &error);
    return !error;
  };
  ASSERT_TRUE(load());

  std::atomic<bool> stop{false};
  std::atomic<int> loads{0}, sent{0};
  std::vector<std::string> failures;
  std::mutex failures_lock;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 1; !stop; ++i) {
      cwd.write_settings(files[i % 2]);
      if (load()) ++loads;
    }
  });
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        Args args;
        args.text("to@example.test").text("from@example.test").text("s").text("b");
        const auto got = velmar.call_string(args);
        if (got.text == "OK") {
          ++sent;
        } else {
          std::lock_guard<std::mutex> guard(failures_lock);
          failures.push_back(got.text);
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  stop = true;
  for (auto& thread : threads) thread.join();

  // AUTH LOGIN sends each in base64: "user-a", "user-b", "password-a",
  // "password-b".
  const std::pair<std::string, std::string> kOnWire[] = {
      {"user-a", "dXNlci1h"}, {"user-b", "dXNlci1i"},
      {"password-a", "cGFzc3dvcmQtYQ=="}, {"password-b", "cGFzc3dvcmQtYg=="}};
  std::map<std::string, int> pairs;  // "server: user/password" -> connections
  int messages = 0;
  for (std::size_t s = 0; s < servers.size(); ++s) {
    for (int n = servers[s]->accepted(); n > 0; --n) {
      const std::string wire = servers[s]->next_session().received;
      std::string pair = std::string(kNames[s]) + ":";
      for (const auto& [text, encoded] : kOnWire)
        if (wire.find("\r\n" + encoded + "\r\n") != std::string::npos) pair += " " + text;
      ++pairs[pair];
    }
    messages += static_cast<int>(servers[s]->messages().size());
  }
  std::string tally;
  for (const auto& [pair, count] : pairs) tally += "  " + pair + ": " + std::to_string(count) + "\n";
  std::printf("loads %d, messages sent %d, connections per server and credentials:\n%s",
              loads.load(), sent.load(), tally.c_str());
  EXPECT_EQ(pairs.size(), 2u) << tally;
  EXPECT_GT(pairs["a: user-a password-a"], 0) << tally;
  EXPECT_GT(pairs["b: user-b password-b"], 0) << tally;
  EXPECT_TRUE(failures.empty()) << failures.size() << " calls failed, the first: " << failures[0];
  EXPECT_EQ(messages, sent.load()) << "every OK is a message stored, and nothing else";
  EXPECT_GT(loads, 10);
  quarn::test::clear_settings();
}

// The server and the C library read the environment without any lock of
// ours (getenv, walks of environ): a reload must never free, grow or shift
// an array under them. Two files in turn, one adding five variables.
TEST(SettingsStress, ReloadsNeverMoveTheEnvironmentUnderUnlockedReaders) {
  quarn::test::clear_settings();
  const quarn::test::TempDir full, host_only;
  quarn::test::write_file(full.file("quarn_udf.ini"),
                          "[thumbnail]\nimage-directory = /srv\n[email]\nsmtp-host = a.example\n"
                          "smtp-user = u\nsmtp-password = p\nsmtp-ca-file = /c\nsmtp-helo = h\n");
  quarn::test::write_file(host_only.file("quarn_udf.ini"), "[email]\nsmtp-host = b.example\n");
  const quarn::test::WorkingDir restore_cwd;
  ::setenv("QUARN_RELOAD_PROBE", "probe", 1);
  Plugin ostrel("ostrel");
  const Function loadini(ostrel, "udf_loadini");
  const auto load = [&](int i) {
    bool is_null = false, error = false;
    Args args;
    return ::chdir((i % 2 ? host_only : full).path().c_str()) == 0 &&
           (loadini.call_int(args.integer(1), &is_null, &error), is_null && !error);
  };
  ASSERT_TRUE(load(1));  // the readers never meet an environment without the settings

  std::atomic<bool> stop{false};
  std::atomic<long> bad{0};
  // ThreadSanitizer sees neither getenv's load of environ (libc is not
  // instrumented) nor the grace period: an acquire stands in for the one,
  // the rounds released to the loader, which frees, for the other.
  std::atomic<long> rounds{0};
  const auto is = [](const char* value, const char* expected) {
    return value != nullptr && std::strcmp(value, expected) == 0;
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      for (; !stop; rounds.fetch_add(1, std::memory_order_release)) {
        if (t == 0) {  // a walk: one host always, the user only with file a's host
          int hosts = 0, users = 0, full_hosts = 0;
          for (char** entry = __atomic_load_n(&environ, __ATOMIC_ACQUIRE); *entry; ++entry) {
            hosts += std::strncmp(*entry, "UDF_SMTPHOST=", 13) == 0;
            full_hosts += is(*entry, "UDF_SMTPHOST=a.example");
            users += std::strncmp(*entry, "UDF_SMTPUSER=", 13) == 0;
          }
          bad += hosts != 1 || users != full_hosts;
          continue;
        }
        const char* host = std::getenv("UDF_SMTPHOST");
        (void)__atomic_load_n(&environ, __ATOMIC_ACQUIRE);
        bad += !is(std::getenv("QUARN_RELOAD_PROBE"), "probe") ||
               !(is(host, "a.example") || is(host, "b.example"));
      }
    });
  }
  int published = 0;
  for (int i = 0; i < 20000; ++i) published += (rounds.load(std::memory_order_acquire), load(i));
  stop = true;
  for (auto& reader : readers) reader.join();
  std::printf("reloads %d, reader rounds %ld\n", published, rounds.load());
  EXPECT_EQ(published, 20000);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(rounds, 0);
  ::unsetenv("QUARN_RELOAD_PROBE");
  quarn::test::clear_settings();
}

}  // namespace
