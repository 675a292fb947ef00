// Eight threads mixing the functions in-process, as a busy server would:
// thumbnails of valid and invalid BLOBs, mails to a real SMTP sink and to a
// closed port, reloads of a changing settings file, and lookups. Every result
// must be one of the promised texts with consistent length and flags, every
// failure must reach standard error once, every "OK" must arrive at the sink,
// and nothing may be written outside the thumbnail directories. Run under the
// sanitizers by scripts/sanitize.sh. QUARN_STRESS_SECONDS lengthens the run.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "encoded_images.h"
#include "handmade_images.h"
#include "images.h"
#include "result_checks.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"
#include "working_dir.h"

namespace {

using namespace quarn::hardening;
using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::StringOutcome;

constexpr int kLookupLength = 300;

std::chrono::milliseconds run_time() {
  const char* seconds = std::getenv("QUARN_STRESS_SECONDS");
  const double value = seconds ? std::atof(seconds) : 0;
  return std::chrono::milliseconds(value > 0 ? static_cast<long>(value * 1000) : 4000);
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// What a thumbnail case promises.
enum class Expect { kWritten, kRefused, kLoadFailure, kNoMaximum };

struct ThumbCase {
  std::string name;
  std::optional<std::string> image;  // nullopt: SQL NULL
  Expect expect;
  unsigned width = 0, height = 0;    // of the thumbnail, for kWritten
};

// Everything one worker saw, merged after the run.
struct Seen {
  int calls = 0;
  std::map<std::string, int> log;      // pieces expected on standard error
  std::vector<std::string> problems;
  std::map<std::string, std::string> sent;  // subject -> stored data, for each "OK"
};

// Length, flags and buffer as promised for a non-NULL text.
void check_text(const StringOutcome& got, std::size_t cap, const std::string& what, Seen& seen) {
  if (!got.returned_result_buffer || got.is_null || got.error || got.length != got.text.size() ||
      got.length > cap)
    seen.problems.push_back(what + ": flags or length wrong for \"" + got.text + "\" length " +
                            std::to_string(got.length));
}

TEST(HardeningStress, EightThreadsMixAllFourFunctions) {
  quarn::test::clear_settings();
  quarn::test::WorkingDir cwd;
  const std::string base = cwd.path();
  const std::string dirs[3] = {base + "/dir0", base + "/dir1", base + "/missing"};
  ASSERT_EQ(::mkdir(dirs[0].c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(dirs[1].c_str(), 0700), 0);
  ::setenv("QUARN_STRESS_LONG", std::string(kLookupLength, 'v').c_str(), 1);

  quarn::test::ScriptedSmtpServer sink("mailer", "secret");
  quarn::test::DeadPort dead;
  const std::string ports[2] = {std::to_string(sink.port()), std::to_string(dead.port())};
  // Version n: the directory cycles through two real ones and a missing
  // one, the port between the sink and a closed port, and every fourth
  // version leaves the user out, which removes UDF_SMTPUSER.
  const auto settings = [&](int n) {
    std::string text = "[thumbnail]\nimage-directory = " + dirs[n % 3] +
                       "\n[email]\nsmtp-host = 127.0.0.1\nsmtp-password = secret\nsmtp-port = " +
                       ports[n % 2] + "\n[general]\nerror-log = log" + std::to_string(n) +
                       "\ngetenvvar-names = QUARN_STRESS_LONG\n";
    if (n % 4 != 3) text += "[email]\nsmtp-user = mailer\n";
    return text;
  };
  cwd.write_settings(settings(0));

  Plugin ostrel("ostrel"), tarvik_plugin("tarvik"), velmar_plugin("velmar");
  const Function loadini(ostrel, "udf_loadini"), getenvvar(ostrel, "udf_getenvvar");
  const Function settings_status(ostrel, "udf_settings");
  const Function tarvik(tarvik_plugin, "tarvik"), velmar(velmar_plugin, "velmar");
  {
    Args args;
    args.integer(1);
    bool is_null = false, error = false;
    loadini.call_int(args, &is_null, &error);
    ASSERT_TRUE(is_null && !error);
  }

  using quarn::test::ImageFormat;
  const std::string png = quarn::test::encode_image(40, 30, ImageFormat::kPng);
  const std::string jpeg = quarn::test::encode_image(30, 40, ImageFormat::kJpeg);
  ASSERT_FALSE(png.empty() || jpeg.empty());
  const std::vector<ThumbCase> thumbs = {
      {"png", png, Expect::kWritten, 20, 15},
      {"jpeg", jpeg, Expect::kWritten, 15, 20},
      {"gif", quarn::handmade::gif(16, 12), Expect::kWritten, 20, 15},
      // Decoded outside the image library: the two threads run these side by
      // side, libheif's decoder registry shared between them.
      {"webp", quarn::test::webp(quarn::test::Samples(40 * 30 * 3, 60), 40, 30, 3, true), Expect::kWritten, 20, 15},
      {"heic", quarn::test::heif(quarn::test::Samples(40 * 30 * 3, 60), 40, 30, 3, {}), Expect::kWritten, 20, 15},
      {"avif", quarn::test::heif(quarn::test::Samples(40 * 30 * 3, 60), 40, 30, 3, {quarn::test::HeifCodec::kAv1}),
       Expect::kWritten, 20, 15},
      // Display P3: both threads convert through one kept colour transform.
      {"heic_p3", quarn::test::heif(quarn::test::Samples(40 * 30 * 3, 90), 40, 30, 3, {quarn::test::HeifCodec::kHevc, 1, 0, 90, 12}),
       Expect::kWritten, 20, 15},
      {"text", std::string("not an image at all"), Expect::kLoadFailure},
      {"empty", std::string(), Expect::kLoadFailure},
      {"null", std::nullopt, Expect::kLoadFailure},
      {"truncated", png.substr(0, png.size() / 2), Expect::kLoadFailure},
      {"huge", quarn::handmade::png_header(40000, 40000, 8, 2) +
                   quarn::handmade::png_chunk("IEND", ""),
       Expect::kRefused},
      {"chunklen", quarn::handmade::png_with_flipped_length(0), Expect::kRefused},
      {"nomax", png, Expect::kNoMaximum},
  };

  std::atomic<bool> stop{false};
  std::atomic<int> version{1};
  constexpr int kThreads = 8;
  std::vector<Seen> seen(kThreads);
  std::vector<std::thread> threads;
  auto capture = std::make_unique<quarn::test::StderrCapture>();

  // 0-1: thumbnails.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      Seen& me = seen[t];
      for (int i = 0; !stop; ++i, ++me.calls) {
        const ThumbCase& c = thumbs[(i + t) % thumbs.size()];
        const std::string name = "t" + std::to_string(t) + "_" + c.name + ".png";
        Args args;
        if (c.image) args.text(*c.image); else args.null_text();
        args.text(name);
        if (c.expect == Expect::kNoMaximum) args.null_integer(); else args.integer(20);
        args.integer(-20);
        const StringOutcome got = tarvik.call_string(args);
        check_text(got, 253, name, me);
        bool ok = false;
        for (int d = 0; d < 3 && !ok; ++d) {
          const std::string path = dirs[d] + "/" + name + ".jpg";
          switch (c.expect) {
            case Expect::kWritten:
              ok = d < 2 ? got.text == written(path) : digits_after(got.text, save_failure(path));
              break;
            case Expect::kRefused: ok = got.text == load_failure(path) + "1287"; break;
            case Expect::kLoadFailure: ok = digits_after(got.text, load_failure(path)); break;
            case Expect::kNoMaximum: ok = got.text == no_maximum(path); break;
          }
        }
        if (!ok) me.problems.push_back(name + ": " + got.text);
        else if (got.text.rfind("File written", 0) != 0) ++me.log[got.text + "\n"];
      }
    });
  }
  // 2-3: mails, three of four meant to go out, one refused for its arguments.
  for (int t = 2; t < 4; ++t) {
    threads.emplace_back([&, t] {
      Seen& me = seen[t];
      const char* const refusals[][5] = {
          {nullptr, "f@x.test", "s", "b", "Error: No 'To' address specified."},
          {"", "f@x.test", "s", "b", "Error: No 'To' address specified."},
          {"t@x.test", nullptr, "s", "b", "Error: No 'From' address specified."},
          {"t@x.test\r\nRCPT TO:<e@x.test>", "f@x.test", "s", "b",
           "Error: 'To' address contains a line break."},
          {"t@x.test", "f@x.test\n", "s", "b", "Error: 'From' address contains a line break."},
          {"t@x.test", "f@x.test", "s\rBcc: e@x.test", "b", "Error: Subject contains a line break."},
      };
      for (int i = 0; !stop; ++i, ++me.calls) {
        Args args;
        const std::string subject = "m" + std::to_string(t) + "-" + std::to_string(i);
        std::string refused, data;
        if (i % 4 == 2) {
          const auto& r = refusals[(i / 4) % 6];
          for (int a = 0; a < 4; ++a) {
            if (r[a]) args.text(r[a]); else args.null_text();
          }
          refused = r[4];
        } else {
          const bool html = i % 4 == 0;
          const std::string body = i % 4 == 3 ? "" : "line " + subject + "\r\n.leading dot";
          args.text("to" + std::to_string(t) + "@example.test").text("db@example.test").text(subject);
          if (i % 4 == 3) args.null_text().null_integer(); else args.text(body).integer(html);
          data = quarn::test::velmar_header(subject, "db@example.test",
                                            "to" + std::to_string(t) + "@example.test",
                                            html || i % 4 == 3 ? "html" : "plain") +
                 "\r\n" + body + "\r\n";
        }
        const StringOutcome got = velmar.call_string(args);
        check_text(got, 254, subject, me);
        const std::string no_user = "Error: SMTP Server User Not Specified";
        if (got.text == no_user) {
          ++me.log[no_user + "\n"];
        } else if (!refused.empty() && got.text == refused) {
          ++me.log[refused + "\n"];
        } else if (refused.empty() && got.text == "OK") {
          me.sent[subject] = data;
        } else if (refused.empty() && got.text == "There was an error sending the message.") {
          ++me.log["127.0.0.1:" + ports[1] + ": Connection refused\n"];
        } else {
          me.problems.push_back(subject + ": " + got.text);
        }
      }
    });
  }
  // 4: rewrites the settings file and reloads it; 5: reloads with and
  // without the overwrite request. The file is always there: never an error,
  // except for 5 when 4 renamed a new file into place while 5 read the old.
  for (int t = 4; t < 6; ++t) {
    threads.emplace_back([&, t] {
      Seen& me = seen[t];
      for (int i = 0; !stop; ++i, ++me.calls) {
        if (t == 4) cwd.write_settings(settings(version++));
        Args args;
        if (t == 4 || i % 3 == 0) args.integer(1);
        else if (i % 3 == 1) args.null_integer();
        bool is_null = false, error = false;
        const long long value = loadini.call_int(args, &is_null, &error);
        const bool replaced_while_read = t == 5 && value == 0 && !is_null && error;
        if ((value != 0 || !is_null || error) && !replaced_while_read)
          me.problems.push_back("udf_loadini: " + std::to_string(value) + (is_null ? " null" : "") +
                                (error ? " error" : ""));
      }
    });
  }
  // 6-7: lookups; each value must be one that some version published.
  for (int t = 6; t < 8; ++t) {
    threads.emplace_back([&, t] {
      Seen& me = seen[t];
      using Check = bool (*)(const std::string&, const std::string* dirs, const std::string* ports);
      const std::vector<std::tuple<std::string, bool, Check>> names = {
          {"UDF_IMAGEDIR", false,
           [](const std::string& v, const std::string* d, const std::string*) {
             return v == d[0] || v == d[1] || v == d[2];
           }},
          {"UDF_SMTPHOST", false, [](const std::string& v, const std::string*, const std::string*) {
             return v == "127.0.0.1";
           }},
          {"UDF_SMTPUSER", true, [](const std::string& v, const std::string*, const std::string*) {
             return v == "mailer";
           }},
          {"UDF_SMTPPORT", false, [](const std::string& v, const std::string*, const std::string* p) {
             return v == p[0] || v == p[1];
           }},
          {"UDF_ERRORLOG", false, [](const std::string& v, const std::string*, const std::string*) {
             return digits_after(v, "log");
           }},
          {std::string("UDF_SMTPPASSWORD\0ignored", 24), false,
           [](const std::string& v, const std::string*, const std::string*) { return v == "********"; }},
          {"QUARN_STRESS_LONG", false, [](const std::string& v, const std::string*, const std::string*) {
             return v == std::string(254, 'v');
           }},
      };
      for (int i = 0; !stop; ++i, ++me.calls) {
        Args args;
        const std::size_t k = i % (names.size() + 1);
        if (k == names.size()) {
          args.null_text();
          const StringOutcome got = getenvvar.call_string(args);
          if (!got.is_null || got.error || got.length != 0)
            me.problems.push_back("NULL name gave " + got.text);
          // The last load's record, read while loads write it: a load or
          // the one failure that thread 5 may meet.
          Args none;
          const StringOutcome status = settings_status.call_string(none);
          if (status.text.rfind("{\"version\":\"", 0) != 0 ||
              (status.text.find("\"result\":\"loaded\"") == std::string::npos &&
               status.text.find("\"result\":\"it changed while it was read\"") ==
                   std::string::npos) ||
              status.text.find("\"UDF_SMTPPASSWORD\":\"********\"") == std::string::npos)
            me.problems.push_back("udf_settings() gave " + status.text);
          continue;
        }
        const auto& [name, may_be_unset, check] = names[k];
        args.text(name);
        const StringOutcome got = getenvvar.call_string(args);
        if (got.is_null && may_be_unset && !got.error) continue;
        check_text(got, 254, name, me);
        if (!check(got.text, dirs, ports)) me.problems.push_back(name + " = " + got.text);
      }
    });
  }

  std::this_thread::sleep_for(run_time());
  stop = true;
  for (auto& thread : threads) thread.join();
  // The failures of tarvik and velmar (the loads' lines are the loader tests').
  std::string log, line;
  for (std::istringstream all(capture->text()); std::getline(all, line);)
    if (line.find("] udf_loadini: ") == std::string::npos) log += line + "\n";
  log = quarn::test::log_messages(log);
  capture.reset();

  std::map<std::string, int> expected_log;
  std::map<std::string, std::string> sent;
  int calls[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    calls[t] = seen[t].calls;
    for (const auto& problem : seen[t].problems) ADD_FAILURE() << "thread " << t << ": " << problem;
    for (const auto& [piece, count] : seen[t].log) expected_log[piece] += count;
    sent.insert(seen[t].sent.begin(), seen[t].sent.end());
  }
  std::printf("calls: thumbnails %d+%d, mails %d+%d (%zu OK), loads %d+%d, lookups %d+%d\n",
              calls[0], calls[1], calls[2], calls[3], sent.size(), calls[4], calls[5], calls[6],
              calls[7]);
  for (int t = 0; t < kThreads; ++t) EXPECT_GT(calls[t], 2) << "thread " << t;
  EXPECT_GT(sent.size(), 0u);
  // The status counts, which the calls of two threads each add to without
  // a lock, count every call.
  const auto count = [](const Plugin& plugin, const char* function, const std::string& key) {
    Args none;
    const std::string json = Function(plugin, function).call_string(none).text;
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atol(json.c_str() + at + key.size() + 3);
  };
  EXPECT_EQ(count(tarvik_plugin, "tarvik_status", "calls"), calls[0] + calls[1]);
  EXPECT_EQ(count(velmar_plugin, "velmar_status", "rows"), calls[2] + calls[3]);
  EXPECT_EQ(count(velmar_plugin, "velmar_status", "sent"), static_cast<long>(sent.size()));
  // Each failure went to standard error exactly once, and nothing else did.
  EXPECT_EQ(unmatched_log(log, expected_log), "");

  // Every "OK" was stored by the sink whole; nothing sent to the closed port was.
  const auto stored = sink.messages();
  EXPECT_EQ(stored.size(), sent.size());
  std::set<std::string> arrived, ids;
  for (const auto& message : stored) {
    const std::string subject = message.data.substr(9, message.data.find("\r\n") - 9);
    const auto id = message.data.find("\r\nMessage-ID: ");
    EXPECT_TRUE(ids.insert(message.data.substr(id, message.data.find(">", id) - id)).second)
        << "a Message-ID twice";
    const auto it = sent.find(subject);
    if (it == sent.end()) {
      ADD_FAILURE() << "stored but not reported OK: " << message.data.substr(0, 80);
      continue;
    }
    EXPECT_EQ(quarn::test::masked_stamp(message.data), it->second);
    EXPECT_EQ(message.mail_from, "db@example.test");
    EXPECT_TRUE(arrived.insert(subject).second) << "stored twice: " << subject;
  }

  // Files: only whole thumbnails of the valid images, in the two real
  // directories; no missing directory made, no log file written.
  std::vector<std::string> expected_top = {"dir0", "dir1", "quarn_udf.ini"};
  std::vector<std::string> top = entries(base);
  std::sort(top.begin(), top.end());
  EXPECT_EQ(top, expected_top);
  int files = 0;
  for (int d = 0; d < 2; ++d) {
    for (const std::string& name : entries(dirs[d])) {
      ++files;
      bool known = false;
      for (const ThumbCase& c : thumbs) {
        for (int t = 0; t < 2; ++t) {
          if (name != "t" + std::to_string(t) + "_" + c.name + ".png.jpg") continue;
          known = c.expect == Expect::kWritten;
          const auto decoded = quarn::test::decode_file(dirs[d] + "/" + name);
          EXPECT_TRUE(decoded.ok) << name;
          EXPECT_EQ(decoded.width, c.width) << name;
          EXPECT_EQ(decoded.height, c.height) << name;
        }
      }
      EXPECT_TRUE(known) << dirs[d] << "/" << name;
    }
  }
  EXPECT_GT(files, 0);
  quarn::test::clear_settings();
  ::unsetenv("QUARN_STRESS_LONG");
}

}  // namespace
