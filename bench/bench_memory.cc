// Memory benchmark: resident size (VmRSS) of the throwaway server before,
// during and after 10,000 thumbnails and 10,000 mails through SQL; then the
// server's peak with mails that carry a 23 MiB attachment, and while 8
// connections make HEIC thumbnails at once under several thumbnail-memory
// budgets; small thumbnails' latency alone and beside big HEICs under a
// budget of 512 MB; the server's resident size after a burst of 8000x6000
// decodes, and what a malloc_trim would still hand back.
//
//   bench_memory OUT_JSON PNG_640x480 HEIC_4000x3000 IMAGE_DIR
//   bench_memory --budget-only OUT_JSON HEIC_4000x3000
//   bench_memory --beside-only OUT_JSON IMAGE_DIR
//   bench_memory --burst-only OUT_JSON IMAGE_DIR
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "bench_util.h"
#include "bench_db.h"
#include "mariadb_server.h"
#include "bench_sink.h"
#include "test_util.h"

namespace qb = quarn::bench;
namespace qt = quarn::test;

namespace {

// True for a thumbnail written, false for a call the budget turned away
// (2002); any other answer ends the run.
template <typename Answer>
bool written_or_turned_away(const Answer& answer) {
  const std::string text = answer.value_or("NULL");
  if (text.rfind("File written as ", 0) == 0) return true;
  if (text.size() > 5 && text.compare(text.size() - 5, 5, " 2002") == 0) return false;
  throw std::runtime_error("tarvik failed: " + text);
}

constexpr long kBatch = 1000;  // rows per statement
constexpr int kMailConnections = 4;

struct Sample {
  std::string after;
  long rss_kib;
};

constexpr int kHeicConnections = 8;
constexpr double kBudgetSlack = 1.15;  // the peak's goal: at most the budget and 15%

// The largest budget the setting takes: no bound in practice.
constexpr long kUnbounded = 1048576;

// One fresh server with the budget (MB) whose 8 connections each make
// `rows` thumbnails of the HEIC at once: its peak resident size over its
// size before, thumbnails/s, and the calls the budget turned away. False
// when the peak misses the goal.
bool heic_under_budget(const std::string& heic, long budget_mb, long rows, qb::Table& table,
                       std::vector<qb::Json>& json) {
  qt::TempDir thumbs;
  qt::MariaDbServer server({{"UDF_IMAGEDIR", thumbs.path()},
                            {"UDF_THUMBNAILMEMORY", std::to_string(budget_mb)}});
  server.install_functions();
  const auto admin = qb::bench_connection(server);
  const long pid = qb::server_pid(*admin);
  admin->rows("CREATE TABLE heic (id INT PRIMARY KEY, img LONGBLOB NOT NULL) ENGINE=InnoDB");
  admin->rows("INSERT INTO heic VALUES (1, " + qt::Connection::hex_literal(heic) + ")");
  qb::make_ids_table(*admin, rows);
  std::vector<std::unique_ptr<qt::Connection>> connections;
  for (int i = 0; i < kHeicConnections; ++i) connections.push_back(qb::bench_connection(server));
  const long baseline = qb::rss_kib(pid);
  // The peak from here on ("5" resets it; kept from the start where that is refused).
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
  std::atomic<long> written{0}, turned_away{0};
  std::vector<double> elapsed;
  const double wall = qb::run_concurrently(kHeicConnections, [&](int t) {
    const auto result = connections[t]->rows(
        "SELECT tarvik(h.img, CONCAT('h" + std::to_string(t) + "_', s.id), 200, 200) FROM heic h "
        "JOIN ids s ON h.id = 1 WHERE s.id <= " + std::to_string(rows));
    for (const auto& row : result) (written_or_turned_away(row[0]) ? written : turned_away)++;
  }, elapsed);
  const long peak = qb::rss_kib(pid, "VmHWM:");
  const double growth_mb = (peak - baseline) / 1024.0;
  const bool bounded = budget_mb < kUnbounded;
  const bool met = !bounded || growth_mb <= budget_mb * kBudgetSlack;
  table.add({bounded ? std::to_string(budget_mb) : "none (" + std::to_string(budget_mb) + ")",
             std::to_string(baseline / 1024), std::to_string(peak / 1024), qb::fixed(growth_mb, 0),
             bounded ? qb::fixed(budget_mb * kBudgetSlack, 0) : "-", bounded ? (met ? "yes" : "NO") : "-",
             qb::fixed(written / wall, 2), std::to_string(turned_away.load())});
  json.push_back(qb::Json::object({{"budget_mb", qb::Json::integer(budget_mb)},
                           {"baseline_rss_kib", qb::Json::integer(baseline)},
                           {"peak_kib", qb::Json::integer(peak)},
                           {"growth_mb", qb::Json::number(growth_mb)},
                           {"goal_met", qb::Json::boolean(met)},
                           {"thumbnails_per_s", qb::Json::number(written / wall)},
                           {"written", qb::Json::integer(written.load())},
                           {"turned_away", qb::Json::integer(turned_away.load())}}));
  return met;
}

// The HEIC runs under each budget; false when a peak misses its goal.
bool heic_budgets(const std::string& heic_path, std::vector<qb::Json>& json) {
  const long rows = qb::env_count("QUARN_BENCH_MEMORY_HEIC_ROWS", 4);
  const std::string heic = qb::read_bytes(heic_path);
  std::printf("\nstarting a throwaway server for each budget: %d connections x %ld rows of a "
              "4000x3000 HEIC (no preview), box 200x200...\n", kHeicConnections, rows);
  std::fflush(stdout);
  qb::Table table({"budget MB", "baseline MB", "peak MB", "peak - baseline MB", "goal MB", "met",
                   "thumbnails/s", "turned away (2002)"});
  bool met = true;
  for (const long budget : {kUnbounded, 1024L, 256L})
    met = heic_under_budget(heic, budget, rows, table, json) && met;
  table.print("Server peak resident size (VmHWM) under thumbnail-memory budgets, goal: peak - baseline "
              "<= budget x 1.15");
  return met;
}

// Connections of one server, for a run of statements.
struct MemoryRun {
  std::vector<std::unique_ptr<qt::Connection>> connections;
};

// A table of the images, one row each.
void image_table(qt::Connection& admin, const std::string& table, const std::vector<std::string>& images) {
  admin.rows("CREATE TABLE " + table + " (id INT PRIMARY KEY, img LONGBLOB NOT NULL) ENGINE=InnoDB");
  for (std::size_t i = 0; i < images.size(); ++i)
    admin.rows("INSERT INTO " + table + " VALUES (" + std::to_string(i + 1) + ", " +
               qt::Connection::hex_literal(images[i]) + ")");
}

// The server's resident size after a burst of 8000x6000 decodes on 8
// connections at once (budget 1024 MB), and after malloc_trim(0) called
// inside it (bench_malloc_trim, the benchmark's own function): what the
// decodes left in the server's malloc arenas that a trim would hand back.
// Once with the C library's defaults, once with its mapping threshold set
// for the whole server by its environment (GLIBC_TUNABLES), as a DBA may.
struct Burst {
  long baseline = 0, after = 0, trimmed = 0, written = 0, turned_away = 0;
  double seconds = 0;
};

Burst burst_in_server(const std::vector<std::string>& images, long rounds, const std::string& tunables) {
  qt::TempDir thumbs;
  std::map<std::string, std::string> environment{{"UDF_IMAGEDIR", thumbs.path()}, {"UDF_THUMBNAILMEMORY", "1024"}};
  if (!tunables.empty()) environment["GLIBC_TUNABLES"] = tunables;
  qt::MariaDbServer server(environment);
  server.install_functions();
  const auto admin = qb::bench_connection(server);
  admin->rows("CREATE FUNCTION bench_malloc_trim RETURNS INTEGER SONAME 'bench_malloc_trim.so'");
  const long pid = qb::server_pid(*admin);
  image_table(*admin, "burst", images);
  std::vector<std::unique_ptr<qt::Connection>> connections;
  for (int i = 0; i < kHeicConnections; ++i) connections.push_back(qb::bench_connection(server));
  // Every connection's thread has made a thumbnail before: what it keeps of
  // its own is in the baseline.
  std::vector<double> elapsed;
  qb::run_concurrently(kHeicConnections, [&](int t) {
    connections[t]->rows("SELECT tarvik(img, 'warm" + std::to_string(t) + "', 20, 20) FROM burst WHERE id = 1");
  }, elapsed);
  admin->value("SELECT bench_malloc_trim()");
  Burst burst;
  burst.baseline = qb::rss_kib(pid);
  std::atomic<long> written{0}, turned_away{0};
  burst.seconds = qb::run_concurrently(kHeicConnections, [&](int t) {
    for (long round = 0; round < rounds; ++round) {
      const auto result = connections[t]->rows(
          "SELECT tarvik(img, CONCAT('b" + std::to_string(t) + "_', id), 200, 200) FROM burst ORDER BY (id + " +
          std::to_string(t + round) + ") % " + std::to_string(images.size()));
      for (const auto& row : result) (written_or_turned_away(row[0]) ? written : turned_away)++;
    }
  }, elapsed);
  burst.after = qb::rss_kib(pid);
  admin->value("SELECT bench_malloc_trim()");
  burst.trimmed = qb::rss_kib(pid);
  burst.written = written;
  burst.turned_away = turned_away;
  return burst;
}

void rss_after_burst(const std::string& dir, std::vector<qb::Json>& json) {
  const long rounds = qb::env_count("QUARN_BENCH_BURST_ROUNDS", 3);
  std::vector<std::string> images;
  for (const char* file : {"8k.jpg", "huge.png", "8k.webp", "8k.heic"}) images.push_back(qb::read_bytes(dir + "/" + file));
  std::printf("\nstarting a throwaway server for each: %d connections x %ld rounds of 8000x6000 JPEG, PNG, WebP "
              "and HEIC, box 200x200, budget 1024 MB...\n", kHeicConnections, rounds);
  std::fflush(stdout);
  qb::Table table({"C library's settings", "before MB", "after the burst MB", "after malloc_trim(0) MB",
                   "a trim would hand back MB", "thumbnails", "turned away (2002)", "s"});
  for (const std::string tunables : {"", "glibc.malloc.mmap_threshold=131072"}) {
    const Burst b = burst_in_server(images, rounds, tunables);
    const std::string label = tunables.empty() ? "defaults" : "GLIBC_TUNABLES=" + tunables;
    table.add({label, qb::fixed(b.baseline / 1024.0, 0), qb::fixed(b.after / 1024.0, 0),
               qb::fixed(b.trimmed / 1024.0, 0), qb::fixed((b.after - b.trimmed) / 1024.0, 0),
               std::to_string(b.written), std::to_string(b.turned_away), qb::fixed(b.seconds, 1)});
    json.push_back(qb::Json::object({{"glibc_tunables", qb::Json::string(tunables)},
                                     {"baseline_rss_kib", qb::Json::integer(b.baseline)},
                                     {"after_burst_rss_kib", qb::Json::integer(b.after)},
                                     {"after_trim_rss_kib", qb::Json::integer(b.trimmed)},
                                     {"written", qb::Json::integer(b.written)},
                                     {"turned_away", qb::Json::integer(b.turned_away)}}));
  }
  table.print("Server RSS after a burst of 8000x6000 decodes, and after malloc_trim(0) in the server (tarvik "
              "itself never calls it)");
}

// Small thumbnails beside big ones under a budget of 512 MB: the latency of
// single-row statements of a 1600x1200 JPEG on 2 connections, alone and
// while 6 connections make thumbnails of an 8000x6000 HEIC (463 MB
// reckoned: one fits at a time), p50, p99 and max, with the calls the
// budget turned away (2002).
struct Latency {
  std::vector<double> small_ms;
  long small_turned_away = 0, heic_written = 0, heic_turned_away = 0;
};

Latency small_thumbnails(const MemoryRun& run, bool beside_heics, double seconds) {
  Latency seen;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<double> elapsed;
  const int small_connections = 2, heic_connections = beside_heics ? 6 : 0;
  qb::run_concurrently(small_connections + heic_connections, [&](int t) {
    const bool small = t < small_connections;
    if (!small) {
      while (!stop) {
        const std::string text = run.connections[t]->value("SELECT tarvik(img, 'h" + std::to_string(t) +
                                                           "', 200, 200) FROM heic WHERE id = 1").value_or("NULL");
        const std::lock_guard<std::mutex> lock(mutex);
        if (text.rfind("File written as ", 0) == 0) ++seen.heic_written;
        else if (text.size() > 5 && text.compare(text.size() - 5, 5, " 2002") == 0) ++seen.heic_turned_away;
        else throw std::runtime_error("tarvik failed: " + text);
      }
      return;
    }
    const auto end = qb::Clock::now() + std::chrono::duration<double>(seconds);
    while (qb::Clock::now() < end) {
      const auto start = qb::Clock::now();
      const std::string text = run.connections[t]->value("SELECT tarvik(img, 's" + std::to_string(t) +
                                                         "', 200, 200) FROM small WHERE id = 1").value_or("NULL");
      const double ms = qb::seconds_since(start) * 1000;
      const std::lock_guard<std::mutex> lock(mutex);
      if (text.rfind("File written as ", 0) == 0) seen.small_ms.push_back(ms);
      else if (text.size() > 5 && text.compare(text.size() - 5, 5, " 2002") == 0) ++seen.small_turned_away;
      else throw std::runtime_error("tarvik failed: " + text);
    }
    stop = true;
  }, elapsed);
  return seen;
}

bool small_beside_big(const std::string& dir, std::vector<qb::Json>& json) {
  const double seconds = static_cast<double>(qb::env_count("QUARN_BENCH_BESIDE_SECONDS", 30));
  std::printf("\nstarting a throwaway server, budget 512 MB: 2 connections of single-row statements of a "
              "1600x1200 JPEG for %.0f s, alone and beside 6 connections of an 8000x6000 HEIC...\n", seconds);
  std::fflush(stdout);
  qt::TempDir thumbs;
  qt::MariaDbServer server({{"UDF_IMAGEDIR", thumbs.path()}, {"UDF_THUMBNAILMEMORY", "512"}});
  server.install_functions();
  MemoryRun run;
  const auto admin = qb::bench_connection(server);
  image_table(*admin, "small", {qb::read_bytes(dir + "/medium.jpg")});
  image_table(*admin, "heic", {qb::read_bytes(dir + "/8k.heic")});
  for (int i = 0; i < 8; ++i) run.connections.push_back(qb::bench_connection(server));
  qb::Table table({"small JPEG", "calls", "p50 ms", "p99 ms", "max ms", "turned away (2002)", "HEICs written",
                   "HEICs turned away"});
  bool met = true;
  double alone_p99 = 0;
  for (const bool beside : {false, true}) {
    const Latency seen = small_thumbnails(run, beside, seconds);
    const double p50 = qb::percentile(seen.small_ms, 0.5), p99 = qb::percentile(seen.small_ms, 0.99);
    const double most = seen.small_ms.empty() ? 0 : *std::max_element(seen.small_ms.begin(), seen.small_ms.end());
    if (!beside) alone_p99 = p99;
    // The goal: no small call turned away, and its p99 within 3 times alone's
    // and 100 ms (a HEIC decode on the other core slows it a little).
    if (beside) met = seen.small_turned_away == 0 && p99 <= std::max(3 * alone_p99, alone_p99 + 100);
    table.add({beside ? "beside 6 HEIC connections" : "alone", std::to_string(seen.small_ms.size()),
               qb::fixed(p50, 1), qb::fixed(p99, 1), qb::fixed(most, 1), std::to_string(seen.small_turned_away),
               beside ? std::to_string(seen.heic_written) : "-", beside ? std::to_string(seen.heic_turned_away) : "-"});
    json.push_back(qb::Json::object({{"beside_heics", qb::Json::boolean(beside)},
                                     {"calls", qb::Json::integer(static_cast<long long>(seen.small_ms.size()))},
                                     {"p50_ms", qb::Json::number(p50)},
                                     {"p99_ms", qb::Json::number(p99)},
                                     {"max_ms", qb::Json::number(most)},
                                     {"small_turned_away", qb::Json::integer(seen.small_turned_away)},
                                     {"heic_written", qb::Json::integer(seen.heic_written)},
                                     {"heic_turned_away", qb::Json::integer(seen.heic_turned_away)}}));
  }
  table.print("Small thumbnails alone and beside big ones, thumbnail-memory 512 MB (goal beside: none turned "
              "away, p99 within 3 x alone's or alone's + 100 ms: " + std::string(met ? "met" : "MISSED") + ")");
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  // One part alone: bench_memory --beside-only|--burst-only|--budget-only OUT_JSON IMAGE_DIR.
  const struct {
    const char* flag;
    const char* benchmark;
    const char* key;
    bool (*run)(const std::string&, std::vector<qb::Json>&);
  } parts[] = {
      {"--beside-only", "memory small beside big", "small_beside_big", small_beside_big},
      {"--burst-only", "memory burst", "burst",
       [](const std::string& dir, std::vector<qb::Json>& runs) { return rss_after_burst(dir, runs), true; }},
      {"--budget-only", "memory budget", "heic_budget_runs", heic_budgets},
  };
  for (const auto& part : parts) {
    if (argc != 4 || std::strcmp(argv[1], part.flag) != 0) continue;
    try {
      std::vector<qb::Json> runs;
      const bool met = part.run(argv[3], runs);
      qb::Json::object({{"benchmark", qb::Json::string(part.benchmark)}, {part.key, qb::Json::array(runs)}})
          .write(argv[2]);
      return met ? 0 : 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_memory: %s\n", e.what());
      return 1;
    }
  }
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_memory OUT_JSON PNG_640x480 HEIC_4000x3000 IMAGE_DIR\n");
    return 2;
  }
  try {
    const long thumbnails = qb::env_count("QUARN_BENCH_MEMORY_THUMBNAILS", 10000);
    const long mails = qb::env_count("QUARN_BENCH_MEMORY_MAILS", 10000);
    const long warmup = 100;
    const std::string image = qb::read_bytes(argv[2]);
    qb::BenchSink sink;
    qt::TempDir thumbs;
    std::printf("memory: %ld thumbnails (640x480 PNG, box 200x200) then %ld mails (%d connections), "
                "in statements of up to %ld rows\nstarting the throwaway server...\n",
                thumbnails, mails, kMailConnections, kBatch);
    std::fflush(stdout);
    qt::MariaDbServer server({{"UDF_IMAGEDIR", thumbs.path()},
                              {"UDF_SMTPHOST", "127.0.0.1"},
                              {"UDF_SMTPPORT", std::to_string(sink.port())},
                              {"UDF_SMTPUSER", "bench"},
                              {"UDF_SMTPPASSWORD", "bench-secret"}});
    server.install_functions();
    const auto admin_owner = qb::bench_connection(server);
    qt::Connection& admin = *admin_owner;
    const long pid = qb::server_pid(admin);
    admin.rows("CREATE TABLE img (id INT PRIMARY KEY, img LONGBLOB NOT NULL) ENGINE=InnoDB");
    admin.rows("INSERT INTO img VALUES (1, " + qt::Connection::hex_literal(image) + ")");
    qb::make_ids_table(admin, kBatch);

    std::vector<std::unique_ptr<qt::Connection>> connections;
    for (int i = 0; i < kMailConnections; ++i)
      connections.push_back(qb::bench_connection(server));

    auto thumbnail_batch = [&](long rows, long offset) {
      const auto result = admin.rows("SELECT tarvik(i.img, CONCAT('m', s.id + " + std::to_string(offset) +
                                     "), 200, 200) FROM img i JOIN ids s ON i.id = 1 WHERE s.id <= " +
                                     std::to_string(rows));
      for (const auto& row : result)
        if (!row[0] || row[0]->rfind("File written as ", 0) != 0)
          throw std::runtime_error("tarvik failed: " + row[0].value_or("NULL"));
    };
    const std::string call = "velmar('reader@example.invalid', 'bench@example.invalid', 'memory', "
                             "'a short body', 0)";
    std::atomic<long> statements{0};  // each ends its one connection
    auto mail_batch = [&](long rows) {
      std::vector<std::thread> threads;
      std::vector<std::string> errors(kMailConnections);
      for (int t = 0; t < kMailConnections; ++t) {
        const long mine = rows / kMailConnections + (t < rows % kMailConnections ? 1 : 0);
        threads.emplace_back([&, t, mine] {
          try {
            if (mine == 0) return;
            ++statements;
            const auto result = connections[t]->rows("SELECT " + call + " FROM ids WHERE id <= " +
                                                     std::to_string(mine));
            for (const auto& row : result)
              if (!row[0] || *row[0] != "OK") throw std::runtime_error("velmar: " + row[0].value_or("NULL"));
          } catch (const std::exception& e) {
            errors[t] = e.what();
          }
        });
      }
      for (auto& thread : threads) thread.join();
      for (const auto& e : errors)
        if (!e.empty()) throw std::runtime_error(e);
    };

    std::vector<Sample> samples;
    samples.push_back({"start (functions registered, none called)", qb::rss_kib(pid)});
    thumbnail_batch(warmup, 0);
    mail_batch(warmup);
    samples.push_back({"warm-up (" + std::to_string(warmup) + " thumbnails, " + std::to_string(warmup) +
                           " mails)",
                       qb::rss_kib(pid)});
    const long baseline = samples.back().rss_kib;

    const auto start = qb::Clock::now();
    std::vector<long> thumb_curve, mail_curve;
    for (long done = 0; done < thumbnails;) {
      const long rows = std::min(kBatch, thumbnails - done);
      thumbnail_batch(rows, done);
      done += rows;
      thumb_curve.push_back(qb::rss_kib(pid));
    }
    const double thumb_seconds = qb::seconds_since(start);
    samples.push_back({"after " + std::to_string(thumbnails) + " thumbnails", qb::rss_kib(pid)});
    const auto mail_start = qb::Clock::now();
    for (long done = 0; done < mails;) {
      const long rows = std::min(kBatch, mails - done);
      mail_batch(rows);
      done += rows;
      mail_curve.push_back(qb::rss_kib(pid));
    }
    const double mail_seconds = qb::seconds_since(mail_start);
    samples.push_back({"after " + std::to_string(mails) + " mails", qb::rss_kib(pid)});
    sink.wait_closed(static_cast<std::uint64_t>(statements.load()), std::chrono::seconds(10));
    const auto counts = sink.counts();

    // velmar with a 23 MiB attachment (random bytes, a BLOB), one call
    // alone and then 8 at once: the server's peak resident size (VmHWM, set
    // back to its resident size first) above its resident size. The
    // server's own copies of the argument count as well.
    constexpr std::size_t kAttachmentBytes = 23u << 20;
    constexpr int kAttachmentCalls = 8;
    std::string blob(kAttachmentBytes, '\0');
    std::mt19937 random(1);
    for (char& c : blob) c = static_cast<char>(random());
    admin.rows("CREATE TABLE blobs (id INT PRIMARY KEY, data LONGBLOB NOT NULL) ENGINE=MyISAM");
    admin.rows("INSERT INTO blobs VALUES (1, " + qt::Connection::hex_literal(blob) + ")");
    std::string().swap(blob);
    while (connections.size() < kAttachmentCalls) connections.push_back(qb::bench_connection(server));
    const std::string attached =
        "SELECT velmar('reader@example.invalid', 'bench@example.invalid', 'memory', 'a short body', 0, "
        "(SELECT data FROM blobs WHERE id = 1) AS attachment, 'data.bin' AS attachment_name)";
    const auto attachment_peak = [&](int calls) {
      const long before = qb::rss_kib(pid);
      qb::reset_peak(pid);
      std::vector<std::string> results(calls);
      std::vector<std::thread> threads;
      for (int t = 0; t < calls; ++t)
        threads.emplace_back([&, t] { results[t] = connections[t]->value(attached).value_or("NULL"); });
      for (auto& thread : threads) thread.join();
      for (const auto& result : results)
        if (result != "OK") throw std::runtime_error("velmar with an attachment: " + result);
      return qb::rss_kib(pid, "VmHWM:") - before;
    };
    const long alone_kib = attachment_peak(1);
    const long together_kib = attachment_peak(kAttachmentCalls);

    qb::Table table({"server RSS", "KiB", "vs warm-up KiB"});
    std::vector<qb::Json> json;
    for (const auto& s : samples) {
      table.add({s.after, std::to_string(s.rss_kib), std::to_string(s.rss_kib - baseline)});
      json.push_back(qb::Json::object({{"after", qb::Json::string(s.after)},
                                       {"rss_kib", qb::Json::integer(s.rss_kib)}}));
    }
    table.print("Memory: resident size of mariadbd (VmRSS)");
    auto curve = [](const std::vector<long>& v) {
      std::string text;
      for (long x : v) text += (text.empty() ? "" : " ") + std::to_string(x);
      return text;
    };
    std::printf("  RSS KiB after each %ld thumbnails: %s\n", kBatch, curve(thumb_curve).c_str());
    std::printf("  RSS KiB after each %ld mails:      %s\n", kBatch, curve(mail_curve).c_str());
    std::printf("  velmar with a 23 MiB attachment through SQL, server VmHWM above its RSS: "
                "%.1f MiB alone, %.1f MiB for %d at once (%.1f MiB each)\n",
                alone_kib / 1024.0, together_kib / 1024.0, kAttachmentCalls,
                together_kib / 1024.0 / kAttachmentCalls);
    std::printf("  took %.1f s for the thumbnails (%.1f/s), %.1f s for the mails (%.1f/s); "
                "sink: %llu whole of %llu connections\n",
                thumb_seconds, thumbnails / thumb_seconds, mail_seconds, mails / mail_seconds,
                static_cast<unsigned long long>(counts.complete),
                static_cast<unsigned long long>(counts.connections));

    std::vector<qb::Json> budget_runs;
    const bool budget_met = heic_budgets(argv[3], budget_runs);
    std::vector<qb::Json> beside_runs, burst_runs;
    const bool beside_met = small_beside_big(argv[4], beside_runs);
    rss_after_burst(argv[4], burst_runs);

    std::vector<qb::Json> tc, mc;
    for (long x : thumb_curve) tc.push_back(qb::Json::integer(x));
    for (long x : mail_curve) mc.push_back(qb::Json::integer(x));
    const auto load = qb::load_average();
    qb::Json::object({
        {"benchmark", qb::Json::string("memory")},
        {"thumbnails", qb::Json::integer(thumbnails)},
        {"mails", qb::Json::integer(mails)},
        {"samples", qb::Json::array(json)},
        {"rss_kib_per_thumbnail_batch", qb::Json::array(tc)},
        {"rss_kib_per_mail_batch", qb::Json::array(mc)},
        {"batch_rows", qb::Json::integer(kBatch)},
        {"thumbnail_seconds", qb::Json::number(thumb_seconds)},
        {"mail_seconds", qb::Json::number(mail_seconds)},
        {"sink_whole_messages", qb::Json::integer(static_cast<long long>(counts.complete))},
        {"attachment_23mib_peak_kib_alone", qb::Json::integer(alone_kib)},
        {"attachment_23mib_peak_kib_8_at_once", qb::Json::integer(together_kib)},
        {"heic_budget_runs", qb::Json::array(budget_runs)},
        {"small_beside_big", qb::Json::array(beside_runs)},
        {"burst", qb::Json::array(burst_runs)},
        {"load_average_at_end", qb::Json::numbers(load)},
    }).write(argv[1]);
    std::printf("  summary: %s (load average at end %.2f)\n", argv[1], load[0]);
    return budget_met && beside_met ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_memory: %s\n", e.what());
    return 1;
  }
}
