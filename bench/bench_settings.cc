// Settings benchmark: udf_getenvvar and udf_loadini(TRUE) calls per second,
// in-process through dlopen, alone and against 4 threads of the other
// function; then how long a reload and a lookup take while 0 or 2 threads
// (connections) make thumbnails of large images, and while one velmar call
// waits for a name server that never answers.
//
//   bench_settings OUT_JSON [LARGE_IMAGE...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "bench_util.h"
#include "test_util.h"
#include "udf_call.h"

namespace qb = quarn::bench;
namespace qt = quarn::test;

namespace {

std::string settings_file(const std::string& image_dir, int port = 587) {
  return "[thumbnail]\nimage-directory = " + image_dir +
         "\n[email]\nsmtp-host = mail.example.invalid\nsmtp-user = bench\n"
         "smtp-password = bench-secret\nsmtp-port = " + std::to_string(port) + "\n"
         "[general]\nerror-log = udf_error.log\n";
}

// One caller of a function: its own records, reused for every call, as the
// server reuses them for the rows of one statement.
class Caller {
 public:
  Caller(const qt::Plugin& plugin, const std::string& name, bool integer_argument)
      : init_(plugin.function<qt::InitFn>((name + "_init").c_str())),
        main_(plugin.symbol(name.c_str())),
        integer_(integer_argument) {
    if (integer_) args_.integer(1);
    else args_.text("UDF_SMTPHOST");
    char message[256] = {0};
    if (init_(&initid_, args_.get(), message)) throw std::runtime_error(message);
    record_ = args_.get();
  }

  // One call; false when the result is not what the function promises.
  bool call() {
    char is_null = 0, error = 0;
    if (integer_) {
      auto* fn = reinterpret_cast<qt::IntFn*>(main_);
      fn(&initid_, record_, &is_null, &error);
      return is_null == 1 && error == 0;  // loaded: NULL without the error flag
    }
    unsigned long length = 0;
    auto* fn = reinterpret_cast<qt::StringFn*>(main_);
    const char* text = fn(&initid_, record_, result_, &length, &is_null, &error);
    return is_null == 0 && error == 0 && length == 20 && std::memcmp(text, "mail.example.invalid", 20) == 0;
  }

 private:
  qt::InitFn* init_;
  void* main_;
  bool integer_;
  qt::Args args_;
  UDF_ARGS* record_ = nullptr;
  UDF_INIT initid_{};
  char result_[256];
};

struct Outcome {
  double measured_per_s;    // calls/s of the measured threads, all together
  double background_per_s;  // calls/s of the background threads
};

// `measured` threads call one function and `background` threads the other,
// all for `ms` milliseconds.
Outcome measure(const qt::Plugin& plugin, bool measured_is_loadini, int measured,
                bool background_is_loadini, int background, long ms) {
  std::atomic<bool> go{false}, stop{false};
  std::atomic<long> bad{0};
  std::vector<long> counts(measured + background, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < measured + background; ++t) {
    const bool loadini = t < measured ? measured_is_loadini : background_is_loadini;
    threads.emplace_back([&, t, loadini] {
      Caller caller(plugin, loadini ? "udf_loadini" : "udf_getenvvar", loadini);
      while (!go) std::this_thread::yield();
      long n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        if (!caller.call()) ++bad;
        ++n;
      }
      counts[t] = n;
    });
  }
  go = true;
  const auto start = qb::Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  stop = true;
  for (auto& thread : threads) thread.join();
  const double seconds = qb::seconds_since(start);
  if (bad) throw std::runtime_error(std::to_string(bad.load()) + " calls returned unexpected results");
  Outcome outcome{0, 0};
  for (int t = 0; t < measured + background; ++t)
    (t < measured ? outcome.measured_per_s : outcome.background_per_s) += counts[t] / seconds;
  return outcome;
}

double ms_since(qb::Clock::time_point start) { return 1000.0 * qb::seconds_since(start); }

// The name server that never answers, on a loopback address of its own.
constexpr char kSilentServer[] = "127.53.0.1";
constexpr int kStallSeconds = 5;

// Points this process's resolver at a name server on loopback that takes
// every query and never answers: /etc/resolv.conf is replaced by a file of
// ours in a mount namespace of the process's own, so the machine's
// configuration is untouched. Before any thread starts (unshare needs a
// single thread); false, with the reason printed, where that is not allowed
// (it needs root).
bool silence_name_server(const qt::TempDir& dir) {
  const std::string conf = dir.file("resolv.conf");
  qt::write_file(conf, std::string("nameserver ") + kSilentServer + "\noptions timeout:" +
                           std::to_string(kStallSeconds) + " attempts:1\n");
  // Bound, so the queries are taken and no "port unreachable" ends the
  // wait; nothing ever reads or answers them. Kept open for the process.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(53);
  inet_pton(AF_INET, kSilentServer, &address.sin_addr);
  const char* failed = nullptr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    failed = "cannot bind a name server on loopback";
  else if (::unshare(CLONE_NEWNS) != 0)
    failed = "no mount namespace of our own";
  else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
           ::mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
    failed = "cannot put our resolv.conf in place";
  if (failed == nullptr) return true;
  std::printf("  (no stalled lookup: %s: %s)\n", failed, std::strerror(errno));
  return false;
}

struct Latencies {
  std::vector<double> reload_ms;     // each udf_loadini(TRUE)
  std::vector<double> getenvvar_ms;  // each udf_getenvvar
  double thumbnails_per_s;
  double stalled_ms;  // the velmar call that waited for its lookup
};

// udf_loadini(TRUE) every 10 ms and udf_getenvvar every 1 ms, each call
// timed, while `makers` threads make 200x200 thumbnails of `image` without
// pause, or (velmar given) while one velmar call waits for its host's name;
// for `ms` milliseconds and at least 20 reloads. Before each reload, untimed,
// the settings file (in the working directory, `dir`) changes its port, so
// that every reload publishes.
Latencies reload_latency(const qt::Plugin& ostrel, const qt::Plugin& tarvik,
                         const std::string& dir, const std::string& image, int makers, long ms,
                         const qt::Plugin* velmar = nullptr) {
  std::atomic<bool> stop{false};
  std::atomic<long> thumbnails{0}, bad{0};
  Latencies out{{}, {}, 0, 0};
  std::vector<std::thread> threads;
  const qt::Function make(tarvik, "tarvik");
  if (velmar != nullptr) {
    // The settings name mail.example.invalid, which only the silent name
    // server is asked about.
    threads.emplace_back([&, mail = qt::Function(*velmar, "velmar")] {
      qt::Args args;
      args.text("to@example.test").text("from@example.test").text("s").text("b");
      const auto start = qb::Clock::now();
      if (mail.call_string(args).text != "There was an error sending the message.") ++bad;
      out.stalled_ms = ms_since(start);
    });
  }
  for (int t = 0; t < makers; ++t) {
    threads.emplace_back([&, t] {
      while (!stop) {
        qt::Args args;
        args.text(image).text("large" + std::to_string(t)).integer(200).integer(200);
        if (make.call_string(args).text.rfind("File written as ", 0) == 0) ++thumbnails;
        else ++bad;
      }
    });
  }
  threads.emplace_back([&] {
    Caller lookup(ostrel, "udf_getenvvar", false);
    while (!stop) {
      const auto start = qb::Clock::now();
      if (!lookup.call()) ++bad;
      out.getenvvar_ms.push_back(ms_since(start));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // The thumbnails (or the lookup) under way before the first reload.
  std::this_thread::sleep_for(std::chrono::milliseconds(makers || velmar ? 300 : 0));
  const auto begin = qb::Clock::now();
  {
    Caller load(ostrel, "udf_loadini", true);
    while (ms_since(begin) < ms || out.reload_ms.size() < 20) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      qt::write_file(dir + "/quarn_udf.ini.new",
                     settings_file(dir, 587 + static_cast<int>(out.reload_ms.size() % 2)));
      std::filesystem::rename(dir + "/quarn_udf.ini.new", dir + "/quarn_udf.ini");
      const auto start = qb::Clock::now();
      if (!load.call()) ++bad;
      out.reload_ms.push_back(ms_since(start));
    }
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  if (bad) throw std::runtime_error(std::to_string(bad.load()) + " calls failed during reloads");
  out.thumbnails_per_s = thumbnails / qb::seconds_since(begin);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_settings OUT_JSON [LARGE_IMAGE...]\n");
    return 2;
  }
  try {
    const long runs = qb::env_count("QUARN_BENCH_RUNS", 5);
    const long ms = qb::env_count("QUARN_BENCH_SETTINGS_MS", 400);
    const std::string out_json = std::filesystem::absolute(argv[1]).string();
    const long reload_ms = qb::env_count("QUARN_BENCH_RELOAD_MS", 3000);
    qt::TempDir dir;
    const bool silent_name_server = silence_name_server(dir);
    qt::write_file(dir.file("quarn_udf.ini"), settings_file(dir.path()));
    // The settings file is read from the working directory.
    if (chdir(dir.path().c_str()) != 0) throw std::runtime_error("chdir failed");
    qt::Plugin plugin("ostrel");
    {
      Caller load(plugin, "udf_loadini", true);
      load.call();
    }

    struct Scenario {
      std::string what;
      bool loadini;
      int threads;
      bool background_loadini;
      int background;
    };
    const std::vector<Scenario> scenarios = {
        {"udf_getenvvar, 1 thread alone", false, 1, false, 0},
        {"udf_getenvvar, 4 threads at once (sum)", false, 4, false, 0},
        {"udf_getenvvar, 1 thread while 4 threads run udf_loadini(TRUE)", false, 1, true, 4},
        // The file never changes: these reloads publish nothing.
        {"udf_loadini(TRUE), 1 thread alone", true, 1, false, 0},
        {"udf_loadini(TRUE), 4 threads at once (sum)", true, 4, false, 0},
        {"udf_loadini(TRUE), 1 thread while 4 threads run udf_getenvvar", true, 1, false, 4},
    };
    std::printf("settings: in-process calls, %ld runs of %ld ms per scenario, %u cores\n", runs, ms,
                std::thread::hardware_concurrency());
    std::fflush(stdout);
    qb::Table table({"calls", "calls/s", "us per call", "background calls/s"});
    std::vector<qb::Json> json;
    for (const auto& s : scenarios) {
      std::vector<double> rates, background;
      for (long run = 0; run < runs; ++run) {
        const Outcome o = measure(plugin, s.loadini, s.threads, s.background_loadini, s.background, ms);
        rates.push_back(o.measured_per_s);
        background.push_back(o.background_per_s);
      }
      const double rate = qb::median(rates);
      table.add({s.what, qb::fixed(rate, 0), qb::fixed(1e6 * s.threads / rate, 2),
                 s.background ? qb::fixed(qb::median(background), 0) : "-"});
      json.push_back(qb::Json::object({
          {"scenario", qb::Json::string(s.what)},
          {"calls_per_s_median", qb::Json::number(rate)},
          {"calls_per_s", qb::Json::numbers(rates)},
          {"background_calls_per_s_median", qb::Json::number(qb::median(background))},
      }));
    }
    table.print("Settings, in-process (dlopen): medians of " + std::to_string(runs) +
                " runs; the file unchanged, so a reload publishes nothing");

    // Neither a reload nor a lookup may wait for a decoder or a name server.
    qt::Plugin tarvik("tarvik");
    qt::Plugin velmar("velmar");
    struct Load {
      std::string what;
      std::string image;
      int makers;
      bool stall;
    };
    std::vector<Load> loads = {{"no thumbnails", "", 0, false}};
    for (int i = 2; i < argc; ++i) {
      const std::string path = argv[i];
      loads.push_back({"2 threads making thumbnails of " +
                           std::filesystem::path(path).filename().string(),
                       qb::read_bytes(path), 2, false});
    }
    if (silent_name_server)
      loads.push_back({"1 velmar call stalled in its name lookup", "", 0, true});
    qb::Table latency({"while", "reloads", "reload p50 / p99 / max ms",
                       "getenvvar p50 / p99 / max ms", "thumbnails/s"});
    std::vector<qb::Json> latency_json;
    double stalled_ms = 0;
    const auto three = [](const std::vector<double>& ms) {
      return qb::fixed(qb::percentile(ms, 0.5), 3) + " / " + qb::fixed(qb::percentile(ms, 0.99), 3) +
             " / " + qb::fixed(qb::percentile(ms, 1.0), 3);
    };
    for (const auto& l : loads) {
      const Latencies got = reload_latency(plugin, tarvik, dir.path(), l.image, l.makers,
                                           reload_ms, l.stall ? &velmar : nullptr);
      latency.add({l.what, std::to_string(got.reload_ms.size()), three(got.reload_ms),
                   three(got.getenvvar_ms), l.makers ? qb::fixed(got.thumbnails_per_s, 1) : "-"});
      if (l.stall) stalled_ms = got.stalled_ms;
      const auto summary = [](const std::vector<double>& ms) {
        return qb::Json::object({{"p50_ms", qb::Json::number(qb::percentile(ms, 0.5))},
                                 {"p99_ms", qb::Json::number(qb::percentile(ms, 0.99))},
                                 {"max_ms", qb::Json::number(qb::percentile(ms, 1.0))},
                                 {"calls", qb::Json::integer(static_cast<long>(ms.size()))}});
      };
      latency_json.push_back(qb::Json::object({
          {"while", qb::Json::string(l.what)},
          {"udf_loadini", summary(got.reload_ms)},
          {"udf_getenvvar", summary(got.getenvvar_ms)},
          {"thumbnails_per_s", qb::Json::number(got.thumbnails_per_s)},
          {"stalled_velmar_ms", qb::Json::number(got.stalled_ms)},
      }));
    }
    latency.print("udf_loadini(TRUE) every 10 ms (of a file changed before each) and "
                  "udf_getenvvar every 1 ms, each timed, for " +
                  std::to_string(reload_ms) + " ms (and at least 20 reloads)");

    // The most a load spends naming faulty lines: 1 MiB of random bytes,
    // whose lines inih skips by the thousand (it parses the file again for
    // each one named); a reload of the same bytes reuses those warnings.
    std::string garbage;
    for (std::uint32_t state = 12345; garbage.size() < (1u << 20) - 64;) {
      state = state * 1103515245 + 12345;
      garbage += static_cast<char>(state >> 16);
    }
    qt::write_file(dir.file("quarn_udf.ini"), garbage);
    std::vector<double> garbage_ms;
    {
      Caller load(plugin, "udf_loadini", true);
      for (int i = 0; i < 6; ++i) {
        const auto start = qb::Clock::now();
        if (!load.call()) throw std::runtime_error("the load of garbage failed");
        garbage_ms.push_back(ms_since(start));
      }
    }
    qt::write_file(dir.file("quarn_udf.ini"), settings_file(dir.path()));
    const double garbage_again_ms =
        qb::median(std::vector<double>(garbage_ms.begin() + 1, garbage_ms.end()));
    std::printf("udf_loadini(TRUE) of 1 MiB of random bytes: %.1f ms, then %.1f ms each again "
                "(median of 5)\n",
                garbage_ms[0], garbage_again_ms);
    if (silent_name_server)
      std::printf("  the stalled velmar call took %.0f ms (its name server never answers; the "
                  "resolver gives up after %d s)\n",
                  stalled_ms, kStallSeconds);
    const auto load = qb::load_average();
    qb::Json::object({
        {"benchmark", qb::Json::string("settings")},
        {"runs", qb::Json::integer(runs)},
        {"garbage_load_ms", qb::Json::object({{"first", qb::Json::number(garbage_ms[0])},
                                              {"again_median", qb::Json::number(garbage_again_ms)}})},
        {"ms_per_run", qb::Json::integer(ms)},
        {"scenarios", qb::Json::array(json)},
        {"reload_latency", qb::Json::array(latency_json)},
        {"cores", qb::Json::integer(std::thread::hardware_concurrency())},
        {"load_average_at_end", qb::Json::numbers(load)},
    }).write(out_json);
    std::printf("  summary: %s (load average at end %.2f)\n", out_json.c_str(), load[0]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_settings: %s\n", e.what());
    return 1;
  }
}
