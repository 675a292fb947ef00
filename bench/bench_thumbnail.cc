// Thumbnail benchmark: each image into a 200x200 box, two ways in one run:
//   (a) the image library's own call sequence (load, B-spline scale, save),
//       for the formats it reads
//   (b) the tarvik entry point, loaded with dlopen as the server loads it
// and, per image, how long the entry point holds the image library's lock
// and the peak resident size of a process making one thumbnail; then 1, 2
// and 4 connections at once through SQL (1600x1200 JPEG), and 1 and 2 for
// the 4000x3000 HEIC, the 1600x1200 PNG and TIFF and the 120-frame GIF.
//
//   bench_thumbnail OUT_JSON PNG_1600x1200 JPEG_1600x1200 JPEG_4000x3000 JPEG_6000x4000
//                   WEBP_4000x3000 HEIC_4000x3000 AVIF_4000x3000 JPEG_ADOBE_RGB_4000x3000
//                   TIFF_1600x1200 PNG_8000x6000 TIFF_8000x6000 GIF_1000x750 GIF_1000x750_120_FRAMES
//   bench_thumbnail --once IMAGE|--none   (one thumbnail, for the peak size)
//   bench_thumbnail --floor IMAGE N DIR   ((a) in a process of its own)
#include <IL/il.h>
#include <IL/ilu.h>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "bench_util.h"
#include "bench_db.h"
#include "decode/preflight.h"
#include "mariadb_server.h"
#include "pixels/reduction.h"
#include "test_util.h"
#include "udf_call.h"

namespace qb = quarn::bench;
namespace qt = quarn::test;

// ---- the image lock's hold time ----
// This program defines the mutex calls, so the plug-in's calls bind to them
// (the program exports its symbols). A mutex locked from the plug-in's own
// code is its image-library lock, the only mutex it has; the time from
// acquiring it to releasing it is added up.
namespace {

using MutexFn = int (*)(pthread_mutex_t*);
MutexFn real_lock = nullptr;
MutexFn real_unlock = nullptr;
std::atomic<const void*> watched_base{nullptr};  // load address of the plug-in
std::atomic<long long> held_ns{0};
std::atomic<long> holds{0};
thread_local pthread_mutex_t* held_mutex = nullptr;
thread_local qb::Clock::time_point held_since;

void bind_real_mutex_calls() {
  real_lock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  real_unlock = reinterpret_cast<MutexFn>(dlsym(RTLD_NEXT, "pthread_mutex_unlock"));
  if (real_lock == nullptr || real_unlock == nullptr) std::abort();
}

bool called_from_plugin(const void* address) {
  const void* base = watched_base.load();
  Dl_info info{};
  return base != nullptr && dladdr(address, &info) != 0 && info.dli_fbase == base;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* mutex) {
  if (real_lock == nullptr) bind_real_mutex_calls();
  const int status = real_lock(mutex);
  if (status == 0 && held_mutex == nullptr && called_from_plugin(__builtin_return_address(0))) {
    held_mutex = mutex;
    held_since = qb::Clock::now();
  }
  return status;
}

extern "C" __attribute__((visibility("default"))) int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  if (real_unlock == nullptr) bind_real_mutex_calls();
  if (mutex == held_mutex) {
    held_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(qb::Clock::now() - held_since).count();
    ++holds;
    held_mutex = nullptr;
  }
  return real_unlock(mutex);
}

namespace {

constexpr long long kBox = 200;

struct Image {
  std::string label;
  std::string table;
  std::string file;
  std::string bytes;
  long iterations;  // calls per run for (a) and (b), rows for SQL
  bool library_reads = true;  // whether (a) can load it
};

// (a): the library calls of the original image stage, nothing else: no
// lock, no path building, no checks of the input.
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
    // The new size as the image stage computes it.
    const quarn::thumb::Size size =
        quarn::thumb::fit_size(static_cast<ILuint>(ilGetInteger(IL_IMAGE_WIDTH)),
                               static_cast<ILuint>(ilGetInteger(IL_IMAGE_HEIGHT)), kBox, kBox);
    const ILuint depth = static_cast<ILuint>(ilGetInteger(IL_IMAGE_DEPTH));
    ok = iluScale(size.width, size.height, depth) && ilSave(IL_JPG, path.c_str());
  }
  ilDeleteImages(1, &name);
  return ok;
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

// (a) runs in a process of its own that has only ever used the image
// library: how fast the library's loader is depends on the allocator's and
// the kernel's state, and the other decoders that (b) runs here (libheif's)
// leave a state in which its loads of large JPEGs take a quarter of the time
// they take in a fresh process, or in a server that has made no HEIF
// thumbnails.
double time_floor(const Image& image, const std::string& dir) {
  return number_from_self("--floor '" + image.file + "' " + std::to_string(image.iterations) +
                          " '" + dir + "'");
}

// The child of time_floor: one warm-up call, then the timed ones.
int floor_in_this_process(const std::string& file, long iterations, const std::string& dir) {
  const std::string bytes = qb::read_bytes(file);
  ilInit();
  if (!floor_once(bytes, dir + "/a_warm.jpg")) return 1;
  const auto start = qb::Clock::now();
  for (long i = 0; i < iterations; ++i) {
    if (!floor_once(bytes, dir + "/a_" + std::to_string(i) + ".jpg")) return 1;
  }
  std::printf("%.6f\n", qb::seconds_since(start) * 1000.0 / iterations);
  return 0;
}

// The entry point's own look at the header before any decoder runs, one
// part of what (b) adds to (a).
double time_preflight(const Image& image) {
  const long calls = 50;
  const auto start = qb::Clock::now();
  for (long i = 0; i < calls; ++i) {
    const auto check = quarn::thumb::preflight_image(image.bytes.data(), image.bytes.size());
    if (check.refused) throw std::runtime_error("pre-flight refused " + image.label + ": " + check.reason);
  }
  return qb::seconds_since(start) * 1000.0 / calls;
}

struct EntryTiming {
  double ms;       // per call
  double lock_ms;  // image lock held, per call
};

EntryTiming time_entry(const qt::Function& tarvik, const Image& image) {
  qt::Args args;
  args.text(image.bytes).text("b_" + image.table).integer(kBox).integer(kBox);
  const qt::InitOutcome started = tarvik.init(args);
  if (started.refused) throw std::runtime_error("tarvik_init refused: " + started.message);
  UDF_INIT initid = started.initid;
  held_ns = 0;
  const auto start = qb::Clock::now();
  for (long i = 0; i < image.iterations; ++i) {
    const qt::StringOutcome out = tarvik.row_string(initid, args);
    if (out.text.rfind("File written as ", 0) != 0)
      throw std::runtime_error("tarvik failed: " + out.text);
  }
  const double ms = qb::seconds_since(start) * 1000.0 / image.iterations;
  return {ms, static_cast<double>(held_ns.load()) / 1e6 / image.iterations};
}

// Peak resident size, in KiB, of a fresh process of this program that
// loads the plug-in and makes one thumbnail (--none: makes none). The child
// reports its own peak: a parent's size would count in the child's rusage.
long peak_kib_of_one(const std::string& what) {
  return static_cast<long>(number_from_self("--once '" + what + "'"));
}

int make_one(const std::string& what) {
  qt::TempDir dir;
  setenv("UDF_IMAGEDIR", dir.path().c_str(), 1);
  qt::Plugin plugin("tarvik");
  qt::Function tarvik(plugin, "tarvik");
  if (what != "--none") {
    qt::Args args;
    args.text(qb::read_bytes(what)).text("once").integer(kBox).integer(kBox);  // moved in, not copied
    if (tarvik.call_string(args).text.rfind("File written as ", 0) != 0) return 1;
  }
  std::printf("%ld\n", qb::rss_kib(getpid(), "VmHWM:"));
  return 0;
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

const Image* find(const std::vector<Image>& images, const std::string& label) {
  for (const auto& image : images)
    if (image.label == label) return &image;
  throw std::runtime_error("no image " + label);
}

struct Scaling {
  std::vector<qb::Json> json;
  double two_of_one = 0.0;
};

// k connections at once each select `rows` thumbnails of the image, for
// each k of `levels` (the first is 1); prints the table.
Scaling through_connections(const std::vector<std::unique_ptr<qt::Connection>>& connections,
                            const Image& image, const std::vector<int>& levels, long rows,
                            long runs) {
  qb::Table conc({"connections", "thumbnails/s", "x of 1 conn", "ms per row seen by a conn"});
  Scaling scaling;
  double single = 0.0;
  for (int k : levels) {
    std::vector<double> rates, latencies;
    for (long run = 0; run < runs; ++run) {
      std::vector<double> elapsed;
      const double wall = qb::run_concurrently(k, [&](int t) {
        run_select(*connections[t],
                   select_sql(image.table, "k" + std::to_string(k) + "_" + std::to_string(t) + "_", rows),
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
  conc.print("Thumbnails through SQL, " + image.label + ", " + std::to_string(rows) +
             " rows per connection, medians of " + std::to_string(runs) + " runs, " +
             std::to_string(std::thread::hardware_concurrency()) + " cores");
  return scaling;
}

}  // namespace

int main(int argc, char** argv) {
  bind_real_mutex_calls();
  if (argc == 3 && std::strcmp(argv[1], "--once") == 0) return make_one(argv[2]);
  if (argc == 5 && std::strcmp(argv[1], "--floor") == 0)
    return floor_in_this_process(argv[2], std::atol(argv[3]), argv[4]);
  if (argc != 15) {
    std::fprintf(stderr,
                 "usage: bench_thumbnail OUT_JSON PNG_1600x1200 JPEG_1600x1200 JPEG_4000x3000 "
                 "JPEG_6000x4000 WEBP_4000x3000 HEIC_4000x3000 AVIF_4000x3000 "
                 "JPEG_ADOBE_RGB_4000x3000 TIFF_1600x1200 PNG_8000x6000 TIFF_8000x6000 GIF_1000x750 "
                 "GIF_1000x750_120_FRAMES\n");
    return 2;
  }
  try {
    const long runs = qb::env_count("QUARN_BENCH_RUNS", 5);
    const long conc_rows = qb::env_count("QUARN_BENCH_CONC_ROWS", 24);
    const long conc_runs = qb::env_count("QUARN_BENCH_CONC_RUNS", 3);
    std::vector<Image> images = {
        {"1600x1200 PNG", "img_png", argv[2], "", qb::env_count("QUARN_BENCH_ITER_PNG", 10)},
        {"1600x1200 JPEG", "img_medium", argv[3], "", qb::env_count("QUARN_BENCH_ITER_MEDIUM", 15)},
        {"4000x3000 JPEG", "img_large", argv[4], "", qb::env_count("QUARN_BENCH_ITER_LARGE", 4)},
        {"6000x4000 JPEG", "img_huge", argv[5], "", qb::env_count("QUARN_BENCH_ITER_HUGE", 3)},
        {"4000x3000 WebP", "img_webp", argv[6], "", qb::env_count("QUARN_BENCH_ITER_LARGE", 4), false},
        {"4000x3000 HEIC", "img_heic", argv[7], "", qb::env_count("QUARN_BENCH_ITER_LARGE", 4), false},
        {"4000x3000 AVIF", "img_avif", argv[8], "", qb::env_count("QUARN_BENCH_ITER_LARGE", 4), false},
        // The 4000x3000 JPEG's data with an Adobe RGB profile: what colour
        // management costs.
        {"4000x3000 JPEG Adobe RGB", "img_tagged", argv[9], "", qb::env_count("QUARN_BENCH_ITER_LARGE", 4)},
        {"1600x1200 TIFF", "img_tiff", argv[10], "", qb::env_count("QUARN_BENCH_ITER_PNG", 10)},
        {"8000x6000 PNG", "img_png_huge", argv[11], "", qb::env_count("QUARN_BENCH_ITER_HUGE", 3)},
        {"8000x6000 TIFF", "img_tiff_huge", argv[12], "", qb::env_count("QUARN_BENCH_ITER_HUGE", 3)},
        {"1000x750 GIF", "img_gif", argv[13], "", qb::env_count("QUARN_BENCH_ITER_GIF", 5)},
        {"1000x750 GIF, 120 frames", "img_gif_anim", argv[14], "", qb::env_count("QUARN_BENCH_ITER_GIF", 5)},
    };
    for (auto& image : images) image.bytes = qb::read_bytes(image.file);

    qt::TempDir out_dir;
    setenv("UDF_IMAGEDIR", out_dir.path().c_str(), 1);
    ilInit();
    qt::Plugin plugin("tarvik");
    qt::Function tarvik(plugin, "tarvik");
    Dl_info plugin_info{};
    if (dladdr(plugin.symbol("tarvik"), &plugin_info) == 0) throw std::runtime_error("dladdr failed");
    watched_base = plugin_info.dli_fbase;

    std::printf("thumbnails: box %lldx%lld, %ld runs; per run (a) and (b) call each image:", kBox,
                kBox, runs);
    for (const auto& image : images)
      std::printf(" %s x%ld (%zu bytes)", image.label.c_str(), image.iterations, image.bytes.size());
    std::printf("\n");
    std::fflush(stdout);

    // One warm-up call of the entry point ((a) warms up in its own process),
    // so library loading and first-touch costs stay out of the medians.
    for (auto image : images) {
      image.iterations = 1;
      time_entry(tarvik, image);
    }

    // Per image and way: one value per run; the ratios are taken within each
    // run, then their median is reported.
    std::map<std::string, std::vector<double>> a, b, ba, pre, lock;
    for (long run = 0; run < runs; ++run) {
      for (const auto& image : images) {
        const EntryTiming tb = time_entry(tarvik, image);
        pre[image.label].push_back(time_preflight(image));
        b[image.label].push_back(tb.ms);
        lock[image.label].push_back(tb.lock_ms);
        if (!image.library_reads) continue;
        const double ta = time_floor(image, out_dir.path());
        a[image.label].push_back(ta);
        ba[image.label].push_back(tb.ms / ta);
      }
      std::printf("  run %ld of %ld done\n", run + 1, runs);
      std::fflush(stdout);
    }
    // Peak size: a process that only loads the plug-in, and one that also
    // makes one thumbnail of the image.
    const long floor_kib = peak_kib_of_one("--none");
    std::map<std::string, long> peak;
    for (const auto& image : images) peak[image.label] = peak_kib_of_one(image.file);

    qb::Table ways({"image", "(a) library ms", "(b) tarvik ms", "b/a", "b/a min..max",
                    "lock held ms (in b)", "pre-flight ms (in b)", "peak RSS MiB", "over loaded"});
    std::vector<qb::Json> way_json;
    for (const auto& image : images) {
      const auto& l = image.label;
      // (a) and the ratio only for what the image library reads.
      const bool both = image.library_reads;
      const double mba = both ? qb::median(ba[l]) : 0.0;
      const auto of_a = [&](const std::string& text) { return both ? text : std::string("-"); };
      ways.add({l, of_a(qb::fixed(both ? qb::median(a[l]) : 0.0, 2)), qb::fixed(qb::median(b[l]), 2),
                of_a(qb::fixed(mba, 3)),
                of_a(both ? qb::fixed(*std::min_element(ba[l].begin(), ba[l].end()), 3) + ".." +
                                qb::fixed(*std::max_element(ba[l].begin(), ba[l].end()), 3)
                          : ""),
                qb::fixed(qb::median(lock[l]), 2), qb::fixed(qb::median(pre[l]), 3),
                qb::fixed(peak[l] / 1024.0, 1), qb::fixed((peak[l] - floor_kib) / 1024.0, 1)});
      std::vector<std::pair<std::string, qb::Json>> fields = {
          {"image", qb::Json::string(l)},
          {"bytes", qb::Json::integer(static_cast<long long>(image.bytes.size()))},
          {"calls_per_run", qb::Json::integer(image.iterations)},
          {"tarvik_ms_median", qb::Json::number(qb::median(b[l]))},
          {"lock_held_ms_median", qb::Json::number(qb::median(lock[l]))},
          {"preflight_ms_median", qb::Json::number(qb::median(pre[l]))},
          {"peak_rss_kib", qb::Json::integer(peak[l])},
          {"tarvik_ms", qb::Json::numbers(b[l])},
      };
      if (both) {
        fields.push_back({"library_ms_median", qb::Json::number(qb::median(a[l]))});
        fields.push_back({"ratio_tarvik_library_median", qb::Json::number(mba)});
        fields.push_back({"library_ms", qb::Json::numbers(a[l])});
      }
      way_json.push_back(qb::Json::object(fields));
    }
    ways.print("Thumbnails, box 200x200: milliseconds per image, medians of " + std::to_string(runs) +
               " runs; peak RSS of one process making one thumbnail (loaded, no thumbnail: " +
               qb::fixed(floor_kib / 1024.0, 1) + " MiB)");
    const double large_ratio = qb::median(ba[find(images, "4000x3000 JPEG")->label]);
    const double png_ratio = qb::median(ba[find(images, "1600x1200 PNG")->label]);
    std::printf("  4000x3000 JPEG: b/a %.3f (target <= 0.25)\n", large_ratio);
    const double large_jpeg_ms = qb::median(b[find(images, "4000x3000 JPEG")->label]);
    for (const char* label : {"4000x3000 WebP", "4000x3000 HEIC", "4000x3000 AVIF"}) {
      const double ms = qb::median(b[find(images, label)->label]);
      std::printf("  %s: %.1f ms, %.2f x the 4000x3000 JPEG's %.1f ms\n", label, ms,
                  ms / large_jpeg_ms, large_jpeg_ms);
    }
    const double tagged_ms = qb::median(b[find(images, "4000x3000 JPEG Adobe RGB")->label]);
    std::printf("  4000x3000 JPEG Adobe RGB: %.2f ms, %.3f x the untagged one's %.2f ms\n", tagged_ms,
                tagged_ms / large_jpeg_ms, large_jpeg_ms);
    std::printf("  1600x1200 PNG:  b/a %.3f (target <= 1.10: the library's sequence is what tarvik\n"
                "                  did before, plus its checks)\n", png_ratio);
    const double gif_ms = qb::median(b[find(images, "1000x750 GIF")->label]);
    const double animated_ms = qb::median(b[find(images, "1000x750 GIF, 120 frames")->label]);
    std::printf("  120-frame GIF: %.1f ms, %.2f x the single frame's %.1f ms (target <= 1.5)\n", animated_ms,
                animated_ms / gif_ms, gif_ms);
    for (const char* label : {"8000x6000 PNG", "8000x6000 TIFF"})
      std::printf("  %s: peak RSS of one thumbnail %.1f MiB (target <= 80 MB)\n", label,
                  peak[find(images, label)->label] / 1024.0);

    // Concurrency through SQL: k connections each select conc_rows
    // thumbnails of the 1600x1200 JPEG at the same time.
    std::printf("starting the throwaway server...\n");
    std::fflush(stdout);
    qt::MariaDbServer server({{"UDF_IMAGEDIR", out_dir.path()}});
    server.install_functions();
    const Image& medium = *find(images, "1600x1200 JPEG");
    std::vector<std::unique_ptr<qt::Connection>> connections;
    for (int i = 0; i < 4; ++i) connections.push_back(qb::bench_connection(server));
    fill_table(*connections[0], medium.table, medium.bytes, conc_rows);
    run_select(*connections[0], select_sql(medium.table, "warm_", 2), 2);
    const unsigned cores = std::thread::hardware_concurrency();
    const Scaling jpeg_scaling = through_connections(connections, medium, {1, 2, 4}, conc_rows, conc_runs);
    std::printf("  2 connections: %.2f x 1 connection (target >= 1.5)\n", jpeg_scaling.two_of_one);
    // The 4000x3000 HEIC, which libheif decodes outside the image lock.
    const Image& heic = *find(images, "4000x3000 HEIC");
    const long heic_rows = qb::env_count("QUARN_BENCH_CONC_ROWS_HEIC", 8);
    fill_table(*connections[0], heic.table, heic.bytes, heic_rows);
    run_select(*connections[0], select_sql(heic.table, "warm_", 1), 1);
    const Scaling heic_scaling = through_connections(connections, heic, {1, 2}, heic_rows, conc_runs);
    std::printf("  2 connections: %.2f x 1 connection\n", heic_scaling.two_of_one);
    // PNG, TIFF and GIF, which the image library decoded under its lock.
    const long format_rows = qb::env_count("QUARN_BENCH_CONC_ROWS_FORMATS", 12);
    std::vector<qb::Json> format_json;
    for (const char* label : {"1600x1200 PNG", "1600x1200 TIFF", "1000x750 GIF, 120 frames"}) {
      const Image& image = *find(images, label);
      fill_table(*connections[0], image.table, image.bytes, format_rows);
      run_select(*connections[0], select_sql(image.table, "warm_", 1), 1);
      const Scaling scaling = through_connections(connections, image, {1, 2}, format_rows, conc_runs);
      std::printf("  2 connections: %.2f x 1 connection (target >= 1.8)\n", scaling.two_of_one);
      format_json.push_back(qb::Json::object({{"image", qb::Json::string(label)},
                                              {"rows_per_connection", qb::Json::integer(format_rows)},
                                              {"concurrency", qb::Json::array(scaling.json)}}));
    }

    const auto load = qb::load_average();
    qb::Json::object({
        {"benchmark", qb::Json::string("thumbnail")},
        {"box", qb::Json::integer(kBox)},
        {"runs", qb::Json::integer(runs)},
        {"loaded_peak_rss_kib", qb::Json::integer(floor_kib)},
        {"ways", qb::Json::array(way_json)},
        {"concurrency_image", qb::Json::string(medium.label)},
        {"concurrency_rows_per_connection", qb::Json::integer(conc_rows)},
        {"concurrency", qb::Json::array(jpeg_scaling.json)},
        {"concurrency_heic_rows_per_connection", qb::Json::integer(heic_rows)},
        {"concurrency_heic", qb::Json::array(heic_scaling.json)},
        {"concurrency_formats", qb::Json::array(format_json)},
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
