// Thumbnail benchmark, box 200x200:
//   - every format against its own decoder: the tarvik entry point, loaded
//     with dlopen as the server loads it, beside the format's library alone
//     doing the same decoding (decoder_floor.h), and beside tarvik_jpeg,
//     which returns the same JPEG instead of writing it, the three
//     interleaved, medians of one run; a HEIC with and without a preview,
//     against the same picture as a JPEG;
//   - libjxl's whole first frame against its 1:8 stage flushed (progressive
//     DC), which a reduced decoding would take instead;
//   - libwebp with and without its filtering thread, 1 and 2 calls at once;
//   - bytes per thumbnail written with halved (4:2:0) and full (4:4:4) colour;
//   - the peak resident size of a process making one thumbnail of an
//     8000x6000 image of every format;
//   - 1, 2 and 4 connections at once through SQL (1600x1200 JPEG), and 1 and
//     2 for the 4000x3000 HEIC, the 1600x1200 PNG and TIFF and the 120-frame GIF;
//   - small files that claim an honest picture and would cost far more (a
//     HEIF's item locations and property associations, a JPEG's scans):
//     their time and peak beside an honest image of the size they claim.
//
//   bench_thumbnail OUT_JSON IMAGE_DIR   (the images scripts/bench.sh makes)
//   bench_thumbnail --hostile-only OUT_JSON IMAGE_DIR   (the last part alone)
//   bench_thumbnail --grid OUT_JSON IMAGE_DIR   (a phone's grid HEIC at box
//                                         400, whose preview is too small:
//                                         thumbnail-threads 1, 2 and 4 beside
//                                         libheif alone on one and 4 threads; 1 and
//                                         2 connections through SQL)
//   bench_thumbnail --once IMAGE|--none  (one thumbnail, for the peak size)
//   bench_thumbnail --once-any IMAGE     (one call, whatever its outcome)
//   bench_thumbnail --profile IMAGE N    (N thumbnails and nothing else, for
//                                         perf or valgrind --tool=callgrind)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "../tests/thumbnail/handmade_jpeg.h"
#include "bench_db.h"
#include "bench_util.h"
#include "decode/decode_memory.h"
#include "handmade_images.h"
#include "decoder_floor.h"
#include "decode/preflight.h"
#include "image_stage.h"
#include "mariadb_server.h"
#include "test_util.h"
#include "udf_call.h"
#include "write/jpeg_writer.h"

namespace qb = quarn::bench;
namespace qt = quarn::test;

namespace {

constexpr long long kBox = 200;
// The image stage alone, with no budget in its way (1 TB).
const quarn::thumb::MemoryAllowance kNoBudget{std::uint64_t{1} << 40};
constexpr double kRatioGoal = 1.15;

struct Image {
  std::string label;
  std::string file;  // in the image directory
  const char* iterations;  // the variable that sets the calls per image
  long default_iterations;
  std::string table = "";  // for the SQL runs
  std::string bytes = "";
  long calls = 0;
};

// What one image's calls measured.
struct Timing {
  std::optional<qb::Work> work;
  std::vector<double> tarvik, floor, jpeg, preflight, write;
};

const Image* find(const std::vector<Image>& images, const std::string& label) {
  for (const auto& image : images)
    if (image.label == label) return &image;
  throw std::runtime_error("no image " + label);
}

// One tarvik call through the entry point, checked.
void call_tarvik(const qt::Function& tarvik, UDF_INIT& initid, qt::Args& args) {
  const qt::StringOutcome out = tarvik.row_string(initid, args);
  if (out.text.rfind("File written as ", 0) != 0) throw std::runtime_error("tarvik failed: " + out.text);
}

// One tarvik_jpeg call, checked: a JPEG.
void call_tarvik_jpeg(const qt::Function& tarvik_jpeg, UDF_INIT& initid, qt::Args& args) {
  const qt::StringOutcome out = tarvik_jpeg.row_string(initid, args);
  if (out.is_null || out.text.rfind("\xFF\xD8", 0) != 0) throw std::runtime_error("tarvik_jpeg failed");
}

double ms_since(qb::Clock::time_point start) { return qb::seconds_since(start) * 1000.0; }

// tarvik, the floor and tarvik_jpeg, one call of each in turn (after one
// warm-up call of each), so that all meet the same state of the machine.
Timing time_image(const qt::Function& tarvik, const qt::Function& tarvik_jpeg, const Image& image,
                  const std::string& dir) {
  Timing t;
  // The thumbnail's file alone, written as tarvik writes it (encoded,
  // flushed to the disk, renamed into place): part of tarvik's time.
  const quarn::thumb::Thumbnail made =
      quarn::thumb::run_image_stage(image.bytes.data(), image.bytes.size(), kBox, kBox, kNoBudget);
  if (made.result.stage != quarn::thumb::Stage::kDone) throw std::runtime_error("no thumbnail of " + image.label);
  t.work = qb::planned_work(image.bytes, kBox);
  qt::Args args;
  args.text(image.bytes).text("b_" + image.file).integer(kBox).integer(kBox);
  const qt::InitOutcome started = tarvik.init(args);
  if (started.refused) throw std::runtime_error("tarvik_init refused: " + started.message);
  UDF_INIT initid = started.initid;
  qt::Args jpeg_args;
  jpeg_args.text(image.bytes).integer(kBox).integer(kBox);
  const qt::InitOutcome jpeg_started = tarvik_jpeg.init(jpeg_args);
  if (jpeg_started.refused) throw std::runtime_error("tarvik_jpeg_init refused: " + jpeg_started.message);
  UDF_INIT jpeg_initid = jpeg_started.initid;
  const auto floor_once = [&] {
    if (t.work && !qb::decode_floor(image.bytes, *t.work))
      throw std::runtime_error("the floor decoder failed on " + image.label);
  };
  call_tarvik(tarvik, initid, args);
  floor_once();
  call_tarvik_jpeg(tarvik_jpeg, jpeg_initid, jpeg_args);
  for (long i = 0; i < image.calls; ++i) {
    auto start = qb::Clock::now();
    call_tarvik(tarvik, initid, args);
    t.tarvik.push_back(ms_since(start));
    start = qb::Clock::now();
    floor_once();
    t.floor.push_back(ms_since(start));
    start = qb::Clock::now();
    call_tarvik_jpeg(tarvik_jpeg, jpeg_initid, jpeg_args);
    t.jpeg.push_back(ms_since(start));
    start = qb::Clock::now();
    const auto check = quarn::thumb::preflight_image(image.bytes.data(), image.bytes.size());
    t.preflight.push_back(ms_since(start));
    if (check.refused) throw std::runtime_error("pre-flight refused " + image.label + ": " + check.reason);
    start = qb::Clock::now();
    if (quarn::thumb::write_jpeg(made.pixels, dir + "/written.jpg") != quarn::thumb::WriteResult::kWritten)
      throw std::runtime_error("cannot write the thumbnail of " + image.label);
    t.write.push_back(ms_since(start));
  }
  tarvik.deinit(initid);
  tarvik_jpeg.deinit(jpeg_initid);
  return t;
}

std::string what_is_decoded(const std::optional<qb::Work>& work) {
  if (!work) return "-";
  const auto& plan = work->plan;
  return std::to_string(plan.size.width) + "x" + std::to_string(plan.size.height) +
         (plan.preview ? " preview" : "");
}

// Runs this program with the arguments and reads the one number it prints.
double number_from_self(const std::string& arguments) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = "'" + self + "' " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot start " + command);
  double number = -1;
  const bool read = std::fscanf(pipe, "%lf", &number) == 1;
  if (pclose(pipe) != 0 || !read) throw std::runtime_error("failed: " + command);
  return number;
}

// Peak resident size, in KiB, of a fresh process of this program that
// loads the plug-in and makes one thumbnail (--none: makes none). The child
// reports its own peak: a parent's size would count in the child's rusage.
long peak_kib_of_one(const std::string& what) {
  return static_cast<long>(number_from_self("--once '" + what + "'"));
}

int make_one(const std::string& what, bool any_outcome = false) {
  qt::TempDir dir;
  setenv("UDF_IMAGEDIR", dir.path().c_str(), 1);
  setenv("UDF_ERRORLOG", "bench", 1);  // settings published: no settings file looked for
  qt::Plugin plugin("tarvik");
  qt::Function tarvik(plugin, "tarvik");
  if (what != "--none") {
    qt::Args args;
    args.text(qb::read_bytes(what)).text("once").integer(kBox).integer(kBox);  // moved in, not copied
    std::optional<qt::StderrCapture> quiet;  // a failure's log line, when failures are expected
    if (any_outcome) quiet.emplace();
    if (tarvik.call_string(args).text.rfind("File written as ", 0) != 0 && !any_outcome) return 1;
  }
  std::printf("%ld\n", qb::rss_kib(getpid(), "VmHWM:"));
  return 0;
}

int profile(const std::string& file, long calls) {
  qt::TempDir dir;
  setenv("UDF_IMAGEDIR", dir.path().c_str(), 1);
  setenv("UDF_ERRORLOG", "bench", 1);  // settings published: no settings file looked for
  qt::Plugin plugin("tarvik");
  qt::Function tarvik(plugin, "tarvik");
  qt::Args args;
  args.text(qb::read_bytes(file)).text("profiled").integer(kBox).integer(kBox);
  const qt::InitOutcome started = tarvik.init(args);
  if (started.refused) return 1;
  UDF_INIT initid = started.initid;
  for (long i = 0; i < calls; ++i) call_tarvik(tarvik, initid, args);
  return 0;
}

// libwebp with and without its filtering thread: one call, and two at once.
qb::Json webp_threads(const Image& image, long calls) {
  const auto work = qb::planned_work(image.bytes, kBox);
  if (!work) throw std::runtime_error("no plan for " + image.label);
  qb::Table table({"use_threads", "1 call: ms (median)", "2 at once: decodes/s (median)"});
  std::vector<std::pair<std::string, qb::Json>> json;
  std::map<bool, std::vector<double>> single, pair;
  for (long i = 0; i < calls; ++i) {
    for (const bool threads : {false, true}) {
      const auto start = qb::Clock::now();
      if (!qb::decode_floor(image.bytes, *work, threads)) throw std::runtime_error("libwebp failed");
      single[threads].push_back(ms_since(start));
      std::vector<double> elapsed;
      const double wall = qb::run_concurrently(2, [&](int) { qb::decode_floor(image.bytes, *work, threads); }, elapsed);
      pair[threads].push_back(2 / wall);
    }
  }
  for (const bool threads : {false, true}) {
    table.add({threads ? "1" : "0", qb::fixed(qb::median(single[threads]), 2), qb::fixed(qb::median(pair[threads]), 1)});
    json.push_back({threads ? "threads" : "no_threads",
                    qb::Json::object({{"single_ms_median", qb::Json::number(qb::median(single[threads]))},
                                      {"two_at_once_per_s_median", qb::Json::number(qb::median(pair[threads]))}})});
  }
  table.print("libwebp alone, " + image.label + " decoded at " + what_is_decoded(work) + ", " +
              std::to_string(calls) + " calls each (tarvik decodes without the thread)");
  return qb::Json::object(json);
}

// libjxl alone: the whole first frame (what tarvik decodes) against its 1:8
// stage (progressive DC), flushed at full size, which a decoding at a
// reduced resolution would take instead.
qb::Json jxl_dc_stage(const Image& image, long calls) {
  const auto work = qb::planned_work(image.bytes, kBox);
  if (!work) throw std::runtime_error("no plan for " + image.label);
  std::vector<double> whole, stage;
  for (long i = 0; i < calls; ++i) {
    auto start = qb::Clock::now();
    if (!qb::decode_floor(image.bytes, *work)) throw std::runtime_error("libjxl failed");
    whole.push_back(ms_since(start));
    start = qb::Clock::now();
    if (!qb::jxl_dc_stage(image.bytes)) throw std::runtime_error("libjxl has no 1:8 stage for " + image.label);
    stage.push_back(ms_since(start));
  }
  qb::Table table({"libjxl decodes", "ms (median)"});
  table.add({"the whole first frame", qb::fixed(qb::median(whole), 2)});
  table.add({"its 1:8 stage, flushed", qb::fixed(qb::median(stage), 2)});
  table.print("libjxl alone, " + image.label + ", " + std::to_string(calls) +
              " calls each (tarvik decodes the whole frame)");
  return qb::Json::object({{"whole_ms_median", qb::Json::number(qb::median(whole))},
                           {"dc_stage_ms_median", qb::Json::number(qb::median(stage))}});
}

// The thumbnail's pixels written both ways: bytes per file.
struct Bytes {
  std::uintmax_t halved = 0, full = 0;
};

Bytes thumbnail_bytes(const Image& image, const std::string& dir) {
  const quarn::thumb::Thumbnail made =
      quarn::thumb::run_image_stage(image.bytes.data(), image.bytes.size(), kBox, kBox, kNoBudget);
  if (made.result.stage != quarn::thumb::Stage::kDone) throw std::runtime_error("no thumbnail of " + image.label);
  Bytes bytes;
  for (const auto chroma : {quarn::thumb::Chroma::kHalved, quarn::thumb::Chroma::kFull}) {
    const std::string path = dir + "/chroma.jpg";
    if (quarn::thumb::write_jpeg(made.pixels, path, chroma) != quarn::thumb::WriteResult::kWritten)
      throw std::runtime_error("cannot write " + path);
    (chroma == quarn::thumb::Chroma::kFull ? bytes.full : bytes.halved) = std::filesystem::file_size(path);
  }
  return bytes;
}

std::string select_sql(const std::string& table, const std::string& prefix, long rows, long long box = kBox) {
  return "SELECT tarvik(img, CONCAT('" + prefix + "', id), " + std::to_string(box) + ", " +
         std::to_string(box) + ") FROM " + table + " WHERE id <= " + std::to_string(rows);
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

struct Scaling {
  std::vector<qb::Json> json;
  double two_of_one = 0.0;
};

// k connections at once each select `rows` thumbnails of the image, for
// each k of `levels` (the first is 1); prints the table.
Scaling through_connections(const std::vector<std::unique_ptr<qt::Connection>>& connections,
                            const Image& image, const std::vector<int>& levels, long rows,
                            long runs, long long box = kBox, const std::string& setting = "") {
  qb::Table conc({"connections", "thumbnails/s", "x of 1 conn", "ms per row seen by a conn"});
  Scaling scaling;
  double single = 0.0;
  for (int k : levels) {
    std::vector<double> rates, latencies;
    for (long run = 0; run < runs; ++run) {
      std::vector<double> elapsed;
      const double wall = qb::run_concurrently(k, [&](int t) {
        run_select(*connections[t],
                   select_sql(image.table, "k" + std::to_string(k) + "_" + std::to_string(t) + "_", rows, box),
                   rows);
      }, elapsed);
      rates.push_back(k * rows / wall);
      latencies.push_back(qb::median(elapsed) * 1000.0 / rows);
    }
    const double rate = qb::median(rates);
    if (k == 1) single = rate;
    if (k == 2) scaling.two_of_one = rate / single;
    conc.add({std::to_string(k), qb::fixed(rate, 1), qb::fixed(rate / single, 2),
              qb::fixed(qb::median(latencies), 1)});
    scaling.json.push_back(qb::Json::object({
        {"connections", qb::Json::integer(k)},
        {"thumbnails_per_s_median", qb::Json::number(rate)},
        {"scaling_vs_one", qb::Json::number(rate / single)},
        {"ms_per_row_per_connection_median", qb::Json::number(qb::median(latencies))},
        {"thumbnails_per_s", qb::Json::numbers(rates)},
    }));
  }
  conc.print("Thumbnails through SQL, " + image.label + setting + ", " + std::to_string(rows) +
             " rows per connection, medians of " + std::to_string(runs) + " runs, " +
             std::to_string(std::thread::hardware_concurrency()) + " cores");
  return scaling;
}

// A hostile file and the honest image of the size it claims: ms per call
// (median) and the peak resident size of a fresh process making the call.
struct Costly {
  std::string label;
  std::string bytes;
  std::string honest_label;
  const std::string* honest;
};

qb::Json hostile_files(const qt::Function& tarvik, const std::string& dir, long calls) {
  const std::string heic = qb::read_bytes(dir + "/large.heic");
  // An honest progressive 8000x8000 JPEG: libjpeg's progressive script, a
  // photo-like picture (smooth ramps with a little texture).
  std::vector<std::uint8_t> rgb(std::size_t{8000} * 8000 * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) {
    const std::size_t pixel = i / 3, x = pixel % 8000, y = pixel / 8000;
    rgb[i] = static_cast<std::uint8_t>((x * 255 / 8000 + y * (i % 3 + 1) * 40 / 8000 + (x * 7 + y * 3) % 5) & 0xFF);
  }
  quarn::handmade::JpegOptions progressive;
  progressive.progressive = true;
  progressive.quality = 90;
  const std::string jpeg = quarn::handmade::jpeg(rgb, 8000, 8000, progressive);
  std::vector<std::uint8_t>().swap(rgb);
  namespace hm = quarn::handmade;
  const std::vector<Costly> cases = {
      {"HEIF, 2000 items of 65535 empty extents", hm::heif_extent_bomb(2000), "4000x3000 HEIC", &heic},
      {"HEIF, 800,000 property associations", hm::heif_association_bomb(800000), "4000x3000 HEIC", &heic},
      {"JPEG 8000x8000, 3000 scans of a byte", hm::progressive_scan_bomb(8000, 8000, 3000),
       "8000x8000 progressive JPEG", &jpeg},
      {"JPEG 8000x8000, 100 scans of a byte (the limit)", hm::progressive_scan_bomb(8000, 8000, 100),
       "8000x8000 progressive JPEG", &jpeg},
  };
  qt::TempDir files;
  const auto measure = [&](const std::string& bytes, const std::string& name, double& ms, long& peak_kib,
                           std::string& outcome) {
    const std::string file = files.file(name);
    qt::write_file(file, bytes);
    std::vector<double> times;
    const qt::StderrCapture quiet;  // the failures' log lines
    for (long i = 0; i < calls; ++i) {
      qt::Args args;
      args.text(bytes).text(name).integer(kBox).integer(kBox);
      const auto start = qb::Clock::now();
      outcome = tarvik.call_string(args).text;
      times.push_back(ms_since(start));
    }
    ms = qb::median(times);
    peak_kib = static_cast<long>(number_from_self("--once-any '" + file + "'"));
    outcome = outcome.rfind("File written as ", 0) == 0 ? "thumbnail" : outcome.substr(outcome.rfind(' ') + 1);
  };
  const long loaded_kib = peak_kib_of_one("--none");
  qb::Table table({"file", "bytes", "outcome", "ms", "peak over loaded MiB", "honest image of its size", "its ms",
                   "its peak MiB"});
  std::vector<qb::Json> json;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Costly& c = cases[i];
    double ms = 0, honest_ms = 0;
    long peak = 0, honest_peak = 0;
    std::string outcome, honest_outcome;
    measure(c.bytes, "hostile" + std::to_string(i), ms, peak, outcome);
    measure(*c.honest, "honest" + std::to_string(i), honest_ms, honest_peak, honest_outcome);
    table.add({c.label, std::to_string(c.bytes.size()), outcome, qb::fixed(ms, 2),
               qb::fixed((peak - loaded_kib) / 1024.0, 1), c.honest_label + " (" + honest_outcome + ")",
               qb::fixed(honest_ms, 1), qb::fixed((honest_peak - loaded_kib) / 1024.0, 1)});
    json.push_back(qb::Json::object({{"file", qb::Json::string(c.label)},
                                     {"bytes", qb::Json::integer(static_cast<long long>(c.bytes.size()))},
                                     {"outcome", qb::Json::string(outcome)},
                                     {"ms_median", qb::Json::number(ms)},
                                     {"peak_over_loaded_kib", qb::Json::integer(peak - loaded_kib)},
                                     {"honest", qb::Json::string(c.honest_label)},
                                     {"honest_ms_median", qb::Json::number(honest_ms)},
                                     {"honest_peak_over_loaded_kib", qb::Json::integer(honest_peak - loaded_kib)}}));
  }
  table.print("Hostile files beside an honest image of the size they claim, box 200x200: the tarvik call, ms "
              "(median of " + std::to_string(calls) + "), and the peak resident size of a fresh process making "
              "it, over the plug-in loaded (" + qb::fixed(loaded_kib / 1024.0, 1) + " MiB)");
  return qb::Json::array(json);
}

// A phone's 4032x3024 HEIC of 512x512 tiles with a 320x240 preview, at a
// box of 400: the grid is decoded. tarvik's call with thumbnail-threads 1,
// 2 and 4 and libheif decoding the grid alone on one and on 4 threads, in
// turn; then
// 1 and 2 connections through SQL with the default and with 1.
int grid_bench(const std::string& out_json, const std::string& dir) {
  constexpr long long kGridBox = 400;
  const std::string bytes = qb::read_bytes(dir + "/grid.heic");
  const long calls = qb::env_count("QUARN_BENCH_ITER_GRID", 9);
  const auto work = qb::planned_work(bytes, kGridBox);
  if (!work || work->plan.preview) throw std::runtime_error("the grid's picture is not what a box of 400 decodes");
  qt::TempDir out_dir;
  setenv("UDF_IMAGEDIR", out_dir.path().c_str(), 1);
  setenv("UDF_ERRORLOG", "bench", 1);  // settings published: no settings file looked for
  qt::Plugin plugin("tarvik");
  qt::Function tarvik(plugin, "tarvik");
  qt::Args args;
  args.text(bytes).text("grid").integer(kGridBox).integer(kGridBox);
  const qt::InitOutcome started = tarvik.init(args);
  if (started.refused) throw std::runtime_error("tarvik_init refused: " + started.message);
  UDF_INIT initid = started.initid;
  const char* const settings[] = {"1", "2", "4"};
  std::map<std::string, std::vector<double>> ms;
  for (long i = -1; i < calls; ++i) {  // the first round warms up
    auto start = qb::Clock::now();
    if (!qb::decode_floor(bytes, *work)) throw std::runtime_error("libheif failed on the grid");
    if (i >= 0) ms["floor"].push_back(ms_since(start));
    start = qb::Clock::now();
    if (!qb::decode_floor(bytes, *work, false, 4)) throw std::runtime_error("libheif failed on the grid");
    if (i >= 0) ms["floor_4"].push_back(ms_since(start));
    for (const char* threads : settings) {
      setenv("UDF_THUMBNAILTHREADS", threads, 1);
      start = qb::Clock::now();
      call_tarvik(tarvik, initid, args);
      if (i >= 0) ms[threads].push_back(ms_since(start));
    }
  }
  unsetenv("UDF_THUMBNAILTHREADS");
  tarvik.deinit(initid);
  const double floor = qb::median(ms["floor"]);
  qb::Table table({"call", "ms (median)", "x libheif alone, 0 threads"});
  table.add({"libheif alone, 0 threads (the floor)", qb::fixed(floor, 1), "1.00"});
  const double floor_4 = qb::median(ms["floor_4"]);
  table.add({"libheif alone, 4 threads", qb::fixed(floor_4, 1), qb::fixed(floor_4 / floor, 2)});
  std::vector<std::pair<std::string, qb::Json>> json{{"floor_ms_median", qb::Json::number(floor)},
                                                     {"floor_ms", qb::Json::numbers(ms["floor"])},
                                                     {"floor_4_threads_ms_median", qb::Json::number(floor_4)}};
  for (const char* threads : settings) {
    const double m = qb::median(ms[threads]);
    table.add({std::string("tarvik, thumbnail-threads ") + threads, qb::fixed(m, 1), qb::fixed(m / floor, 2)});
    json.push_back({std::string("threads_") + threads + "_ms_median", qb::Json::number(m)});
    json.push_back({std::string("threads_") + threads + "_ms", qb::Json::numbers(ms[threads])});
  }
  table.print("4032x3024 grid HEIC, 512x512 tiles, 320x240 preview, box 400x400 (the grid decoded): ms, "
              "medians of " + std::to_string(calls) + " calls each in turn, " +
              std::to_string(std::thread::hardware_concurrency()) + " cores");
  const double four = qb::median(ms["4"]) / floor;
  std::printf("  thumbnail-threads 4: %.2f x libheif's one-thread decode (goal <= 0.8: %s)\n", four,
              four <= 0.8 ? "met" : "MISSED");
  std::fflush(stdout);

  const long rows = qb::env_count("QUARN_BENCH_CONC_ROWS_GRID", 4);
  const long runs = qb::env_count("QUARN_BENCH_CONC_RUNS", 3);
  Image image{"4032x3024 grid HEIC", "grid.heic", "", 0, "img_grid", bytes};
  std::vector<std::pair<std::string, qb::Json>> sql;
  for (const char* setting : {"", "1"}) {
    std::map<std::string, std::string> environment{{"UDF_IMAGEDIR", out_dir.path()}};
    if (*setting != '\0') environment["UDF_THUMBNAILTHREADS"] = setting;
    qt::MariaDbServer server(environment);
    server.install_functions();
    std::vector<std::unique_ptr<qt::Connection>> connections;
    for (int i = 0; i < 2; ++i) connections.push_back(qb::bench_connection(server));
    fill_table(*connections[0], image.table, bytes, rows);
    run_select(*connections[0], select_sql(image.table, "warm_", 1, kGridBox), 1);
    const std::string label = *setting ? ", thumbnail-threads 1" : ", thumbnail-threads by default";
    const Scaling scaling = through_connections(connections, image, {1, 2}, rows, runs, kGridBox, label);
    sql.push_back({*setting ? "sql_threads_1" : "sql_default", qb::Json::array(scaling.json)});
  }
  json.insert(json.end(), sql.begin(), sql.end());
  json.push_back({"cores", qb::Json::integer(std::thread::hardware_concurrency())});
  json.push_back({"load_average_at_end", qb::Json::numbers(qb::load_average())});
  qb::Json::object(json).write(out_json);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--once") == 0) return make_one(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--once-any") == 0) return make_one(argv[2], true);
  if (argc == 4 && std::strcmp(argv[1], "--hostile-only") == 0) {
    try {
      qt::TempDir out_dir;
      setenv("UDF_IMAGEDIR", out_dir.path().c_str(), 1);
      setenv("UDF_ERRORLOG", "bench", 1);
      qt::Plugin plugin("tarvik");
      qt::Function tarvik(plugin, "tarvik");
      qb::Json::object({{"benchmark", qb::Json::string("thumbnail hostile files")},
                        {"hostile", hostile_files(tarvik, argv[3], qb::env_count("QUARN_BENCH_ITER_HOSTILE", 5))}})
          .write(argv[2]);
      return 0;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_thumbnail: %s\n", e.what());
      return 1;
    }
  }
  if (argc == 4 && std::strcmp(argv[1], "--profile") == 0) return profile(argv[2], std::atol(argv[3]));
  if (argc == 4 && std::strcmp(argv[1], "--grid") == 0) {
    try {
      return grid_bench(argv[2], argv[3]);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_thumbnail: %s\n", e.what());
      return 1;
    }
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_thumbnail OUT_JSON IMAGE_DIR | bench_thumbnail --once IMAGE|--none\n");
    return 2;
  }
  try {
    const std::string dir = argv[2];
    const long conc_rows = qb::env_count("QUARN_BENCH_CONC_ROWS", 24);
    const long conc_runs = qb::env_count("QUARN_BENCH_CONC_RUNS", 3);
    std::vector<Image> images = {
        {"1600x1200 JPEG", "medium.jpg", "QUARN_BENCH_ITER_MEDIUM", 15, "img_medium"},
        {"4000x3000 JPEG", "large.jpg", "QUARN_BENCH_ITER_LARGE", 9},
        {"6000x4000 JPEG", "huge.jpg", "QUARN_BENCH_ITER_HUGE", 7},
        // The 4000x3000 JPEG's data with an Adobe RGB profile: what colour
        // management costs.
        {"4000x3000 JPEG Adobe RGB", "large-adobe.jpg", "QUARN_BENCH_ITER_LARGE", 9},
        {"1600x1200 PNG", "medium.png", "QUARN_BENCH_ITER_PNG", 11, "img_png"},
        {"8000x6000 PNG", "huge.png", "QUARN_BENCH_ITER_HUGE", 7},
        {"1000x750 GIF", "still.gif", "QUARN_BENCH_ITER_GIF", 11},
        {"1000x750 GIF, 120 frames", "animated.gif", "QUARN_BENCH_ITER_GIF", 11, "img_gif_anim"},
        {"1600x1200 TIFF", "medium.tif", "QUARN_BENCH_ITER_PNG", 11, "img_tiff"},
        {"8000x6000 TIFF", "huge.tif", "QUARN_BENCH_ITER_HUGE", 7},
        {"4000x3000 WebP", "large.webp", "QUARN_BENCH_ITER_LARGE", 9},
        {"4000x3000 HEIC", "large.heic", "QUARN_BENCH_ITER_LARGE", 9, "img_heic"},
        {"4000x3000 HEIC, 512 preview", "large-preview.heic", "QUARN_BENCH_ITER_LARGE", 9},
        {"4000x3000 AVIF", "large.avif", "QUARN_BENCH_ITER_LARGE", 9},
        {"1600x1200 JPEG XL", "medium.jxl", "QUARN_BENCH_ITER_MEDIUM", 15},
        {"4000x3000 JPEG XL", "large.jxl", "QUARN_BENCH_ITER_LARGE", 9},
    };
    // One thumbnail each, for the peak resident size.
    const std::vector<std::pair<std::string, std::string>> at_8000x6000 = {
        {"JPEG", "8k.jpg"}, {"PNG", "huge.png"}, {"GIF", "8k.gif"}, {"TIFF", "huge.tif"},
        {"WebP", "8k.webp"}, {"HEIC", "8k.heic"}, {"HEIC, 512 preview", "8k-preview.heic"},
        {"AVIF", "8k.avif"}, {"JPEG XL", "8k.jxl"}};
    for (auto& image : images) {
      image.bytes = qb::read_bytes(dir + "/" + image.file);
      image.calls = qb::env_count(image.iterations, image.default_iterations);
    }

    qt::TempDir out_dir;
    setenv("UDF_IMAGEDIR", out_dir.path().c_str(), 1);
    setenv("UDF_ERRORLOG", "bench", 1);  // settings published: no settings file looked for
    qt::Plugin plugin("tarvik");
    qt::Function tarvik(plugin, "tarvik");
    qt::Function tarvik_jpeg(plugin, "tarvik_jpeg");

    std::printf("thumbnails: box %lldx%lld; tarvik and the floor alternately, calls per image:", kBox, kBox);
    for (const auto& image : images)
      std::printf(" %s x%ld (%zu bytes)", image.label.c_str(), image.calls, image.bytes.size());
    std::printf("\n");
    std::fflush(stdout);

    // ---- each format against its own decoder ----
    qb::Table floors({"image", "decoded", "tarvik ms", "floor ms", "ratio", "ratio goal", "pre-flight ms",
                      "write ms", "tarvik_jpeg ms", "jpeg / tarvik"});
    std::map<std::string, double> ms;
    std::vector<qb::Json> floor_json;
    std::vector<std::string> over;
    for (const auto& image : images) {
      const Timing t = time_image(tarvik, tarvik_jpeg, image, out_dir.path());
      const double mt = qb::median(t.tarvik), mf = qb::median(t.floor), ratio = mt / mf;
      const double mj = qb::median(t.jpeg);
      ms[image.label] = mt;
      const bool met = ratio <= kRatioGoal;
      if (!met) over.push_back(image.label);
      floors.add({image.label, what_is_decoded(t.work), qb::fixed(mt, 2), qb::fixed(mf, 2), qb::fixed(ratio, 3),
                  met ? "met" : "MISSED", qb::fixed(qb::median(t.preflight), 3), qb::fixed(qb::median(t.write), 2),
                  qb::fixed(mj, 2), qb::fixed(mj / mt, 3)});
      floor_json.push_back(qb::Json::object({
          {"image", qb::Json::string(image.label)},
          {"bytes", qb::Json::integer(static_cast<long long>(image.bytes.size()))},
          {"decoded", qb::Json::string(what_is_decoded(t.work))},
          {"tarvik_ms_median", qb::Json::number(mt)},
          {"floor_ms_median", qb::Json::number(mf)},
          {"tarvik_jpeg_ms_median", qb::Json::number(mj)},
          {"ratio", qb::Json::number(ratio)},
          {"preflight_ms_median", qb::Json::number(qb::median(t.preflight))},
          {"write_ms_median", qb::Json::number(qb::median(t.write))},
          {"tarvik_ms", qb::Json::numbers(t.tarvik)},
          {"floor_ms", qb::Json::numbers(t.floor)},
      }));
      std::printf("  %s done\n", image.label.c_str());
      std::fflush(stdout);
    }
    floors.print("Every format against its own decoder, box 200x200: tarvik's call (pre-flight, decode, "
                 "reduce, colours, write) and the format's library decoding the same alone; ms, medians of "
                 "one run; the pre-flight and the write (encoding, fsync, rename) also timed alone; "
                 "tarvik_jpeg's call (the same JPEG as the value, no file)");
    std::printf("  goal: every ratio <= %.2f: %s\n", kRatioGoal,
                over.empty() ? "met" : ("missed by " + std::to_string(over.size()) + " image(s)").c_str());
    const double jpeg = ms["4000x3000 JPEG"], heic = ms["4000x3000 HEIC"];
    const double preview = ms["4000x3000 HEIC, 512 preview"];
    std::printf("  4000x3000 HEIC with a 512-pixel preview: %.1f ms, %.2f x the same picture as a JPEG "
                "(%.1f ms; goal <= 2: %s)\n",
                preview, preview / jpeg, jpeg, preview / jpeg <= 2 ? "met" : "MISSED");
    std::printf("  4000x3000 HEIC without a preview: %.1f ms, %.1f x the one with\n", heic, heic / preview);
    for (const char* label : {"4000x3000 WebP", "4000x3000 AVIF", "4000x3000 JPEG Adobe RGB"})
      std::printf("  %s: %.1f ms, %.2f x the 4000x3000 JPEG\n", label, ms[label], ms[label] / jpeg);
    const double gif = ms["1000x750 GIF"], animated = ms["1000x750 GIF, 120 frames"];
    std::printf("  120-frame GIF: %.1f ms, %.2f x the single frame's %.1f ms (goal <= 1.5)\n", animated,
                animated / gif, gif);

    // ---- libwebp's filtering thread ----
    const qb::Json webp_json = webp_threads(*find(images, "4000x3000 WebP"), qb::env_count("QUARN_BENCH_ITER_LARGE", 9));

    // ---- libjxl's 1:8 stage ----
    const qb::Json jxl_json = jxl_dc_stage(*find(images, "4000x3000 JPEG XL"), qb::env_count("QUARN_BENCH_ITER_LARGE", 9));

    // ---- bytes per thumbnail ----
    qb::Table sizes({"image", "4:2:0 bytes", "4:4:4 bytes", "4:4:4 / 4:2:0"});
    std::vector<qb::Json> size_json;
    double halved_total = 0, full_total = 0;
    for (const auto& image : images) {
      const Bytes b = thumbnail_bytes(image, out_dir.path());
      halved_total += static_cast<double>(b.halved);
      full_total += static_cast<double>(b.full);
      sizes.add({image.label, std::to_string(b.halved), std::to_string(b.full),
                 qb::fixed(static_cast<double>(b.full) / static_cast<double>(b.halved), 3)});
      size_json.push_back(qb::Json::object({{"image", qb::Json::string(image.label)},
                                            {"halved_420", qb::Json::integer(static_cast<long long>(b.halved))},
                                            {"full_444", qb::Json::integer(static_cast<long long>(b.full))}}));
    }
    sizes.add({"mean", qb::fixed(halved_total / images.size(), 0), qb::fixed(full_total / images.size(), 0),
               qb::fixed(full_total / halved_total, 3)});
    sizes.print("Bytes per thumbnail (box 200x200, quality 90): colour halved both ways (4:2:0) or in full "
                "(4:4:4, what tarvik writes)");

    // ---- peak memory ----
    const long loaded_kib = peak_kib_of_one("--none");
    qb::Table peaks({"8000x6000", "BLOB MiB", "peak RSS MiB", "over loaded MiB", "besides the BLOB MiB",
                     "reserved MiB", "reserved / besides"});
    std::vector<qb::Json> peak_json;
    for (const auto& [label, file] : at_8000x6000) {
      const long kib = peak_kib_of_one(dir + "/" + file);
      const double blob = static_cast<double>(std::filesystem::file_size(dir + "/" + file)) / (1 << 20);
      const double besides = (kib - loaded_kib) / 1024.0 - blob;
      // What the call reserves in the memory budget before it decodes.
      const auto work = qb::planned_work(qb::read_bytes(dir + "/" + file), kBox);
      const double reserved =
          work ? static_cast<double>(quarn::thumb::decode_memory(work->plan, work->target)) / (1 << 20) : 0;
      peaks.add({label, qb::fixed(blob, 1), qb::fixed(kib / 1024.0, 1), qb::fixed((kib - loaded_kib) / 1024.0, 1),
                 qb::fixed(besides, 1), qb::fixed(reserved, 1), qb::fixed(reserved / besides, 2)});
      peak_json.push_back(qb::Json::object({{"format", qb::Json::string(label)},
                                            {"peak_rss_kib", qb::Json::integer(kib)},
                                            {"reserved_mib", qb::Json::number(reserved)}}));
    }
    peaks.print("Peak resident size of a process making one thumbnail of an 8000x6000 image (loaded, no "
                "thumbnail: " + qb::fixed(loaded_kib / 1024.0, 1) + " MiB)");

    // ---- concurrency through SQL ----
    std::printf("starting the throwaway server...\n");
    std::fflush(stdout);
    qt::MariaDbServer server({{"UDF_IMAGEDIR", out_dir.path()}});
    server.install_functions();
    std::vector<std::unique_ptr<qt::Connection>> connections;
    for (int i = 0; i < 4; ++i) connections.push_back(qb::bench_connection(server));
    const Image& medium = *find(images, "1600x1200 JPEG");
    fill_table(*connections[0], medium.table, medium.bytes, conc_rows);
    run_select(*connections[0], select_sql(medium.table, "warm_", 2), 2);
    const Scaling jpeg_scaling = through_connections(connections, medium, {1, 2, 4}, conc_rows, conc_runs);
    std::printf("  2 connections: %.2f x 1 connection (goal >= 1.5)\n", jpeg_scaling.two_of_one);
    const long heic_rows = qb::env_count("QUARN_BENCH_CONC_ROWS_HEIC", 8);
    const long format_rows = qb::env_count("QUARN_BENCH_CONC_ROWS_FORMATS", 12);
    std::vector<qb::Json> format_json;
    for (const char* label : {"4000x3000 HEIC", "1600x1200 PNG", "1600x1200 TIFF", "1000x750 GIF, 120 frames"}) {
      const Image& image = *find(images, label);
      const long rows = image.label == "4000x3000 HEIC" ? heic_rows : format_rows;
      fill_table(*connections[0], image.table, image.bytes, rows);
      run_select(*connections[0], select_sql(image.table, "warm_", 1), 1);
      const Scaling scaling = through_connections(connections, image, {1, 2}, rows, conc_runs);
      std::printf("  2 connections: %.2f x 1 connection (goal >= 1.8)\n", scaling.two_of_one);
      format_json.push_back(qb::Json::object({{"image", qb::Json::string(label)},
                                              {"rows_per_connection", qb::Json::integer(rows)},
                                              {"concurrency", qb::Json::array(scaling.json)}}));
    }

    // ---- hostile files ----
    const qb::Json hostile_json = hostile_files(tarvik, dir, qb::env_count("QUARN_BENCH_ITER_HOSTILE", 5));

    const auto load = qb::load_average();
    qb::Json::object({
        {"benchmark", qb::Json::string("thumbnail")},
        {"box", qb::Json::integer(kBox)},
        {"floors", qb::Json::array(floor_json)},
        {"ratio_goal", qb::Json::number(kRatioGoal)},
        {"ratio_goal_met", qb::Json::boolean(over.empty())},
        {"heic_preview_vs_jpeg", qb::Json::number(preview / jpeg)},
        {"webp_threads", webp_json},
        {"jxl_dc_stage", jxl_json},
        {"thumbnail_bytes", qb::Json::array(size_json)},
        {"loaded_peak_rss_kib", qb::Json::integer(loaded_kib)},
        {"peak_8000x6000", qb::Json::array(peak_json)},
        {"concurrency_image", qb::Json::string(medium.label)},
        {"concurrency_rows_per_connection", qb::Json::integer(conc_rows)},
        {"concurrency", qb::Json::array(jpeg_scaling.json)},
        {"concurrency_formats", qb::Json::array(format_json)},
        {"hostile", hostile_json},
        {"cores", qb::Json::integer(std::thread::hardware_concurrency())},
        {"load_average_at_end", qb::Json::numbers(load)},
    }).write(argv[1]);
    std::printf("  summary: %s (load average at end %.2f)\n", argv[1], load[0]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_thumbnail: %s\n", e.what());
    return 1;
  }
}
