// Mail benchmark: velmar through SQL at 1, 4 and 8 concurrent connections
// against a loopback SMTP sink; messages per second and the share of
// messages the sink received whole. Then a profile of one call, made
// in-process through dlopen: where the time of a call goes. Then messages
// with a 1 MiB attachment against the same without, at 1 connection, and
// the cost of building such a message in-process (base64 and MIME), and
// the peak memory of one call with a 1 and a 23 MiB attachment. Then
// the same levels over STARTTLS beside the plain figures, and what a TLS
// context costs to build against taking the one kept. Last, statements
// against servers on a bad day: one that closes idle TLS sessions between
// rows, one that never answers.
//
//   bench_mail OUT_JSON            the whole benchmark
//   bench_mail --profile-only N    only N in-process calls (for strace -c)
//   bench_mail --attachment-peak MIB  one call's peak memory (see attachment_peak)
//   bench_mail --distant-only OUT_JSON, --bad-days-only OUT_JSON  one part
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "bench_util.h"
#include "bench_db.h"
#include "mariadb_server.h"
#include "bench_sink.h"
#include "delay_proxy.h"
#include "message.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "tls.h"
#include "udf_call.h"

namespace qb = quarn::bench;
namespace qt = quarn::test;

namespace {

const char kTo[] = "reader@example.invalid";
const char kFrom[] = "bench@example.invalid";
const char kSubject[] = "quarn-udf benchmark";

// A plain body of about 2 KiB in lines of 70 characters; the sink checks
// that it arrived inside each message.
std::string make_body() {
  std::string body;
  for (int line = 0; line < 30; ++line) {
    std::string text = "line " + std::to_string(line) + ": ";
    while (text.size() < 70) text += static_cast<char>('a' + (text.size() + line) % 26);
    body += text + "\r\n";
  }
  return body + "end of message";
}

double cpu_seconds_self() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// utime + stime of a process, from /proc/<pid>/stat.
double cpu_seconds_of(long pid) {
  const std::string stat = qb::read_bytes("/proc/" + std::to_string(pid) + "/stat");
  const auto close_paren = stat.rfind(')');
  std::istringstream fields(stat.substr(close_paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) {
      stime = std::stoull(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ProfileResult {
  long calls = 0;
  long ok = 0;
  double wall_ms_median = 0;
  double cpu_ms_per_call = 0;
  std::vector<std::pair<std::string, double>> phases;  // name, median ms
};

// Sequential in-process calls; the sink's timeline of each connection is
// matched with the call that made it (one at a time, so in order).
ProfileResult profile_calls(qb::BenchSink& sink, const std::string& body, long calls) {
  qt::Plugin plugin("velmar");
  qt::Function velmar(plugin, "velmar");
  qt::Args args;
  args.text(kTo).text(kFrom).text(kSubject).text(body).integer(0);

  sink.take_timelines();
  const std::uint64_t closed_before = sink.counts().connections;
  std::vector<qb::Clock::time_point> begin, end;
  ProfileResult result;
  const double cpu_start = cpu_seconds_self();
  for (long i = 0; i < calls; ++i) {
    begin.push_back(qb::Clock::now());
    // Each call a statement of its own (init, row, deinit): one connection.
    const qt::StringOutcome out = velmar.call_string(args);
    end.push_back(qb::Clock::now());
    if (out.text == "OK" && !out.is_null) ++result.ok;
  }
  const double cpu = cpu_seconds_self() - cpu_start;
  sink.wait_closed(closed_before + static_cast<std::uint64_t>(calls), std::chrono::seconds(10));
  const auto timelines = sink.take_timelines();

  auto ms = [](qb::Clock::time_point from, qb::Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  };
  std::vector<double> wall, connect, script, close_wait, teardown;
  for (long i = 0; i < calls; ++i) wall.push_back(ms(begin[i], end[i]));
  if (timelines.size() == static_cast<std::size_t>(calls)) {
    for (long i = 0; i < calls; ++i) {
      const auto& t = timelines[i];
      if (!t.complete) continue;
      connect.push_back(ms(begin[i], t.accepted));
      script.push_back(ms(t.accepted, t.end_of_data));
      close_wait.push_back(ms(t.end_of_data, t.client_eof));
      teardown.push_back(ms(t.client_eof, end[i]));
    }
  }
  result.calls = calls;
  result.wall_ms_median = qb::median(wall);
  result.cpu_ms_per_call = cpu * 1000.0 / calls;
  result.phases = {
      {"settings, lookup (resolver thread) and connect, until the sink accepted", qb::median(connect)},
      {"script written, accept to end-of-data line received", qb::median(script)},
      {"end-of-data line to the client's shutdown after its QUIT (the reply on the way)", qb::median(close_wait)},
      {"sink closes; client reads end of stream, closes, tears the session down", qb::median(teardown)},
  };
  return result;
}

void print_profile(const ProfileResult& p) {
  std::printf("\nProfile of one velmar call, in-process (dlopen), %ld calls one after another, medians:\n",
              p.calls);
  std::printf("  whole call %.3f ms wall, %.3f ms CPU of this process per call (sink included)\n",
              p.wall_ms_median, p.cpu_ms_per_call);
  for (const auto& [name, value] : p.phases) std::printf("  %8.3f ms  %s\n", value, name.c_str());
  std::fflush(stdout);
}

qb::Json profile_json(const ProfileResult& p) {
  std::vector<qb::Json> phases;
  for (const auto& [name, value] : p.phases)
    phases.push_back(qb::Json::object({{"phase", qb::Json::string(name)}, {"ms_median", qb::Json::number(value)}}));
  return qb::Json::object({
      {"calls", qb::Json::integer(p.calls)},
      {"ok", qb::Json::integer(p.ok)},
      {"wall_ms_median", qb::Json::number(p.wall_ms_median)},
      {"cpu_ms_per_call", qb::Json::number(p.cpu_ms_per_call)},
      {"phases", qb::Json::array(phases)},
  });
}

struct Level {
  long total = 0;  // messages per run
  std::vector<double> rates, latencies, server_cpu;
  std::uint64_t sent = 0, whole = 0, oks = 0;
};

// `runs` runs of per_level messages through SQL, spread over k connections.
Level measure_level(qb::BenchSink& sink, std::vector<std::unique_ptr<qt::Connection>>& connections,
                    const std::string& call, int k, long per_level, long runs, long server_pid) {
  Level level;
  const long each = per_level / k;
  const long total = each * k;
  level.total = total;
  std::vector<double>& rates = level.rates;
  std::vector<double>& latencies = level.latencies;
  std::vector<double>& server_cpu = level.server_cpu;
  std::uint64_t& sent = level.sent;
  std::uint64_t& whole = level.whole;
  std::uint64_t& oks = level.oks;
  for (long run = 0; run < runs; ++run) {
    sink.take_timelines();
    const auto before = sink.counts();
    const double cpu_before = cpu_seconds_of(server_pid);
    std::vector<long> ok_count(k, 0);
    std::vector<double> elapsed;
    const double wall = qb::run_concurrently(k, [&](int t) {
      const auto rows = connections[t]->rows("SELECT " + call + " FROM ids WHERE id <= " +
                                             std::to_string(each));
      for (const auto& row : rows)
        if (row[0] && *row[0] == "OK") ++ok_count[t];
    }, elapsed);
    // One session per statement, each on a connection of its own.
    sink.wait_closed(before.connections + static_cast<std::uint64_t>(k), std::chrono::seconds(15));
    const auto after = sink.counts();
    server_cpu.push_back((cpu_seconds_of(server_pid) - cpu_before) * 1000.0 / total);
    sent += static_cast<std::uint64_t>(total);
    whole += after.intact - before.intact;
    for (long n : ok_count) oks += static_cast<std::uint64_t>(n);
    rates.push_back(total / wall);
    latencies.push_back(qb::median(elapsed) * 1000.0 / each);
  }
  return level;
}

// ms per call of tls_context: building one (alternating between the
// system's store and a CA file defeats the kept context) and taking the one
// kept.
qb::Json context_cost(const std::string& ca_file) {
  const int calls = 40;
  std::vector<double> system_store, one_ca, kept;
  std::string why;
  auto time_call = [&](const std::string& file, std::vector<double>& into) {
    const auto start = qb::Clock::now();
    if (!quarn::mail::tls_context(file, &why)) throw std::runtime_error(why);
    into.push_back(std::chrono::duration<double, std::milli>(qb::Clock::now() - start).count());
  };
  for (int i = 0; i < calls; ++i) {
    time_call("", system_store);
    time_call(ca_file, one_ca);
  }
  for (int i = 0; i < calls; ++i) time_call(ca_file, kept);
  std::printf("\nTLS context per message, tls_context() in-process, medians of %d calls:\n", calls);
  std::printf("  %8.3f ms  built, the system's trust store (ca-certificates) loaded\n", qb::median(system_store));
  std::printf("  %8.3f ms  built, one CA file (smtp-ca-file) loaded\n", qb::median(one_ca));
  std::printf("  %8.3f ms  the context kept for the same setting\n", qb::median(kept));
  return qb::Json::object({{"system_store_ms", qb::Json::number(qb::median(system_store))},
                           {"ca_file_ms", qb::Json::number(qb::median(one_ca))},
                           {"kept_ms", qb::Json::number(qb::median(kept))}});
}

// Milliseconds per call of the message builder (median of `calls`) for
// this message, and the size of its data.
std::pair<double, std::size_t> build_ms(const quarn::mail::MessageText& text, int calls) {
  const quarn::mail::MessageStamp stamp = quarn::mail::new_stamp(text.from);
  std::vector<double> times;
  std::size_t bytes = 0;
  for (int i = 0; i < calls; ++i) {
    const auto start = qb::Clock::now();
    bytes = quarn::mail::outgoing_message(text, stamp).data.size();
    times.push_back(std::chrono::duration<double, std::milli>(qb::Clock::now() - start).count());
  }
  return {qb::median(times), bytes};
}

// A 1 MiB attachment per message through SQL at 1 connection, against the
// same message without it; then the builder alone, in-process.
qb::Json attachment_cost(qb::BenchSink& sink, std::vector<std::unique_ptr<qt::Connection>>& connections,
                         qt::Connection& admin, const std::string& call, const std::string& body,
                         long runs, long server_pid) {
  std::string blob(1 << 20, '\0');
  std::mt19937 random(1);
  for (char& c : blob) c = static_cast<char>(random());
  admin.rows("CREATE TABLE blobs (id INT PRIMARY KEY, data LONGBLOB)");
  admin.rows("INSERT INTO blobs VALUES (1, " + qt::Connection::hex_literal(blob) + ")");
  // call ends in ", 0)": the same message, the attachment after is_html.
  const std::string attached = call.substr(0, call.size() - 1) +
                               ", (SELECT data FROM blobs WHERE id = 1) AS attachment, 'data.bin' AS attachment_name)";
  if (admin.value("SELECT " + attached) != std::optional<std::string>("OK"))
    throw std::runtime_error("velmar with an attachment did not answer OK");
  const long messages = qb::env_count("QUARN_BENCH_ATTACHMENT_MAILS", 200);
  const Level plain = measure_level(sink, connections, call, 1, messages, runs, server_pid);
  const Level with = measure_level(sink, connections, attached, 1, messages, runs, server_pid);

  quarn::mail::MessageText text(kTo, kFrom, kSubject, body, false);
  const int calls = 40;
  const auto [plain_ms, plain_bytes] = build_ms(text, calls);
  text.attachments.push_back({"data.bin", blob});
  const auto [with_ms, with_bytes] = build_ms(text, calls);
  std::vector<double> base64_times;
  for (int i = 0; i < calls; ++i) {
    const auto start = qb::Clock::now();
    const std::string lines = quarn::mail::base64_lines(blob);
    base64_times.push_back(std::chrono::duration<double, std::milli>(qb::Clock::now() - start).count());
    if (lines.size() < blob.size()) throw std::runtime_error("base64_lines");
  }
  const double base64_ms = qb::median(base64_times);
  const double rate_plain = qb::median(plain.rates), rate_with = qb::median(with.rates);
  const double mb = static_cast<double>(blob.size()) / 1e6;
  const double wire_mb_s = rate_with * static_cast<double>(with_bytes) / 1e6;
  const double build_mb_s = mb / ((with_ms - plain_ms) / 1000.0);

  qb::Table table({"message", "messages/s", "received whole", "OK results", "data bytes",
                   "MB/s of data on the wire"});
  table.add({"without attachment", qb::fixed(rate_plain, 1),
             std::to_string(plain.whole) + "/" + std::to_string(plain.sent), std::to_string(plain.oks),
             std::to_string(plain_bytes), qb::fixed(rate_plain * static_cast<double>(plain_bytes) / 1e6, 2)});
  table.add({"1 MiB attachment", qb::fixed(rate_with, 1),
             std::to_string(with.whole) + "/" + std::to_string(with.sent), std::to_string(with.oks),
             std::to_string(with_bytes), qb::fixed(wire_mb_s, 2)});
  table.print("Mail through SQL at 1 connection, a 1 MiB attachment (random bytes, a BLOB) against none, "
              "medians of " + std::to_string(runs) + " runs of " + std::to_string(messages) + " messages");
  std::printf("  building in-process, medians of %d calls: %.3f ms without, %.3f ms with the attachment;\n"
              "  the attachment's share %.1f MB/s of input (base64 lines alone %.1f MB/s), against %.1f MB/s\n"
              "  of data that the whole call moves through SQL and SMTP\n",
              calls, plain_ms, with_ms, build_mb_s, mb / (base64_ms / 1000.0), wire_mb_s);
  return qb::Json::object({
      {"messages_per_run", qb::Json::integer(messages)},
      {"plain_messages_per_s_median", qb::Json::number(rate_plain)},
      {"attachment_messages_per_s_median", qb::Json::number(rate_with)},
      {"attachment_messages_per_s", qb::Json::numbers(with.rates)},
      {"received_whole", qb::Json::integer(static_cast<long long>(with.whole))},
      {"sent", qb::Json::integer(static_cast<long long>(with.sent))},
      {"data_bytes_with_attachment", qb::Json::integer(static_cast<long long>(with_bytes))},
      {"wire_mb_per_s", qb::Json::number(wire_mb_s)},
      {"build_ms_without", qb::Json::number(plain_ms)},
      {"build_ms_with", qb::Json::number(with_ms)},
      {"build_attachment_mb_per_s", qb::Json::number(build_mb_s)},
      {"base64_lines_mb_per_s", qb::Json::number(mb / (base64_ms / 1000.0))},
  });
}

void set_mail_environment(std::uint16_t port) {
  setenv("UDF_SMTPHOST", "127.0.0.1", 1);
  setenv("UDF_SMTPPORT", std::to_string(port).c_str(), 1);
  setenv("UDF_SMTPUSER", "bench", 1);
  setenv("UDF_SMTPPASSWORD", "bench-secret", 1);
  setenv("UDF_ERRORLOG", "bench", 1);  // settings published: no settings file looked for
}

// One in-process call with a MiB attachment, in a process of its own (run
// as bench_mail --attachment-peak MIB): how far the call raises the
// process's peak resident size (VmHWM) above what it held just before (the
// arguments, which the server owns, among it), beside the size of the
// encoded message. The sink runs in a child process: what it receives is
// not counted. Prints "RESULT RSS_KIB PEAK_KIB DATA_BYTES".
int attachment_peak(std::size_t mib) {
  int port_pipe[2], stop_pipe[2];
  if (pipe(port_pipe) != 0 || pipe(stop_pipe) != 0) throw std::runtime_error("pipe");
  const pid_t sink_pid = fork();
  if (sink_pid < 0) throw std::runtime_error("fork");
  if (sink_pid == 0) {
    close(stop_pipe[1]);
    {
      qb::BenchSink sink;
      const std::uint16_t port = sink.port();
      if (write(port_pipe[1], &port, sizeof port) != sizeof port) _exit(1);
      char byte;
      while (read(stop_pipe[0], &byte, 1) > 0) {
      }
    }
    _exit(0);
  }
  close(stop_pipe[0]);
  std::uint16_t port = 0;
  if (read(port_pipe[0], &port, sizeof port) != sizeof port) throw std::runtime_error("no sink");
  set_mail_environment(port);

  const std::string body = make_body();
  std::string blob(mib << 20, '\0');
  std::mt19937 random(1);
  for (char& c : blob) c = static_cast<char>(random());
  qt::Plugin plugin("velmar");
  qt::Function velmar(plugin, "velmar");
  qt::Args small;
  small.text(kTo).text(kFrom).text(kSubject).text(body).integer(0).text("x").as("attachment");
  if (velmar.call_string(small).text != "OK") throw std::runtime_error("the warm-up call failed");
  qt::Args args;
  args.text(kTo).text(kFrom).text(kSubject).text(body).integer(0).text(blob).as("attachment")
      .text("data.bin").as("attachment_name");

  const long pid = getpid();
  const long before = qb::rss_kib(pid);
  qb::reset_peak(pid);
  const std::string result = velmar.call_string(args).text;
  const long peak = qb::rss_kib(pid, "VmHWM:");

  quarn::mail::MessageText text(kTo, kFrom, kSubject, body, false);
  text.attachments.push_back({"data.bin", blob});
  const std::size_t data_bytes =
      quarn::mail::outgoing_message(text, quarn::mail::new_stamp(kFrom)).data.size();
  close(stop_pipe[1]);
  waitpid(sink_pid, nullptr, 0);
  std::printf("%s %ld %ld %zu\n", result == "OK" ? "OK" : "failed", before, peak, data_bytes);
  return result == "OK" ? 0 : 1;
}

// The figures of attachment_peak, each from a fresh process, for
// attachments of these sizes (23 MiB: the size the limit of 32 MiB of
// encoded data still lets through): medians of `runs`.
qb::Json attachment_peaks(const std::vector<std::size_t>& sizes, long runs) {
  char self[4096] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) throw std::runtime_error("readlink");
  qb::Table table({"attachment", "encoded message bytes", "peak above before the call, MiB",
                   "peak / encoded message"});
  std::vector<qb::Json> json;
  for (const std::size_t mib : sizes) {
    std::vector<double> peaks;
    std::size_t data_bytes = 0;
    for (long run = 0; run < runs; ++run) {
      const std::string command = std::string(self) + " --attachment-peak " + std::to_string(mib);
      FILE* child = popen(command.c_str(), "r");
      if (child == nullptr) throw std::runtime_error("popen");
      char result[16] = {};
      long before = 0, peak = 0;
      const int got = std::fscanf(child, "%15s %ld %ld %zu", result, &before, &peak, &data_bytes);
      if (pclose(child) != 0 || got != 4 || std::string(result) != "OK")
        throw std::runtime_error("attachment peak of " + std::to_string(mib) + " MiB failed");
      peaks.push_back(static_cast<double>(peak - before) * 1024.0);
    }
    const double peak = qb::median(peaks);
    const double ratio = peak / static_cast<double>(data_bytes);
    table.add({std::to_string(mib) + " MiB", std::to_string(data_bytes), qb::fixed(peak / (1 << 20), 1),
               qb::fixed(ratio, 2)});
    json.push_back(qb::Json::object({
        {"attachment_mib", qb::Json::integer(static_cast<long long>(mib))},
        {"data_bytes", qb::Json::integer(static_cast<long long>(data_bytes))},
        {"peak_bytes_median", qb::Json::number(peak)},
        {"peak_bytes", qb::Json::numbers(peaks)},
        {"peak_per_data_byte", qb::Json::number(ratio)},
    }));
  }
  table.print("One velmar call with an attachment (random bytes), in-process, a fresh process each "
              "(the sink in another): VmHWM above the resident size before the call, medians of " +
              std::to_string(runs) + " (target: at most 1.5 x the encoded message)");
  return qb::Json::array(json);
}

// velmar's settings file, pointed at 127.0.0.1:port (over STARTTLS, or
// security, trusting ca_file when one is given), loaded.
void use_server(qt::MariaDbServer& server, qt::Connection& admin, std::uint16_t port,
                const std::string& ca_file, const std::string& security = "starttls") {
  std::string ini = "[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " + std::to_string(port) +
                    "\nsmtp-user = bench\nsmtp-password = bench-secret\n";
  if (!ca_file.empty()) ini += "smtp-security = " + security + "\nsmtp-ca-file = " + ca_file + "\n";
  qt::write_file(server.data_dir() + "/quarn_udf.ini", ini);
  admin.value("SELECT udf_loadini(TRUE)");
}

// 50-row statements through SQL against a server RTT away: a proxy in front
// of the sink holds each direction back by RTT/2. Messages per second, and
// round trips per message from the slope between the two largest RTTs.
qb::Json distant_server(qt::MariaDbServer& server, qt::Connection& admin, qt::Connection& db,
                        const std::string& call, const std::string& body,
                        const qt::TestCertificates& certs) {
  const long rows = 50;
  const long runs = qb::env_count("QUARN_BENCH_RTT_RUNS", 3);
  const std::vector<int> rtts = {0, 10, 40};
  qb::BenchSink::Options tls_options;
  tls_options.tls_cert = certs.file("good.pem");
  tls_options.tls_key = certs.file("server.key");
  qb::BenchSink plain_sink(body), tls_sink(body, false, tls_options);
  qb::Table table({"connection", "RTT ms", "messages/s", "ms per message", "OK results",
                   "received whole", "round trips per message"});
  std::vector<qb::Json> json;
  for (const bool tls : {false, true}) {
    qb::BenchSink& sink = tls ? tls_sink : plain_sink;
    std::map<int, double> ms_per_message;
    for (const int rtt : rtts) {
      qb::DelayProxy proxy(sink.port(), std::chrono::microseconds(rtt * 500));
      use_server(server, admin, proxy.port(), tls ? certs.file("ca.pem") : "");
      std::vector<double> rates;
      long oks = 0;
      const auto before = sink.counts();
      for (long run = 0; run <= runs; ++run) {  // run 0 warms up
        const auto start = qb::Clock::now();
        const auto got = db.rows("SELECT " + call + " FROM ids WHERE id <= " + std::to_string(rows));
        const double seconds = std::chrono::duration<double>(qb::Clock::now() - start).count();
        for (const auto& row : got) oks += row[0] && *row[0] == "OK";
        if (run > 0) rates.push_back(rows / seconds);
      }
      const auto after = sink.counts();
      const double rate = qb::median(rates);
      ms_per_message[rtt] = 1000.0 / rate;
      const long sent = rows * (runs + 1);
      std::string round_trips = "";
      if (rtt == rtts.back()) {
        const int low = rtts[rtts.size() - 2];
        round_trips = qb::fixed((ms_per_message[rtt] - ms_per_message[low]) / (rtt - low), 2);
      }
      table.add({tls ? "STARTTLS" : "plain", std::to_string(rtt), qb::fixed(rate, 1),
                 qb::fixed(ms_per_message[rtt], 2), std::to_string(oks) + "/" + std::to_string(sent),
                 std::to_string(after.intact - before.intact), round_trips});
      json.push_back(qb::Json::object({
          {"starttls", qb::Json::boolean(tls)},
          {"rtt_ms", qb::Json::integer(rtt)},
          {"messages_per_s_median", qb::Json::number(rate)},
          {"messages_per_s", qb::Json::numbers(rates)},
          {"ok_results", qb::Json::integer(oks)},
          {"sent", qb::Json::integer(sent)},
          {"received_whole", qb::Json::integer(static_cast<long long>(after.intact - before.intact))},
      }));
    }
  }
  table.print("Mail through SQL, statements of " + std::to_string(rows) +
              " rows against a server RTT away (a delaying proxy before the sink), medians of " +
              std::to_string(runs) + " runs; round trips per message: slope between the two largest RTTs");
  return qb::Json::array(json);
}

// Statements through SQL against servers on a bad day (tests/support's
// scripted server): 20 rows over TLS, 0.3 s apart (SLEEP), against a server
// that closes a session idle for 0.2 s as Postfix does after smtpd_timeout
// (a 421, then the connection closed at once), so that every row after the
// first finds its connection closed; and 50 rows against a server that
// accepts and never answers, with the default deadline (30 s).
qb::Json bad_days(qt::MariaDbServer& server, qt::Connection& admin, qt::Connection& db,
                  const std::string& call, const qt::TestCertificates& certs) {
  const long idle_rows = 20;
  const double gap = 0.3;
  const long idle_runs = qb::env_count("QUARN_BENCH_IDLE_RUNS", 3);
  const long hung_rows = qb::env_count("QUARN_BENCH_HUNG_ROWS", 50);
  const auto statement = [&db](const std::string& sql, long* oks) {
    const auto start = qb::Clock::now();
    const auto rows = db.rows(sql);
    const double seconds = std::chrono::duration<double>(qb::Clock::now() - start).count();
    for (const auto& row : rows) *oks += row.back() && *row.back() == "OK";
    return seconds;
  };
  qb::Table table({"server", "rows", "statements", "seconds per statement", "s per row beyond SLEEP",
                   "OK results", "connections"});

  qt::ScriptedSmtpServer idle("bench", "bench-secret", certs.dir());
  idle.behave(R"({"tls": true, "idle": 0.2, "idle_reply": "421 4.4.2 Error: timeout exceeded"})");
  use_server(server, admin, idle.port(), certs.file("ca.pem"), "tls");
  std::vector<double> idle_seconds;
  long idle_oks = 0;
  for (long run = 0; run < idle_runs; ++run)
    idle_seconds.push_back(statement("SELECT SLEEP(" + qb::fixed(gap, 1) + "), " + call +
                                         " FROM ids WHERE id <= " + std::to_string(idle_rows),
                                     &idle_oks));
  const int idle_connections = idle.accepted();
  const double idle_median = qb::median(idle_seconds);
  table.add({"TLS, closes sessions idle 0.2 s", std::to_string(idle_rows), std::to_string(idle_runs),
             qb::fixed(idle_median, 2), qb::fixed((idle_median - idle_rows * gap) / idle_rows, 3),
             std::to_string(idle_oks) + "/" + std::to_string(idle_rows * idle_runs),
             std::to_string(idle_connections)});

  qt::ScriptedSmtpServer hung("bench", "bench-secret");
  hung.behave(R"({"stall": "greeting", "stall_seconds": 3600})");
  use_server(server, admin, hung.port(), "");
  long hung_oks = 0;
  const double hung_seconds =
      statement("SELECT " + call + " FROM ids WHERE id <= " + std::to_string(hung_rows), &hung_oks);
  const int hung_connections = hung.accepted();
  table.add({"plain, never answers (deadline 30 s)", std::to_string(hung_rows), "1",
             qb::fixed(hung_seconds, 2), qb::fixed(hung_seconds / hung_rows, 3),
             std::to_string(hung_oks) + "/" + std::to_string(hung_rows),
             std::to_string(hung_connections)});
  table.print("Mail through SQL against servers on a bad day, one statement of N rows at a time "
              "(medians of the statements)");
  return qb::Json::object({
      {"idle_close_tls", qb::Json::object({
           {"rows", qb::Json::integer(idle_rows)},
           {"row_gap_s", qb::Json::number(gap)},
           {"seconds_per_statement_median", qb::Json::number(idle_median)},
           {"seconds_per_statement", qb::Json::numbers(idle_seconds)},
           {"ok_results", qb::Json::integer(idle_oks)},
           {"connections", qb::Json::integer(idle_connections)},
       })},
      {"hung_server", qb::Json::object({
           {"rows", qb::Json::integer(hung_rows)},
           {"seconds_per_statement", qb::Json::number(hung_seconds)},
           {"ok_results", qb::Json::integer(hung_oks)},
           {"connections", qb::Json::integer(hung_connections)},
       })},
  });
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string body = make_body();
    if (argc == 3 && std::string(argv[1]) == "--attachment-peak")
      return attachment_peak(std::stoul(argv[2]));
    if (argc == 3 && std::string(argv[1]) == "--profile-only") {
      qb::BenchSink sink(body, true);
      set_mail_environment(sink.port());
      const ProfileResult p = profile_calls(sink, body, std::stol(argv[2]));
      print_profile(p);
      return p.ok == p.calls ? 0 : 1;
    }
    const bool distant_only = argc == 3 && std::string(argv[1]) == "--distant-only";
    const bool bad_days_only = argc == 3 && std::string(argv[1]) == "--bad-days-only";
    if (distant_only || bad_days_only) argv[1] = argv[2];
    if (argc != 2 && !distant_only && !bad_days_only) {
      std::fprintf(stderr,
                   "usage: bench_mail OUT_JSON | bench_mail --profile-only N | "
                   "bench_mail --distant-only OUT_JSON | bench_mail --bad-days-only OUT_JSON\n");
      return 2;
    }
    const long per_level = qb::env_count("QUARN_BENCH_MAILS", 2000);
    const long runs = qb::env_count("QUARN_BENCH_MAIL_RUNS", 3);
    const long profile_count = qb::env_count("QUARN_BENCH_MAIL_PROFILE_CALLS", 300);
    const std::vector<int> levels = {1, 4, 8};

    qb::BenchSink sink(body, true);
    set_mail_environment(sink.port());
    std::printf("mail: sink on 127.0.0.1:%u, %ld messages per level and run, %ld runs, body %zu bytes\n",
                sink.port(), per_level, runs, body.size());
    std::printf("starting the throwaway server...\n");
    std::fflush(stdout);
    qt::MariaDbServer server({{"UDF_SMTPHOST", "127.0.0.1"},
                              {"UDF_SMTPPORT", std::to_string(sink.port())},
                              {"UDF_SMTPUSER", "bench"},
                              {"UDF_SMTPPASSWORD", "bench-secret"}});
    server.install_functions();
    const auto admin_owner = qb::bench_connection(server);
    qt::Connection& admin = *admin_owner;
    const long server_pid = qb::server_pid(admin);
    qb::make_ids_table(admin, per_level);
    std::vector<std::unique_ptr<qt::Connection>> connections;
    for (int i = 0; i < 8; ++i)
      connections.push_back(qb::bench_connection(server));
    const std::string call = "velmar(" + qt::Connection::quote(kTo) + ", " +
                             qt::Connection::quote(kFrom) + ", " + qt::Connection::quote(kSubject) +
                             ", " + qt::Connection::quote(body) + ", 0)";
    // Warm-up: the library is loaded on first use.
    if (admin.value("SELECT " + call) != std::optional<std::string>("OK"))
      throw std::runtime_error("velmar through SQL did not answer OK");
    sink.take_timelines();
    if (bad_days_only) {
      const qt::TestCertificates certs;
      qb::Json::object({{"benchmark", qb::Json::string("mail")},
                        {"bad_days", bad_days(server, admin, *connections[0], call, certs)}})
          .write(argv[1]);
      return 0;
    }
    if (distant_only) {
      const qt::TestCertificates certs;
      qb::Json::object({{"benchmark", qb::Json::string("mail")},
                        {"distant_server",
                         distant_server(server, admin, *connections[0], call, body, certs)}})
          .write(argv[1]);
      return 0;
    }

    qb::Table table({"connections", "messages/s", "received whole", "OK results",
                     "ms per message seen by a conn", "server CPU ms/msg"});
    std::vector<qb::Json> level_json;
    double rate_at_8 = 0, whole_at_8 = 0;
    bool all_whole = true;
    std::map<int, double> plain_rates;
    for (int k : levels) {
      const Level level = measure_level(sink, connections, call, k, per_level, runs, server_pid);
      const long total = level.total;
      const std::vector<double>& rates = level.rates;
      const std::vector<double>& latencies = level.latencies;
      const std::vector<double>& server_cpu = level.server_cpu;
      const std::uint64_t sent = level.sent, whole = level.whole, oks = level.oks;
      const double rate = qb::median(rates);
      plain_rates[k] = rate;
      const double share = sent ? static_cast<double>(whole) / static_cast<double>(sent) : 0;
      if (whole != sent) all_whole = false;
      if (k == 8) {
        rate_at_8 = rate;
        whole_at_8 = share;
      }
      table.add({std::to_string(k), qb::fixed(rate, 1),
                 std::to_string(whole) + "/" + std::to_string(sent) + " (" + qb::fixed(100 * share, 2) + "%)",
                 std::to_string(oks), qb::fixed(qb::median(latencies), 2),
                 qb::fixed(qb::median(server_cpu), 3)});
      level_json.push_back(qb::Json::object({
          {"connections", qb::Json::integer(k)},
          {"messages_per_run", qb::Json::integer(total)},
          {"messages_per_s_median", qb::Json::number(rate)},
          {"messages_per_s", qb::Json::numbers(rates)},
          {"sent", qb::Json::integer(static_cast<long long>(sent))},
          {"received_whole", qb::Json::integer(static_cast<long long>(whole))},
          {"share_received_whole", qb::Json::number(share)},
          {"ok_results", qb::Json::integer(static_cast<long long>(oks))},
          {"ms_per_message_per_connection_median", qb::Json::number(qb::median(latencies))},
          {"server_cpu_ms_per_message_median", qb::Json::number(qb::median(server_cpu))},
      }));
    }
    table.print("Mail through SQL against the loopback sink, medians of " + std::to_string(runs) +
                " runs (target: all received, >= 1000 messages/s at 8 connections)");
    const bool target = all_whole && rate_at_8 >= 1000.0;
    std::printf("  target %s: %.1f messages/s at 8 connections, %.2f%% received whole\n",
                target ? "met" : "NOT met", rate_at_8, 100 * whole_at_8);

    const ProfileResult p = profile_calls(sink, body, profile_count);
    print_profile(p);
    const auto totals = sink.counts();
    std::printf("  sink totals: %llu connections, %llu whole messages, %llu incomplete, %llu resets\n",
                static_cast<unsigned long long>(totals.connections),
                static_cast<unsigned long long>(totals.intact),
                static_cast<unsigned long long>(totals.incomplete),
                static_cast<unsigned long long>(totals.resets));

    const qb::Json attachment_json =
        attachment_cost(sink, connections, admin, call, body, runs, server_pid);
    const qb::Json peak_json = attachment_peaks({1, 23}, qb::env_count("QUARN_BENCH_PEAK_RUNS", 3));

    // The same levels over STARTTLS: the sink offers it with a certificate
    // of a test CA that velmar trusts through smtp-ca-file.
    const long tls_messages = qb::env_count("QUARN_BENCH_TLS_MAILS", per_level / 2);
    const qt::TestCertificates certs;
    std::vector<qb::Json> tls_json;
    {
      qb::BenchSink::Options options;
      options.tls_cert = certs.file("good.pem");
      options.tls_key = certs.file("server.key");
      qb::BenchSink tls_sink(body, false, options);
      use_server(server, admin, tls_sink.port(), certs.file("ca.pem"));
      if (admin.value("SELECT " + call) != std::optional<std::string>("OK"))
        throw std::runtime_error("velmar over STARTTLS did not answer OK");
      qb::Table tls_table({"connections", "plain messages/s", "STARTTLS messages/s", "STARTTLS/plain",
                           "received whole", "OK results", "server CPU ms/msg"});
      for (int k : levels) {
        const Level level =
            measure_level(tls_sink, connections, call, k, tls_messages, runs, server_pid);
        const double rate = qb::median(level.rates);
        if (level.whole != level.sent) all_whole = false;
        tls_table.add({std::to_string(k), qb::fixed(plain_rates[k], 1), qb::fixed(rate, 1),
                       qb::fixed(rate / plain_rates[k], 3),
                       std::to_string(level.whole) + "/" + std::to_string(level.sent),
                       std::to_string(level.oks), qb::fixed(qb::median(level.server_cpu), 3)});
        tls_json.push_back(qb::Json::object({
            {"connections", qb::Json::integer(k)},
            {"plain_messages_per_s_median", qb::Json::number(plain_rates[k])},
            {"messages_per_s_median", qb::Json::number(rate)},
            {"messages_per_s", qb::Json::numbers(level.rates)},
            {"sent", qb::Json::integer(static_cast<long long>(level.sent))},
            {"received_whole", qb::Json::integer(static_cast<long long>(level.whole))},
            {"ok_results", qb::Json::integer(static_cast<long long>(level.oks))},
            {"server_cpu_ms_per_message_median", qb::Json::number(qb::median(level.server_cpu))},
        }));
      }
      tls_table.print("Mail through SQL over STARTTLS (the sink's P-256 certificate), medians of " +
                      std::to_string(runs) + " runs of " + std::to_string(tls_messages) +
                      " messages, beside the plain figures above");
    }
    const qb::Json context_json = context_cost(certs.file("ca.pem"));
    const qb::Json distant_json = distant_server(server, admin, *connections[0], call, body, certs);
    const qb::Json bad_days_json = bad_days(server, admin, *connections[0], call, certs);

    // The same through replies that come 5 ms after their command, as from
    // a distant server: with PIPELINING, MAIL, RCPT and DATA share one wait.
    const long slow_messages = qb::env_count("QUARN_BENCH_SLOW_MAILS", 200);
    std::vector<qb::Json> slow_json;
    qb::Table slow_table({"PIPELINING", "connections", "messages/s", "received whole", "OK results",
                          "ms per message seen by a conn"});
    for (const bool pipelining : {true, false}) {
      qb::BenchSink::Options options;
      options.reply_delay = std::chrono::milliseconds(5);
      options.pipelining = pipelining;
      qb::BenchSink slow(body, false, options);
      use_server(server, admin, slow.port(), "");
      for (int k : levels) {
        const Level level =
            measure_level(slow, connections, call, k, slow_messages, runs, server_pid);
        const double rate = qb::median(level.rates);
        if (level.whole != level.sent) all_whole = false;
        slow_table.add({pipelining ? "offered" : "not offered", std::to_string(k), qb::fixed(rate, 1),
                        std::to_string(level.whole) + "/" + std::to_string(level.sent),
                        std::to_string(level.oks), qb::fixed(qb::median(level.latencies), 2)});
        slow_json.push_back(qb::Json::object({
            {"pipelining", qb::Json::boolean(pipelining)},
            {"connections", qb::Json::integer(k)},
            {"messages_per_s_median", qb::Json::number(rate)},
            {"messages_per_s", qb::Json::numbers(level.rates)},
            {"sent", qb::Json::integer(static_cast<long long>(level.sent))},
            {"received_whole", qb::Json::integer(static_cast<long long>(level.whole))},
            {"ok_results", qb::Json::integer(static_cast<long long>(level.oks))},
        }));
      }
    }
    slow_table.print("Mail through SQL against a sink that replies 5 ms after each command, medians of " +
                     std::to_string(runs) + " runs of " + std::to_string(slow_messages) + " messages");

    const auto load = qb::load_average();
    qb::Json::object({
        {"benchmark", qb::Json::string("mail")},
        {"body_bytes", qb::Json::integer(static_cast<long long>(body.size()))},
        {"runs", qb::Json::integer(runs)},
        {"levels", qb::Json::array(level_json)},
        {"target_met", qb::Json::boolean(target)},
        {"profile_in_process", profile_json(p)},
        {"slow_sink_5ms", qb::Json::array(slow_json)},
        {"attachment_1mib", attachment_json},
        {"attachment_peak", peak_json},
        {"starttls", qb::Json::array(tls_json)},
        {"tls_context", context_json},
        {"distant_server", distant_json},
        {"bad_days", bad_days_json},
        {"sink_incomplete", qb::Json::integer(static_cast<long long>(totals.incomplete))},
        {"sink_resets", qb::Json::integer(static_cast<long long>(totals.resets))},
        {"cores", qb::Json::integer(std::thread::hardware_concurrency())},
        {"load_average_at_end", qb::Json::numbers(load)},
    }).write(argv[1]);
    std::printf("  summary: %s (load average at end %.2f)\n", argv[1], load[0]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_mail: %s\n", e.what());
    return 1;
  }
}
