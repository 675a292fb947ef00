// Thumbnail benchmark: the same images, box 200x200, three ways in one run:
//   (a) floor: the image library's call sequence of the image stage in a loop
//   (b) the tarvik entry point, loaded with dlopen as the server loads it
//   (c) SELECT tarvik(...) over a table of N rows on a throwaway server
// then 1, 2 and 4 connections at once through SQL.
//
//   bench_thumbnail OUT_JSON PNG_640x480 JPEG_1600x1200 JPEG_4000x3000
#include <IL/il.h>
#include <IL/ilu.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "bench_util.h"
#include "bench_db.h"
#include "mariadb_server.h"
#include "preflight.h"
#include "test_util.h"
#include "udf_call.h"

namespace qb = quarn::bench;
namespace qt = quarn::test;

namespace {

constexpr long long kBox = 200;

struct Image {
  std::string label;
  std::string table;
  std::string bytes;
  long iterations;  // calls per run for (a) and (b), rows for (c)
};

// The new size exactly as the image stage computes it (single precision,
// an exact half rounding down).
float round_half_down(float x) {
  const float fraction = std::fmod(x, 1.0f);
  return fraction > 0.5f ? std::ceil(x) : std::floor(x);
}

// (a): the library calls of the image stage, nothing else: no lock, no
// path building, no checks of the input.
bool floor_once(const std::string& bytes, const std::string& path) {
  ilInit();
  iluImageParameter(ILU_FILTER, ILU_SCALE_BSPLINE);
  ilSetInteger(IL_JPG_QUALITY, 90);
  ilEnable(IL_FILE_OVERWRITE);
  ILuint name = 0;
  ilGenImages(1, &name);
  ilBindImage(name);
  bool ok = ilLoadL(IL_TYPE_UNKNOWN, bytes.data(), static_cast<ILuint>(bytes.size()));
  if (ok) {
    const float h = static_cast<float>(static_cast<ILuint>(ilGetInteger(IL_IMAGE_HEIGHT)));
    const float w = static_cast<float>(static_cast<ILuint>(ilGetInteger(IL_IMAGE_WIDTH)));
    const ILuint depth = static_cast<ILuint>(ilGetInteger(IL_IMAGE_DEPTH));
    const float rw = static_cast<float>(kBox) / w;
    const float rh = static_cast<float>(kBox) / h;
    const float s = rw > rh ? rh : rw;
    ok = iluScale(static_cast<ILuint>(round_half_down(w * s)),
                  static_cast<ILuint>(round_half_down(h * s)), depth) &&
         ilSave(IL_JPG, path.c_str());
  }
  ilDeleteImages(1, &name);
  return ok;
}

double time_floor(const Image& image, const std::string& dir) {
  const auto start = qb::Clock::now();
  for (long i = 0; i < image.iterations; ++i) {
    if (!floor_once(image.bytes, dir + "/a_" + image.table + std::to_string(i) + ".jpg"))
      throw std::runtime_error("floor failed for " + image.label);
  }
  return qb::seconds_since(start) * 1000.0 / image.iterations;
}

// The entry point's own look at the header before the image library runs,
// one part of what (b) adds to (a).
double time_preflight(const Image& image) {
  const long calls = 50;
  const auto start = qb::Clock::now();
  for (long i = 0; i < calls; ++i) {
    const auto check = quarn::thumb::preflight_image(image.bytes.data(), image.bytes.size());
    if (check.refused) throw std::runtime_error("pre-flight refused " + image.label + ": " + check.reason);
  }
  return qb::seconds_since(start) * 1000.0 / calls;
}

double time_entry(const qt::Function& tarvik, const Image& image) {
  qt::Args args;
  args.text(image.bytes).text("b_" + image.table).integer(kBox).integer(kBox);
  const qt::InitOutcome started = tarvik.init(args);
  if (started.refused) throw std::runtime_error("tarvik_init refused: " + started.message);
  UDF_INIT initid = started.initid;
  const auto start = qb::Clock::now();
  for (long i = 0; i < image.iterations; ++i) {
    const qt::StringOutcome out = tarvik.row_string(initid, args);
    if (out.text.rfind("File written as ", 0) != 0)
      throw std::runtime_error("tarvik failed: " + out.text);
  }
  return qb::seconds_since(start) * 1000.0 / image.iterations;
}

std::string select_sql(const std::string& table, const std::string& prefix, long rows) {
  return "SELECT tarvik(img, CONCAT('" + prefix + "', id), " + std::to_string(kBox) + ", " +
         std::to_string(kBox) + ") FROM " + table + " WHERE id <= " + std::to_string(rows);
}

// Runs the statement and checks every row's status text.
void run_select(qt::Connection& connection, const std::string& sql, long rows) {
  const auto result = connection.rows(sql);
  if (static_cast<long>(result.size()) != rows)
    throw std::runtime_error("expected " + std::to_string(rows) + " rows");
  for (const auto& row : result) {
    if (!row[0] || row[0]->rfind("File written as ", 0) != 0)
      throw std::runtime_error("tarvik through SQL failed: " + row[0].value_or("NULL"));
  }
}

double time_sql(qt::Connection& connection, const Image& image) {
  const std::string sql = select_sql(image.table, "c_" + image.table, image.iterations);
  const auto start = qb::Clock::now();
  run_select(connection, sql, image.iterations);
  return qb::seconds_since(start) * 1000.0 / image.iterations;
}

// A table of exactly `rows` rows, each holding the image.
void fill_table(qt::Connection& connection, const std::string& table, const std::string& bytes,
                long rows) {
  connection.rows("DROP TABLE IF EXISTS " + table);
  connection.rows("CREATE TABLE " + table +
                  " (id INT AUTO_INCREMENT PRIMARY KEY, img LONGBLOB NOT NULL) ENGINE=InnoDB");
  connection.rows("INSERT INTO " + table + " (id, img) VALUES (1, " + qt::Connection::hex_literal(bytes) + ")");
  // Doubling with explicit ids (auto-increment may leave gaps in bulk
  // inserts), so the ids are exactly 1..rows.
  long have = 1;
  while (have < rows) {
    const long more = std::min(have, rows - have);
    connection.rows("INSERT INTO " + table + " (id, img) SELECT id + " + std::to_string(have) +
                    ", img FROM " + table + " WHERE id <= " + std::to_string(more));
    have += more;
  }
  const auto count = connection.value("SELECT COUNT(*) FROM " + table + " WHERE id <= " +
                                      std::to_string(rows));
  if (!count || std::stol(*count) != rows) throw std::runtime_error("table " + table + " not filled");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_thumbnail OUT_JSON PNG_640x480 JPEG_1600x1200 JPEG_4000x3000\n");
    return 2;
  }
  try {
    const long runs = qb::env_count("QUARN_BENCH_RUNS", 5);
    const long conc_rows = qb::env_count("QUARN_BENCH_CONC_ROWS", 24);
    const long conc_runs = qb::env_count("QUARN_BENCH_CONC_RUNS", 3);
    std::vector<Image> images = {
        {"640x480 PNG", "img_small", qb::read_bytes(argv[2]), qb::env_count("QUARN_BENCH_ITER_SMALL", 40)},
        {"1600x1200 JPEG", "img_medium", qb::read_bytes(argv[3]), qb::env_count("QUARN_BENCH_ITER_MEDIUM", 15)},
        {"4000x3000 JPEG", "img_large", qb::read_bytes(argv[4]), qb::env_count("QUARN_BENCH_ITER_LARGE", 4)},
    };

    qt::TempDir out_dir;
    setenv("UDF_IMAGEDIR", out_dir.path().c_str(), 1);
    ilInit();
    qt::Plugin plugin("tarvik");
    qt::Function tarvik(plugin, "tarvik");

    std::printf("thumbnails: box %lldx%lld, %ld runs; per run (a) and (b) call each image, (c) selects that many rows:",
                kBox, kBox, runs);
    for (const auto& image : images)
      std::printf(" %s x%ld (%zu bytes)", image.label.c_str(), image.iterations, image.bytes.size());
    std::printf("\nstarting the throwaway server...\n");
    std::fflush(stdout);

    qt::MariaDbServer server({{"UDF_IMAGEDIR", out_dir.path()}});
    server.install_functions();
    const auto connection_owner = qb::bench_connection(server);
    qt::Connection& connection = *connection_owner;
    for (std::size_t i = 0; i < images.size(); ++i)  // the medium one also serves the concurrency runs
      fill_table(connection, images[i].table, images[i].bytes,
                 i == 1 ? std::max(images[i].iterations, conc_rows) : images[i].iterations);

    // One warm-up call each way, so library loading and first-touch costs
    // stay out of the medians.
    for (auto image : images) {
      image.iterations = 1;
      time_floor(image, out_dir.path());
      time_entry(tarvik, image);
      time_sql(connection, image);
    }

    // Per image and way: one value per run; the ratios are taken within each
    // run, then their median is reported.
    std::map<std::string, std::vector<double>> a, b, c, ba, ca, pre;
    for (long run = 0; run < runs; ++run) {
      for (const auto& image : images) {
        const double ta = time_floor(image, out_dir.path());
        const double tb = time_entry(tarvik, image);
        const double tc = time_sql(connection, image);
        pre[image.label].push_back(time_preflight(image));
        a[image.label].push_back(ta);
        b[image.label].push_back(tb);
        c[image.label].push_back(tc);
        ba[image.label].push_back(tb / ta);
        ca[image.label].push_back(tc / ta);
      }
      std::printf("  run %ld of %ld done\n", run + 1, runs);
      std::fflush(stdout);
    }

    qb::Table ways({"image", "(a) floor ms", "(b) entry ms", "(c) SQL ms", "b/a", "c/a",
                    "b/a min..max", "pre-flight ms (in b)"});
    std::vector<qb::Json> way_json;
    for (const auto& image : images) {
      const auto& l = image.label;
      const double mba = qb::median(ba[l]);
      ways.add({l, qb::fixed(qb::median(a[l]), 2), qb::fixed(qb::median(b[l]), 2),
                qb::fixed(qb::median(c[l]), 2), qb::fixed(mba, 3), qb::fixed(qb::median(ca[l]), 3),
                qb::fixed(*std::min_element(ba[l].begin(), ba[l].end()), 3) + ".." +
                    qb::fixed(*std::max_element(ba[l].begin(), ba[l].end()), 3),
                qb::fixed(qb::median(pre[l]), 3)});
      way_json.push_back(qb::Json::object({
          {"image", qb::Json::string(l)},
          {"bytes", qb::Json::integer(static_cast<long long>(image.bytes.size()))},
          {"calls_per_run", qb::Json::integer(image.iterations)},
          {"floor_ms_median", qb::Json::number(qb::median(a[l]))},
          {"entry_ms_median", qb::Json::number(qb::median(b[l]))},
          {"sql_ms_median", qb::Json::number(qb::median(c[l]))},
          {"ratio_entry_floor_median", qb::Json::number(mba)},
          {"ratio_sql_floor_median", qb::Json::number(qb::median(ca[l]))},
          {"ratio_entry_floor_target_met", qb::Json::boolean(mba <= 1.05)},
          {"preflight_ms_median", qb::Json::number(qb::median(pre[l]))},
          {"floor_ms", qb::Json::numbers(a[l])},
          {"entry_ms", qb::Json::numbers(b[l])},
          {"sql_ms", qb::Json::numbers(c[l])},
      }));
    }
    ways.print("Thumbnails, box 200x200: milliseconds per image, medians of " + std::to_string(runs) +
               " runs (target b/a <= 1.05)");

    // Concurrency through SQL: k connections each select conc_rows
    // thumbnails of the medium image at the same time.
    const Image& medium = images[1];
    std::vector<std::unique_ptr<qt::Connection>> connections;
    for (int i = 0; i < 4; ++i)
      connections.push_back(qb::bench_connection(server));
    const double stage_ms = qb::median(a[medium.label]);
    const double ceiling = 1000.0 / stage_ms;
    const unsigned cores = std::thread::hardware_concurrency();
    qb::Table conc({"connections", "thumbnails/s", "x of 1 conn", "ms per row seen by a conn",
                    "of ceiling", "lockless bound (est.)"});
    std::vector<qb::Json> conc_json;
    double single = 0.0;
    for (int k : {1, 2, 4}) {
      std::vector<double> rates, latencies;
      for (long run = 0; run < conc_runs; ++run) {
        std::vector<std::thread> threads;
        std::vector<std::string> errors(k);
        std::vector<double> elapsed(k, 0.0);
        const auto start = qb::Clock::now();
        for (int t = 0; t < k; ++t) {
          threads.emplace_back([&, t] {
            try {
              const auto mine = qb::Clock::now();
              run_select(*connections[t],
                         select_sql(medium.table, "k" + std::to_string(k) + "_" + std::to_string(t) + "_",
                                    conc_rows),
                         conc_rows);
              elapsed[t] = qb::seconds_since(mine);
            } catch (const std::exception& e) {
              errors[t] = e.what();
            }
          });
        }
        for (auto& thread : threads) thread.join();
        const double wall = qb::seconds_since(start);
        for (const auto& e : errors)
          if (!e.empty()) throw std::runtime_error(e);
        rates.push_back(k * conc_rows / wall);
        latencies.push_back(qb::median(elapsed) * 1000.0 / conc_rows);
      }
      const double rate = qb::median(rates);
      if (k == 1) single = rate;
      conc.add({std::to_string(k), qb::fixed(rate, 1), qb::fixed(rate / single, 2),
                qb::fixed(qb::median(latencies), 1), qb::fixed(100.0 * rate / ceiling, 0) + "%",
                qb::fixed(single * std::min<unsigned>(k, cores ? cores : 1), 1)});
      conc_json.push_back(qb::Json::object({
          {"connections", qb::Json::integer(k)},
          {"thumbnails_per_s_median", qb::Json::number(rate)},
          {"scaling_vs_one", qb::Json::number(rate / single)},
          {"ms_per_row_per_connection_median", qb::Json::number(qb::median(latencies))},
          {"lockless_bound_estimate_per_s", qb::Json::number(single * std::min<unsigned>(k, cores ? cores : 1))},
          {"thumbnails_per_s", qb::Json::numbers(rates)},
      }));
    }
    conc.print("Thumbnails through SQL, " + medium.label + ", " + std::to_string(conc_rows) +
               " rows per connection, medians of " + std::to_string(conc_runs) + " runs");
    std::printf(
        "  The image work of all connections queues behind one lock, so the ceiling is one\n"
        "  image stage at a time: 1000 / %.2f ms (floor) = %.1f thumbnails/s, whatever the\n"
        "  number of connections, and a connection's rows take about k times as long. The\n"
        "  last column is not measured: 1 connection's rate times min(k, %u cores), what the\n"
        "  work could reach if it ran in parallel; the lock costs the gap to it.\n",
        stage_ms, ceiling, cores);

    const auto load = qb::load_average();
    qb::Json::object({
        {"benchmark", qb::Json::string("thumbnail")},
        {"box", qb::Json::integer(kBox)},
        {"runs", qb::Json::integer(runs)},
        {"ways", qb::Json::array(way_json)},
        {"concurrency_image", qb::Json::string(medium.label)},
        {"concurrency_rows_per_connection", qb::Json::integer(conc_rows)},
        {"ceiling_thumbnails_per_s", qb::Json::number(ceiling)},
        {"concurrency", qb::Json::array(conc_json)},
        {"cores", qb::Json::integer(cores)},
        {"load_average_at_end", qb::Json::numbers(load)},
    }).write(argv[1]);
    std::printf("  summary: %s (load average at end %.2f)\n", argv[1], load[0]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_thumbnail: %s\n", e.what());
    return 1;
  }
}
