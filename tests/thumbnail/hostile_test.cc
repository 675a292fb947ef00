// Hostile and corrupt images through the tarvik entry point. Every risky call
// runs in a forked child, so that a crash, a hang or a memory blow-up fails
// the test instead of taking the test runner down.
#include <gtest/gtest.h>
#include <IL/il.h>
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "encoded_images.h"
#include "handmade_images.h"
#include "handmade_jpeg.h"
#include "images.h"
#include "tarvik_fixture.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

using quarn::test::Args;
using quarn::test::file_exists;
using quarn::test::read_file;

const std::string kRegressions = std::string(QUARN_SOURCE_DIR) + "/tests/thumbnail/regressions/";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers reserve terabytes of address space, slow every call and keep
// freed memory in quarantine: no address cap, and looser time and memory.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr double kMaxSeconds = kSanitized ? 20.0 : 1.0;
constexpr long kMaxExtraKb = (kSanitized ? 1024 : 100) * 1024;

struct ChildOutcome {
  bool finished = false;  // exited by itself within the deadline
  int status = 0;
  double seconds = 0;     // time of the call, measured in the child
  long extra_kb = 0;      // growth of the child's peak resident size
  std::string text;       // the call's result text
  std::string error_output;
};

long peak_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

class Hostile : public quarn::test::TarvikTest {
 protected:
  std::string path_of(const std::string& name) const { return dir_.file(name + ".jpg"); }
  std::string refusal(const std::string& name) const {
    return "Error loading the image for " + path_of(name) + ". Err Code: 1287";
  }

  // One tarvik call in a forked child; the parent gives it `deadline`
  // seconds and kills it after that.
  static ChildOutcome call_in_child(const std::string& image, const std::string& name,
                                    double deadline = kSanitized ? 60 : 10) {
    int out[2];
    if (pipe(out) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
      close(out[0]);
      // A cap well above the allowance, so that a regression cannot take the
      // machine's memory with it.
      if (!kSanitized) {
        rlimit cap{};
        getrlimit(RLIMIT_AS, &cap);
        rlimit limit{std::size_t{4} << 30, cap.rlim_max};
        setrlimit(RLIMIT_AS, &limit);
      }
      std::string error_output;
      const long before = peak_kb();
      const auto start = std::chrono::steady_clock::now();
      quarn::test::StringOutcome result;
      {
        quarn::test::StderrCapture capture;
        result = call(image, name, 200, 200);
        error_output = capture.messages("tarvik");
      }
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const long extra = peak_kb() - before;
      write_all(out[1], std::to_string(seconds) + "\n" + std::to_string(extra) + "\n" +
                            std::to_string(result.text.size()) + "\n" + result.text + error_output);
      _exit(0);
    }
    close(out[1]);
    ChildOutcome outcome;
    std::string received;
    bool closed = false;
    const auto stop = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadline);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            stop - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) {  // the child closed the pipe: it is ending
        closed = true;
        break;
      }
      received.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    // A child that has closed its pipe gets two seconds to exit; one that
    // ran out of time none.
    const auto reap_by = std::chrono::steady_clock::now() + std::chrono::seconds(closed ? 2 : 0);
    while (waitpid(pid, &outcome.status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= reap_by) {
        kill(pid, SIGKILL);
        waitpid(pid, &outcome.status, 0);
        return outcome;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    outcome.finished = WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0;
    if (!outcome.finished) return outcome;
    std::size_t pos = 0;
    const auto line = [&]() {
      const std::size_t end = received.find('\n', pos);
      std::string value = received.substr(pos, end - pos);
      pos = end + 1;
      return value;
    };
    outcome.seconds = std::stod(line());
    outcome.extra_kb = std::stol(line());
    const std::size_t text_size = std::stoul(line());
    outcome.text = received.substr(pos, text_size);
    outcome.error_output = received.substr(pos + text_size);
    return outcome;
  }

  // The refusal, quickly and within the memory allowance, in a child.
  void expect_refused_safely(const std::string& image, const std::string& name) {
    const ChildOutcome outcome = call_in_child(image, name);
    ASSERT_TRUE(outcome.finished) << name << ": child status " << outcome.status
                                  << (WIFSIGNALED(outcome.status) ? " (signal)" : "");
    EXPECT_EQ(outcome.text, refusal(name));
    EXPECT_EQ(outcome.error_output, refusal(name) + "\n");
    EXPECT_LT(outcome.seconds, kMaxSeconds) << name;
    EXPECT_LT(outcome.extra_kb, kMaxExtraKb) << name;
    EXPECT_FALSE(file_exists(path_of(name))) << name;
  }

};

TEST_F(Hostile, FixturesAreRefusedSafely) {
  for (const auto& image : quarn::handmade::hostile_images())
    expect_refused_safely(image.bytes, image.name);
}

// Small files that claim an honest picture and would cost far more to
// decode: each fails clearly within 1 s and 32 MB beyond its BLOB; the
// JPEG of 3000 scans also within 3 times what an honest progressive JPEG
// of its size takes, with a log line that says why.
TEST_F(Hostile, CostlyFilesFailWithinTheirBounds) {
  std::vector<std::uint8_t> grey(std::size_t{8000} * 8000);
  for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<std::uint8_t>(i % 8000 / 40 + i % 7);
  quarn::handmade::JpegOptions progressive{JCS_GRAYSCALE};
  progressive.progressive = true;
  const ChildOutcome honest = call_in_child(quarn::handmade::jpeg(grey, 8000, 8000, progressive), "honest");
  ASSERT_TRUE(honest.finished);
  ASSERT_EQ(honest.text, "File written as " + path_of("honest"));
  std::vector<std::uint8_t>().swap(grey);
  const std::string scans_note = " (a JPEG of more than 100 scans, more than any encoder writes)";
  for (const auto& image : quarn::handmade::costly_images()) {
    const bool jpeg = image.bytes.compare(0, 2, "\xFF\xD8") == 0;
    const ChildOutcome outcome = call_in_child(image.bytes, image.name);
    ASSERT_TRUE(outcome.finished) << image.name << ": child status " << outcome.status;
    EXPECT_EQ(outcome.text, refusal(image.name));
    EXPECT_EQ(outcome.error_output, refusal(image.name) + (jpeg ? scans_note : "") + "\n");
    EXPECT_LT(outcome.seconds, jpeg ? std::min(kMaxSeconds, 3 * honest.seconds) : kMaxSeconds) << image.name;
    EXPECT_LT(outcome.extra_kb, (kSanitized ? kMaxExtraKb : 32 * 1024) + static_cast<long>(image.bytes.size() >> 10))
        << image.name;
  }
}

TEST_F(Hostile, JpegBombsAreRefusedSafely) {
  const struct {
    unsigned width;
    unsigned height;
    int components;
  } bombs[] = {{40000, 40000, 3}, {65500, 65500, 1}, {32769, 16, 1}};
  for (const auto& bomb : bombs) {
    const std::string name =
        "bomb_" + std::to_string(bomb.width) + "x" + std::to_string(bomb.height);
    expect_refused_safely(quarn::handmade::jpeg_bomb(bomb.width, bomb.height, bomb.components),
                          name);
  }
}

TEST_F(Hostile, HugePngIsRefusedSafely) {
  // A valid, all-black 40000 x 40000 grey PNG of a few MB.
  const std::string png = quarn::handmade::png_of_zero_rows(40000, 40000, 8, 0, 40000, false);
  ASSERT_LT(png.size(), 10u << 20);
  expect_refused_safely(png, "huge_png");
}

TEST_F(Hostile, FuzzingFindingsAreHandledSafely) {
  DIR* dir = opendir(kRegressions.c_str());
  ASSERT_NE(dir, nullptr) << kRegressions;
  std::vector<std::string> files;
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') files.push_back(entry->d_name);
  closedir(dir);
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) {
    const std::string bytes = read_file(kRegressions + file);
    std::vector<std::string> images{bytes};
    if (file.rfind("icc_fuzz-", 0) == 0) {
      // A profile: embedded in an RGB and a CMYK JPEG.
      const quarn::handmade::JpegOptions rgb{JCS_YCbCr, 0, false, 95, bytes}, cmyk{JCS_CMYK, 0, false, 95, bytes};
      images = {quarn::handmade::jpeg(std::vector<std::uint8_t>(16 * 16 * 3, 120), 16, 16, rgb),
                quarn::handmade::jpeg(std::vector<std::uint8_t>(16 * 16 * 4, 120), 16, 16, cmyk)};
    }
    for (const std::string& image : images) {
      // Whatever the outcome, it is a status text, quickly and in bounded memory.
      const ChildOutcome outcome = call_in_child(image, "finding");
      EXPECT_TRUE(outcome.finished) << file << ": child status " << outcome.status;
      if (!outcome.finished) continue;
      EXPECT_LT(outcome.seconds, kMaxSeconds) << file;
      EXPECT_LT(outcome.extra_kb, kMaxExtraKb) << file;
      EXPECT_FALSE(outcome.text.empty()) << file;
    }
  }
}

TEST_F(Hostile, UnrecognisedBytesKeepTheLibrarysLoadError) {
  // The pre-flight leaves bytes without a known signature to the library;
  // its load error is the same as without the check. Longer junk leaves no
  // error at all: that failure says IL_FORMAT_NOT_SUPPORTED, not 0.
  const struct {
    std::string junk;
    bool library_says_nothing;
  } cases[] = {{"this is not an image, only some text", false}, {std::string(5000, 'A'), true}};
  for (const auto& c : cases) {
    ilInit();
    ILuint name = 0;
    ilGenImages(1, &name);
    ilBindImage(name);
    while (ilGetError() != IL_NO_ERROR) {
    }
    ASSERT_FALSE(ilLoadL(IL_TYPE_UNKNOWN, c.junk.data(), static_cast<ILuint>(c.junk.size())));
    const unsigned code = ilGetError();
    ilDeleteImages(1, &name);
    ASSERT_EQ(code == IL_NO_ERROR, c.library_says_nothing);
    ASSERT_NE(code, 1287u);
    quarn::test::StderrCapture quiet;
    EXPECT_EQ(call(c.junk, "junk", 200, 200).text,
              "Error loading the image for " + path_of("junk") +
                  ". Err Code: " + std::to_string(c.library_says_nothing ? IL_FORMAT_NOT_SUPPORTED : code));
  }
}

TEST_F(Hostile, RefusalDoesNotWaitForTheImageLock) {
  // Two large valid bitmaps, which the image library decodes under its
  // lock: once one of them waits, the other holds the lock. A refused image
  // in the meantime returns without waiting for it.
  const std::string slow = quarn::test::encode_image(4000, 3000, quarn::test::ImageFormat::kBmp);
  ASSERT_FALSE(slow.empty());
  const std::string junk = quarn::handmade::junk_after("BM", 0x2545F491u);
  using Clock = std::chrono::steady_clock;
  Clock::time_point slow_end[2];
  std::atomic<pid_t> worker_ids[2] = {0, 0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 2; ++i) {
    workers.emplace_back([&, i] {
      worker_ids[i] = static_cast<pid_t>(::syscall(SYS_gettid));
      call(slow, "slow" + std::to_string(i), 100, 100);
      slow_end[i] = Clock::now();
    });
  }
  bool lock_held = false;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!lock_held && Clock::now() < deadline) {
    for (const auto& id : worker_ids)
      if (id != 0 && quarn::test::wait_until_blocked(id, std::chrono::milliseconds(0))) lock_held = true;
  }
  const std::string refused_text = call(junk, "refused", 100, 100).text;
  const Clock::time_point refused_end = Clock::now();
  for (auto& worker : workers) worker.join();
  ASSERT_TRUE(lock_held) << "neither image waited for the other";
  EXPECT_EQ(refused_text, refusal("refused"));
  EXPECT_LT(refused_end, std::min(slow_end[0], slow_end[1]));
}

// Every cut of a WebP, HEIC, AVIF or JPEG XL file fails to load with the
// code of an illegal file; bit flips give a thumbnail or a load failure with
// a code, never a crash or "no error".
TEST_F(Hostile, DamagedWebpHeicAvifAndJpegXlFailCleanly) {
  quarn::test::Samples rgb(160 * 120 * 3), rgba(160 * 120 * 4);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 480);
  for (std::size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<std::uint8_t>(i * 5 + i / 640);
  using quarn::test::HeifCodec;
  quarn::test::JxlOptions jxl_lossless, jxl_animated;
  jxl_lossless.lossless = true;
  jxl_animated.more_frames = {quarn::test::Samples(rgb.size(), 200)};
  jxl_animated.container = true;
  const struct {
    const char* name;
    std::string image;
  } files[] = {
      {"webp_lossy", quarn::test::webp(rgb, 160, 120, 3, false)},
      {"webp_lossless", quarn::test::webp(rgba, 160, 120, 4, true)},
      {"webp_animated", quarn::test::webp_animation({rgba, quarn::test::Samples(rgba.size(), 90)}, 160, 120)},
      {"heic", quarn::test::heif(rgb, 160, 120, 3, {HeifCodec::kHevc, 6, 6})},
      {"avif", quarn::test::heif(rgba, 160, 120, 4, {HeifCodec::kAv1})},
      {"avif_10_bit", quarn::test::avif_10bit(rgb, 160, 120)},
      {"jxl_lossy", quarn::test::jxl(rgb, 160, 120, 3)},
      {"jxl_lossless_alpha", quarn::test::jxl(rgba, 160, 120, 4, jxl_lossless)},
      {"jxl_animated_in_container", quarn::test::jxl(rgb, 160, 120, 3, jxl_animated)},
  };
  std::uint32_t random = 0x9E3779B9u;
  const auto next = [&random] { return random = random * 1664525u + 1013904223u; };
  for (const auto& f : files) {
    ASSERT_FALSE(f.image.empty()) << f.name;
    const std::size_t n = f.image.size();
    for (const std::size_t length : {std::size_t{16}, n / 10, n / 2, n - n / 10, n - 1}) {
      const std::string name = std::string(f.name) + "_cut_" + std::to_string(length);
      const ChildOutcome outcome = call_in_child(f.image.substr(0, length), name);
      ASSERT_TRUE(outcome.finished) << name << ": child status " << outcome.status;
      EXPECT_EQ(outcome.text, refusal(name));
      EXPECT_LT(outcome.seconds, kMaxSeconds) << name;
    }
    for (int flip = 0; flip < 16; ++flip) {
      std::string damaged = f.image;
      const std::size_t at = next() % n;
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << (next() % 8)));
      const std::string name = std::string(f.name) + "_flip_" + std::to_string(at);
      const ChildOutcome outcome = call_in_child(damaged, name);
      ASSERT_TRUE(outcome.finished) << name << ": child status " << outcome.status;
      EXPECT_LT(outcome.seconds, kMaxSeconds) << name;
      EXPECT_LT(outcome.extra_kb, kMaxExtraKb) << name;
      if (outcome.text == "File written as " + path_of(name)) continue;
      const std::string failure = "Error loading the image for " + path_of(name) + ". Err Code: ";
      ASSERT_EQ(outcome.text.substr(0, failure.size()), failure) << name;
      EXPECT_NE(outcome.text.substr(failure.size()), "0") << name;
    }
  }
}

struct PaletteCase {
  const char* name;
  std::string image;
  unsigned width;  // of the thumbnail in a 200 x 200 box
  unsigned height;
};

class PaletteImages : public Hostile, public ::testing::WithParamInterface<PaletteCase> {};

TEST_P(PaletteImages, AreConvertedAndWrittenWithTheRightSize) {
  const auto& c = GetParam();
  const auto result = call(c.image, c.name, 200, 200);
  ASSERT_EQ(result.text, "File written as " + path_of(c.name));
  const auto written = quarn::test::decode_file(path_of(c.name));
  ASSERT_TRUE(written.ok);
  EXPECT_EQ(written.width, c.width);
  EXPECT_EQ(written.height, c.height);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PaletteImages,
    ::testing::Values(PaletteCase{"gif", quarn::handmade::gif(40, 30), 200, 150},
                      PaletteCase{"gif_animated", quarn::handmade::gif(30, 60, 3), 100, 200},
                      PaletteCase{"gif_tiny", quarn::handmade::gif(2, 1), 200, 100},
                      PaletteCase{"palette_png", quarn::handmade::palette_png(64, 32), 200, 100},
                      PaletteCase{"palette_png_wide", quarn::handmade::palette_png(1000, 10), 200, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
