// The tarvik entry points, loaded and called the way the server does.
#include <gtest/gtest.h>
#include <IL/il.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
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
using quarn::test::decode_file;
using quarn::test::encode_image;
using quarn::test::file_exists;
using quarn::test::ImageFormat;

// Every file in the directory with its bytes.
std::map<std::string, std::string> listing(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files[entry.path().filename().string()] = quarn::test::read_file(entry.path().string());
  return files;
}

const char kCountRefusal[] = "THUMBNAIL() requires 4 arguments";
const char kTypeRefusal[] =
    "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an integer "
    "maximum height";

class Tarvik : public quarn::test::TarvikTest {
 protected:
  static void SetUpTestSuite() {
    TarvikTest::SetUpTestSuite();
    png_1600x1200_ = new std::string(encode_image(1600, 1200, ImageFormat::kPng));
  }
  static void TearDownTestSuite() {
    delete png_1600x1200_;
    TarvikTest::TearDownTestSuite();
  }

  static inline std::string* png_1600x1200_ = nullptr;
};

TEST_F(Tarvik, InitRefusesWrongCountsAndTypes) {
  const struct {
    const char* what;
    Args args;
    const char* message;
  } cases[] = {
      {"three", Args().text("b").text("n").integer(1), kCountRefusal},
      {"five", Args().text("b").text("n").integer(1).integer(1).integer(1), kCountRefusal},
      {"none", Args(), kCountRefusal},
      {"real width", Args().text("b").text("n").real(200.0).integer(1), kTypeRefusal},
      {"decimal height", Args().text("b").text("n").integer(1).decimal("200.0"), kTypeRefusal},
      {"numeric name", Args().text("b").integer(7).integer(1).integer(1), kTypeRefusal},
      {"numeric blob", Args().integer(7).text("n").integer(1).integer(1), kTypeRefusal},
      {"text width", Args().text("b").text("n").text("200").integer(1), kTypeRefusal},
  };
  for (auto c : cases) {
    const auto outcome = tarvik_->init(c.args);
    EXPECT_TRUE(outcome.refused) << c.what;
    EXPECT_EQ(outcome.message, c.message) << c.what;
  }
}

TEST_F(Tarvik, InitAcceptsAndSetsTheServerFlags) {
  Args args;
  args.text("b").text("n").integer(1).integer(1);
  auto outcome = tarvik_->init(args);
  ASSERT_FALSE(outcome.refused);
  EXPECT_EQ(outcome.initid.maybe_null, 1);
  EXPECT_EQ(outcome.initid.max_length, 255u);
  EXPECT_EQ(outcome.initid.const_item, 0);
  EXPECT_EQ(outcome.initid.decimals, 0u);
  EXPECT_NE(outcome.initid.ptr, nullptr) << "the statement's cap on repeated lines";
  tarvik_->deinit(outcome.initid);
  EXPECT_EQ(args.maybe_null(), (std::vector<char>{0, 0, 1, 1}));
  EXPECT_EQ(args.types(), (std::vector<Item_result>{STRING_RESULT, STRING_RESULT, INT_RESULT,
                                                     INT_RESULT}));
}

TEST_F(Tarvik, WritesAJpegFittedIntoTheBox) {
  quarn::test::StderrCapture err;
  const auto outcome = call(*png_1600x1200_, "photos/cat.png", 200, 200);
  const std::string path = dir_.file("cat.png.jpg");
  EXPECT_EQ(outcome.text, "File written as " + path);
  EXPECT_EQ(outcome.length, outcome.text.size());
  EXPECT_FALSE(outcome.is_null);
  EXPECT_FALSE(outcome.error);
  EXPECT_TRUE(outcome.returned_result_buffer);
  EXPECT_EQ(err.text(), "");
  const auto written = decode_file(path);
  ASSERT_TRUE(written.ok);
  EXPECT_EQ(written.width, 200u);
  EXPECT_EQ(written.height, 150u);
  EXPECT_EQ(quarn::test::read_file(path).substr(0, 2), "\xFF\xD8") << "JPEG signature";
}

TEST_F(Tarvik, SizesOfTheWrittenFiles) {
  const struct {
    unsigned w, h;
    long long max_w, max_h;
    unsigned new_w, new_h;
  } cases[] = {
      {3000, 2000, 100, 100, 100, 67},    {50, 40, 200, 200, 200, 160},
      {4, 3, 2, 100, 2, 1},               {640, 480, -320, -320, 320, 240},
      {640, 480, (1LL << 32) + 200, (1LL << 32) + 200, 200, 150},
  };
  for (const auto& c : cases) {
    const std::string image = encode_image(c.w, c.h, ImageFormat::kJpeg);
    const auto outcome = call(image, "sized", c.max_w, c.max_h);
    ASSERT_EQ(outcome.text, "File written as " + dir_.file("sized.jpg"));
    const auto written = decode_file(dir_.file("sized.jpg"));
    EXPECT_EQ(written.width, c.new_w) << c.w << "x" << c.h << " into " << c.max_w;
    EXPECT_EQ(written.height, c.new_h) << c.w << "x" << c.h << " into " << c.max_w;
  }
}

TEST_F(Tarvik, FailuresAreTextsOnTheResultAndLinesOnStandardError) {
  quarn::test::StderrCapture err;
  const std::string path = dir_.file("bad.jpg");
  const auto first = call("this is not an image", "bad", 200, 200);
  const std::string prefix = "Error loading the image for " + path + ". Err Code: ";
  ASSERT_EQ(first.text.substr(0, prefix.size()), prefix);
  const std::string code = first.text.substr(prefix.size());
  EXPECT_FALSE(code.empty());
  EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
  EXPECT_FALSE(first.is_null);
  EXPECT_FALSE(first.error);
  EXPECT_FALSE(file_exists(path));

  const auto second = call(std::string(), "bad", 200, 200);
  EXPECT_EQ(second.text, "Error loading the image for " + path + ". Err Code: " +
                             std::to_string(IL_INVALID_PARAM));
  EXPECT_EQ(err.messages("tarvik"), first.text + "\n" + second.text + "\n");
}

// Within a statement the eleventh and later line of a failure (the same but
// for the file name) are counted, and the count is told at its end.
TEST_F(Tarvik, AStatementWritesTenLinesOfAFailureAndCountsTheRest) {
  Args no_maximum;
  no_maximum.text("x").text("m").null_integer().integer(9);
  auto statement = tarvik_->init(no_maximum);
  quarn::test::StderrCapture err;
  std::string expected;
  for (int i = 0; i < 12; ++i) {
    Args args;
    args.text("not an image").text("f" + std::to_string(i)).integer(9).integer(9);
    const std::string text = tarvik_->row_string(statement.initid, args).text;
    if (i < 10) expected += text + "\n";
  }
  expected += tarvik_->row_string(statement.initid, no_maximum).text + "\n";  // another kind
  tarvik_->deinit(statement.initid);
  EXPECT_EQ(err.messages("tarvik"),
            expected + "statement summary: 2 repeated failure lines not written\n");
}

TEST_F(Tarvik, ANullBlobIsALoadFailure) {
  Args args;
  args.null_text().text("n").integer(10).integer(10);
  const auto outcome = tarvik_->call_string(args);
  EXPECT_EQ(outcome.text, "Error loading the image for " + dir_.file("n.jpg") +
                              ". Err Code: " + std::to_string(IL_INVALID_PARAM));
  EXPECT_FALSE(outcome.error);
}

TEST_F(Tarvik, SaveFailureIntoAMissingDirectory) {
  const std::string missing = dir_.file("no/such/dir");
  setenv("UDF_IMAGEDIR", missing.c_str(), 1);
  quarn::test::StderrCapture err;
  const auto outcome = call(*png_1600x1200_, "cat", 100, 100);
  const std::string prefix = "Error saving the thumbnail for " + missing + "/cat.jpg. Err Code: ";
  EXPECT_EQ(outcome.text.substr(0, prefix.size()), prefix);
  EXPECT_EQ(err.messages("tarvik"), outcome.text + "\n");
}

// A full disk, imitated by a file size limit in a child process: the file
// cannot be written whole, whether the writes fail on the way (a large
// thumbnail) or only its buffered tail as the file is flushed (a small one).
// The directory is left as it was: no new file, the previous one whole.
TEST_F(Tarvik, AThumbnailCutShortIsASaveFailureThatLeavesTheDirectoryAsItWas) {
  struct Case {
    const char* name;
    long long box;
    rlim_t file_limit;
    bool previous;  // a thumbnail of that name exists already
  };
  const Case cases[] = {
      {"writes fail", 400, 1000, false},
      {"only the flush fails", 40, 500, false},
      {"writes fail over a previous thumbnail", 400, 1000, true},
      {"only the flush fails over a previous thumbnail", 40, 500, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.file("cut.jpg"));
    if (c.previous) {
      ASSERT_EQ(call(*png_1600x1200_, "cut", 16, 16).text, "File written as " + dir_.file("cut.jpg"));
    }
    const auto before = listing(dir_.path());
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(pipe_fds[0]);
      if (freopen("/dev/null", "w", stderr) == nullptr) _exit(2);  // the line is checked elsewhere
      signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
      const rlimit limit{c.file_limit, c.file_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
      const std::string text = call(*png_1600x1200_, "cut", c.box, c.box).text;
      const bool written = write(pipe_fds[1], text.data(), text.size()) ==
                           static_cast<ssize_t>(text.size());
      _exit(written ? 0 : 1);
    }
    close(pipe_fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(pipe_fds[0]);
    quarn::test::reap_within(pid, std::chrono::seconds(30));
    EXPECT_EQ(text, "Error saving the thumbnail for " + dir_.file("cut.jpg") +
                        ". Err Code: " + std::to_string(IL_FILE_WRITE_ERROR));
    EXPECT_EQ(listing(dir_.path()), before);
  }
  // The same call without the limit writes the file.
  EXPECT_EQ(call(*png_1600x1200_, "cut", 40, 40).text, "File written as " + dir_.file("cut.jpg"));
}

// A file or a symbolic link at the path is replaced by a new file, created
// with the process's umask; the link's target is left alone.
TEST_F(Tarvik, AnExistingFileOrLinkIsReplaced) {
  quarn::test::write_file(dir_.file("outside"), "not a thumbnail");
  ASSERT_EQ(symlink(dir_.file("outside").c_str(), dir_.file("link.jpg").c_str()), 0);
  quarn::test::write_file(dir_.file("old.jpg"), "stale bytes");
  ASSERT_EQ(chmod(dir_.file("old.jpg").c_str(), 0600), 0);
  const mode_t saved = umask(027);
  for (const char* name : {"old.jpg", "link.jpg"}) {
    const auto outcome = call(*png_1600x1200_, name, 80, 80);
    EXPECT_EQ(outcome.text, "File written as " + dir_.file(name));
    const auto written = decode_file(dir_.file(name));
    ASSERT_TRUE(written.ok) << name;
    EXPECT_EQ(written.width, 80u);
    EXPECT_EQ(written.height, 60u);
    struct stat info {};
    ASSERT_EQ(lstat(dir_.file(name).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
    EXPECT_EQ(info.st_mode & 07777, 0640u) << name;
  }
  umask(saved);
  EXPECT_EQ(quarn::test::read_file(dir_.file("outside")), "not a thumbnail");
}

// A web server reading the thumbnail while it is rewritten gets the old
// file or the new one, whole.
TEST_F(Tarvik, AReaderSeesTheOldThumbnailOrTheNewOneNeverAPart) {
  const std::string image = encode_image(800, 600, ImageFormat::kJpeg);
  const std::string path = dir_.file("live.jpg");
  std::string versions[2];
  for (int v = 0; v < 2; ++v) {
    ASSERT_EQ(call(image, "live", 200 + 100 * v, 200 + 100 * v).text, "File written as " + path);
    versions[v] = quarn::test::read_file(path);
  }
  ASSERT_NE(versions[0], versions[1]);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 100; ++i) call(image, "live", 200 + 100 * (i % 2), 200 + 100 * (i % 2));
    done = true;
  });
  int reads = 0, torn = 0;
  while (!done) {
    const std::string bytes = quarn::test::read_file(path);
    ++reads;
    if (bytes != versions[0] && bytes != versions[1]) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  EXPECT_EQ(listing(dir_.path()), (std::map<std::string, std::string>{{"live.jpg", versions[1]}}));
}

TEST_F(Tarvik, LongMessagesAreCutTo253CharactersButLoggedWhole) {
  const std::string directory = dir_.path() + "/";
  const std::string name(240 - directory.size() - 4, 'n');
  const std::string path = directory + name + ".jpg";
  ASSERT_EQ(path.size(), 240u);

  const auto ok = call(*png_1600x1200_, name, 20, 20);
  const std::string full = "File written as " + path;
  ASSERT_EQ(full.size(), 256u);
  EXPECT_EQ(ok.length, 253u);
  EXPECT_EQ(ok.text, full.substr(0, 253));
  EXPECT_TRUE(file_exists(path));

  quarn::test::StderrCapture err;
  const auto bad = call("junk", name, 20, 20);
  EXPECT_EQ(bad.length, 253u);
  EXPECT_GT(err.messages("tarvik").size(), 254u);
  EXPECT_EQ(err.messages("tarvik").substr(0, 253), bad.text);
}

TEST_F(Tarvik, ANullMaximumDoesNoImageWork) {
  for (int which = 0; which < 2; ++which) {
    quarn::test::StderrCapture err;
    Args args;
    args.text(*png_1600x1200_).text("nomax");
    if (which == 0)
      args.null_integer().integer(100);
    else
      args.integer(100).null_integer();
    const auto outcome = tarvik_->call_string(args);
    const std::string expected =
        "Error: no maximum width or height given for " + dir_.file("nomax.jpg");
    EXPECT_EQ(outcome.text, expected);
    EXPECT_FALSE(outcome.is_null);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(err.messages("tarvik"), expected + "\n");
    EXPECT_FALSE(file_exists(dir_.file("nomax.jpg")));
  }
}

TEST_F(Tarvik, ANameWithANulWritesOnlyAJpegInTheDirectory) {
  const auto outcome = call(*png_1600x1200_, std::string("x.php\0y/../z", 12), 50, 50);
  EXPECT_EQ(outcome.text, "File written as " + dir_.file("x.php.jpg"));
  EXPECT_TRUE(file_exists(dir_.file("x.php.jpg")));
  EXPECT_FALSE(file_exists(dir_.file("x.php")));
}

// Names with no base name left would all write the one hidden ".jpg"; a
// name longer than a file system takes would fail only at the rename, as
// code 1290 of a missing directory.
TEST_F(Tarvik, ANameThatLeavesNoFileNameIsRefusedBeforeAnyImageWork) {
  const char kNoName[] = "Error: No file name for the thumbnail.";
  const char kLong[] =
      "Error: The thumbnail's file name is longer than 255 bytes, which no file system takes.";
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {std::nullopt, kNoName}, {"", kNoName},     {".", kNoName},
      {"..", kNoName},         {"dir/", kNoName}, {"a/b\\", kNoName},
      {"a/..", kNoName},       {std::string("\0x.png", 6), kNoName},
      {"d/" + std::string(252, 'n'), kLong},  // 256 bytes with ".jpg"
  };
  for (const auto& [name, expected] : cases) {
    const std::string shown = name ? "'" + *name + "'" : "NULL";
    quarn::test::StderrCapture err;
    Args args;
    args.text("not an image");  // never decoded
    name ? args.text(*name) : args.null_text();
    args.null_integer().integer(20);  // nor the maximums looked at
    const auto outcome = tarvik_->call_string(args);
    EXPECT_EQ(outcome.text, expected) << shown;
    EXPECT_FALSE(outcome.is_null);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(err.messages("tarvik"), outcome.text + "\n") << shown;
  }
  EXPECT_TRUE(listing(dir_.path()).empty());
}

TEST_F(Tarvik, AHugeBoxIsRefusedAsAScalingFailure) {
  const auto outcome = call(*png_1600x1200_, "huge", 2147483647, 2147483647);
  EXPECT_EQ(outcome.text, "Error attempting to scale the image for " + dir_.file("huge.jpg") +
                              ". Err Code: " + std::to_string(IL_INVALID_PARAM));
  EXPECT_FALSE(file_exists(dir_.file("huge.jpg")));
}

TEST_F(Tarvik, AZeroBoxIsLeftToTheLibraryWithoutHarm) {
  const auto outcome = call(*png_1600x1200_, "zero", 0, 0);
  const std::string path = dir_.file("zero.jpg");
  const bool written = outcome.text == "File written as " + path;
  const bool refused = outcome.text.rfind("Error attempting to scale the image for " + path, 0) == 0;
  EXPECT_TRUE(written || refused) << outcome.text;
  EXPECT_FALSE(outcome.error);
  // The library is still usable afterwards.
  EXPECT_EQ(call(*png_1600x1200_, "after", 20, 20).text, "File written as " + dir_.file("after.jpg"));
}

TEST_F(Tarvik, ConcurrentRowsWriteCorrectFiles) {
  constexpr int kThreads = 8;
  std::vector<std::string> images;
  for (int i = 0; i < kThreads; ++i)
    images.push_back(encode_image(300 + 40 * i, 200 + 10 * i,
                                  i % 2 ? ImageFormat::kJpeg : ImageFormat::kPng));
  std::vector<quarn::test::StringOutcome> outcomes(kThreads * 3);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        Args args;
        args.text(images[t]).text("t" + std::to_string(t)).integer(100).integer(100);
        outcomes[t * 3 + round] = tarvik_->call_string(args);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    const std::string path = dir_.file("t" + std::to_string(t) + ".jpg");
    for (int round = 0; round < 3; ++round)
      EXPECT_EQ(outcomes[t * 3 + round].text, "File written as " + path);
    static const unsigned kHeights[kThreads] = {67, 62, 58, 55, 52, 50, 48, 47};
    const auto written = decode_file(path);
    ASSERT_TRUE(written.ok) << path;
    EXPECT_EQ(written.width, 100u) << path;
    EXPECT_EQ(written.height, kHeights[t]) << path;
  }
}

// ---- tarvik_jpeg: the thumbnail as the row's value ----

const char kJpegCountRefusal[] = "TARVIK_JPEG() requires 3 arguments";
const char kJpegTypeRefusal[] =
    "TARVIK_JPEG() requires a BLOB, an integer maximum width, and an integer maximum height";

TEST_F(Tarvik, TarvikJpegInitChecksItsThreeArgumentsAndAsksForABlob) {
  const struct {
    const char* what;
    Args args;
    const char* message;
  } cases[] = {
      {"two", Args().text("b").integer(1), kJpegCountRefusal},
      {"tarvik's four", Args().text("b").text("n").integer(1).integer(1), kJpegCountRefusal},
      {"real width", Args().text("b").real(200.0).integer(1), kJpegTypeRefusal},
      {"text height", Args().text("b").integer(1).text("200"), kJpegTypeRefusal},
      {"numeric blob", Args().integer(7).integer(1).integer(1), kJpegTypeRefusal},
  };
  for (auto c : cases) {
    const auto outcome = tarvik_jpeg_->init(c.args);
    EXPECT_TRUE(outcome.refused) << c.what;
    EXPECT_EQ(outcome.message, c.message) << c.what;
  }
  Args args;
  args.text("b").integer(1).integer(1);
  auto outcome = tarvik_jpeg_->init(args);
  ASSERT_FALSE(outcome.refused);
  EXPECT_EQ(outcome.initid.maybe_null, 1);
  EXPECT_EQ(outcome.initid.max_length, 15u << 20) << "longer than a TEXT: the server types it a BLOB";
  EXPECT_EQ(outcome.initid.const_item, 0);
  EXPECT_NE(outcome.initid.ptr, nullptr) << "the statement's value and cap";
  tarvik_jpeg_->deinit(outcome.initid);
  EXPECT_EQ(args.maybe_null(), (std::vector<char>{1, 1, 1}));
}

// The value is the file tarvik writes, byte for byte, whichever way the
// image goes: a decoder of its own or DevIL, reduced, enlarged or turned
// (each format's pixels are the quality table's).
TEST_F(Tarvik, TarvikJpegIsTheFileTarvikWrites) {
  quarn::test::Samples rgb(320 * 240 * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 / 960);
  using quarn::test::HeifCodec;
  const struct {
    const char* name;
    std::string image;
    long long box;
  } cases[] = {
      {"jpeg", encode_image(480, 640, ImageFormat::kJpeg), 150},
      {"bmp", encode_image(300, 200, ImageFormat::kBmp), 100},
      {"pnm_enlarged", encode_image(50, 40, ImageFormat::kPnm), 200},
      {"heic_turned", quarn::test::heif(rgb, 320, 240, 3, {HeifCodec::kHevc, 6}), 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.image.empty()) << "the encoder failed";
    const std::string path = dir_.file(std::string(c.name) + ".jpg");
    ASSERT_EQ(call(c.image, c.name, c.box, c.box).text, "File written as " + path);
    const auto value = call_jpeg(c.image, c.box, c.box);
    EXPECT_FALSE(value.is_null);
    EXPECT_FALSE(value.error);
    EXPECT_EQ(value.length, value.text.size());
    EXPECT_TRUE(value.text == quarn::test::read_file(path)) << value.text.size() << " bytes";
  }
}

// A failure is NULL, not an error, with the line tarvik writes for it, less
// its path; a NULL image is plain NULL.
TEST_F(Tarvik, TarvikJpegFailuresAreNullWithTarviksLine) {
  setenv("UDF_THUMBNAILMEMORY", "16", 1);
  quarn::handmade::JpegOptions progressive;
  progressive.progressive = true;
  const struct {
    const char* what;
    Args file, value;
  } cases[] = {
      {"no image", Args().text("not an image").text("f").integer(20).integer(20),
       Args().text("not an image").integer(20).integer(20)},
      {"empty", Args().text("").text("f").integer(20).integer(20), Args().text("").integer(20).integer(20)},
      {"no maximum", Args().text(*png_1600x1200_).text("f").null_integer().integer(20),
       Args().text(*png_1600x1200_).null_integer().integer(20)},
      {"huge box", Args().text(*png_1600x1200_).text("f").integer(2147483647).integer(2147483647),
       Args().text(*png_1600x1200_).integer(2147483647).integer(2147483647)},
  };
  const std::string budget_image =
      quarn::handmade::jpeg(std::vector<std::uint8_t>(3000 * 2250 * 3, 90), 3000, 2250, progressive);
  std::vector<std::pair<std::string, std::pair<Args, Args>>> all;
  for (const auto& c : cases) all.push_back({c.what, {c.file, c.value}});
  all.push_back({"over the budget", {Args().text(budget_image).text("f").integer(20).integer(20),
                                     Args().text(budget_image).integer(20).integer(20)}});
  for (auto& [what, calls] : all) {
    SCOPED_TRACE(what);
    std::string line;
    {
      quarn::test::StderrCapture err;
      tarvik_->call_string(calls.first);
      line = err.messages("tarvik");
    }
    const std::string where = " for " + dir_.file("f.jpg");
    ASSERT_NE(line.find(where), std::string::npos) << line;
    line.erase(line.find(where), where.size());
    quarn::test::StderrCapture err;
    const auto value = tarvik_jpeg_->call_string(calls.second);
    EXPECT_TRUE(value.is_null);
    EXPECT_FALSE(value.error);
    EXPECT_EQ(value.length, 0u);
    EXPECT_EQ(err.messages("tarvik_jpeg"), line);
  }
  unsetenv("UDF_THUMBNAILMEMORY");

  quarn::test::StderrCapture err;
  Args null_image;
  null_image.null_text().integer(20).integer(20);
  const auto value = tarvik_jpeg_->call_string(null_image);
  EXPECT_TRUE(value.is_null);
  EXPECT_FALSE(value.error);
  EXPECT_EQ(err.text(), "") << "a row without an image is no failure";
}

// A JPEG longer than a result may be (noise does not compress: 3200 x 3200
// makes about 20 MB) fails with its reason; tarvik writes the file.
TEST_F(Tarvik, TarvikJpegRefusesAJpegLongerThan15Megabytes) {
  quarn::test::Samples noise(std::size_t{3200} * 3200 * 3);
  std::uint32_t x = 12345;
  for (auto& sample : noise) sample = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  quarn::test::TiffOptions stored;
  stored.compression = quarn::test::TiffCompression::kNone;
  const std::string image = quarn::test::tiff(noise, 3200, 3200, 3, stored);
  quarn::test::StderrCapture err;
  const auto value = call_jpeg(image, 3200, 3200);
  EXPECT_TRUE(value.is_null);
  EXPECT_FALSE(value.error);
  EXPECT_EQ(err.messages("tarvik_jpeg"),
            "Error saving the thumbnail. Err Code: 2010 (the JPEG is longer than 15728640 bytes, the "
            "most a tarvik_jpeg result may be)\n");
  ASSERT_EQ(call(image, "noise", 3200, 3200).text, "File written as " + dir_.file("noise.jpg"));
  EXPECT_GT(quarn::test::read_file(dir_.file("noise.jpg")).size(), std::size_t{15} << 20);
}

}  // namespace
