// The settings loader over files in a temporary working directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>

#include "env.h"
#include "settings.h"
#include "test_util.h"
#include "working_dir.h"

namespace {

using quarn::settings::load_settings;
using quarn::settings::LoadOutcome;
using quarn::test::clear_settings;
using quarn::test::kSettingsVariables;
using quarn::test::WorkingDir;
using Values = std::map<std::string, std::optional<std::string>>;

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

Values all_settings() {
  Values values;
  for (const char* name : kSettingsVariables) values[name] = variable(name);
  return values;
}

// The published state after an empty file; cases name only what differs.
Values defaults(const Values& changes = {}) {
  Values values = {{"UDF_IMAGEDIR", "./"},          {"UDF_THUMBNAILMEMORY", "1024"},
                   {"UDF_SMTPHOST", "localhost"},
                   {"UDF_SMTPUSER", std::nullopt},  {"UDF_SMTPPASSWORD", std::nullopt},
                   {"UDF_SMTPPORT", "25"},          {"UDF_SMTPTIMEOUT", "30"},
                   {"UDF_SMTPSECURITY", "none"},    {"UDF_SMTPCAFILE", std::nullopt},
                   {"UDF_GETENVVARNAMES", std::nullopt}, {"UDF_ERRORLOG", "udf_error.log"},
                   {"UDF_THUMBNAILTIMEOUT", "60"}, {"UDF_THUMBNAILTHREADS", "0"},
                   {"UDF_SMTPHELO", std::nullopt}, {"UDF_SMTPAUTH", "login"}};
  for (const auto& [name, value] : changes) values[name] = value;
  return values;
}

class Loader : public ::testing::Test {
 protected:
  void SetUp() override { clear_settings(); }
  void TearDown() override { clear_settings(); }
  // The lines logged since the last look, each "<severity> <text>".
  std::string logged() {
    std::istringstream lines(log_.text().substr(seen_));
    std::string shown;
    for (std::string line; std::getline(lines, line); seen_ += line.size() + 1) {
      const auto parsed = quarn::test::parse_log_line(line);
      shown += (parsed ? parsed->severity + " " + parsed->text : line) + "\n";
    }
    return shown;
  }
  std::string failed(const std::string& reason) const {
    return "ERROR udf_loadini: settings not loaded from " + path_ + ": " + reason + "\n";
  }
  std::string loaded() const { return "Note udf_loadini: settings loaded from " + path_ + "\n"; }
  WorkingDir cwd_;
  const std::string path_ = cwd_.file("quarn_udf.ini");
  quarn::test::StderrCapture log_;
  std::size_t seen_ = 0;
};

struct FileCase {
  const char* name;
  std::string file;
  Values expected;
  std::vector<std::string> warnings = {};  // after the load's line, the path aside
};

class LoaderFiles : public Loader, public ::testing::WithParamInterface<FileCase> {};

// Every well-formed entry counts; the load's line is written, and then a
// warning for each line not read as written, with its number as an editor
// shows it.
TEST_P(LoaderFiles, PublishesEveryVariable) {
  // Stale values everywhere: every variable must be rewritten or removed.
  for (const char* name : kSettingsVariables) ::setenv(name, "stale", 1);
  cwd_.write_settings(GetParam().file);
  ASSERT_EQ(::chmod("quarn_udf.ini", 0640), 0);
  EXPECT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(all_settings(), GetParam().expected);
  std::string warnings;
  for (const std::string& warning : GetParam().warnings)
    warnings += "Warning udf_loadini: " + path_ + " " + warning + "\n";
  EXPECT_EQ(logged(), loaded() + warnings);
}

std::string port_file(const std::string& line) { return "[email]\n" + line + "\n"; }

std::string repeated(const std::string& text, int times) {
  std::string out;
  while (times-- > 0) out += text;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoaderFiles,
    ::testing::Values(
        FileCase{"empty_file", "", defaults()},
        FileCase{"every_entry",
                 "[thumbnail]\nimage-directory = /var/thumbs\nthumbnail-memory = 256\n"
                 "thumbnail-timeout = 9\nthumbnail-threads = 3\n"
                 "[email]\nsmtp-host = mail.example.org\nsmtp-user = ann\n"
                 "smtp-helo = db1.example.org\nsmtp-auth = none\n"
                 "smtp-password = \"p w;d\"\nsmtp-port = 465\nsmtp-timeout = 12\n"
                 "smtp-security = tls\nsmtp-ca-file = /etc/quarn/ca.pem\n"
                 "[general]\nerror-log = /var/log/udf.log\ngetenvvar-names = HOME, TZ\n",
                 {{"UDF_IMAGEDIR", "/var/thumbs"},
                  {"UDF_THUMBNAILMEMORY", "256"},
                  {"UDF_THUMBNAILTIMEOUT", "9"},
                  {"UDF_THUMBNAILTHREADS", "3"},
                  {"UDF_SMTPHELO", "db1.example.org"},
                  {"UDF_SMTPAUTH", "none"},
                  {"UDF_SMTPHOST", "mail.example.org"},
                  {"UDF_SMTPUSER", "ann"},
                  {"UDF_SMTPPASSWORD", "\"p w;d\""},
                  {"UDF_SMTPPORT", "465"},
                  {"UDF_SMTPTIMEOUT", "12"},
                  {"UDF_SMTPSECURITY", "tls"},
                  {"UDF_SMTPCAFILE", "/etc/quarn/ca.pem"},
                  {"UDF_GETENVVARNAMES", "HOME, TZ"},
                  {"UDF_ERRORLOG", "/var/log/udf.log"}}},
        FileCase{"port_decimal", port_file("smtp-port = 587"), defaults({{"UDF_SMTPPORT", "587"}})},
        FileCase{"port_hex", port_file("smtp-port = 0x24B"), defaults({{"UDF_SMTPPORT", "587"}})},
        FileCase{"port_octal", port_file("smtp-port = 025"), defaults({{"UDF_SMTPPORT", "21"}})},
        FileCase{"port_inline_comment", port_file("smtp-port = 587 ; submission"),
                 defaults({{"UDF_SMTPPORT", "587"}})},
        FileCase{"port_trailing_text", port_file("smtp-port = 587x"),
                 defaults({{"UDF_SMTPPORT", "587"}})},
        FileCase{"port_negative", port_file("smtp-port = -1"), defaults({{"UDF_SMTPPORT", "-1"}})},
        FileCase{"port_not_numeric", port_file("smtp-port = abc"), defaults()},
        FileCase{"port_empty", port_file("smtp-port ="), defaults()},
        FileCase{"port_absent", port_file("smtp-user = u"), defaults({{"UDF_SMTPUSER", "u"}})},
        FileCase{"port_beyond_int", port_file("smtp-port = 4294967297"),
                 defaults({{"UDF_SMTPPORT", "4294967297"}})},
        // The time-out takes 1 to 3600 seconds; anything else gives 30.
        FileCase{"timeout_hex", port_file("smtp-timeout = 0x10"),
                 defaults({{"UDF_SMTPTIMEOUT", "16"}})},
        FileCase{"timeout_limits", port_file("smtp-timeout = 3600"),
                 defaults({{"UDF_SMTPTIMEOUT", "3600"}})},
        FileCase{"timeout_zero", port_file("smtp-timeout = 0"), defaults()},
        FileCase{"timeout_negative", port_file("smtp-timeout = -5"), defaults()},
        FileCase{"timeout_too_long", port_file("smtp-timeout = 3601"), defaults()},
        FileCase{"timeout_not_numeric", port_file("smtp-timeout = soon"), defaults()},
        FileCase{"empty_host_removes_it", port_file("smtp-host ="),
                 defaults({{"UDF_SMTPHOST", std::nullopt}})},
        FileCase{"names_in_other_case", "[EMAIL]\nSMTP-Host = big\n[Thumbnail]\nIMAGE-directory: d\n",
                 defaults({{"UDF_SMTPHOST", "big"}, {"UDF_IMAGEDIR", "d"}})},
        FileCase{"continuation_line", "[email]\nsmtp-user = u\n\n; note\n  smtp-port = 587\n",
                 defaults({{"UDF_SMTPUSER", "u\nsmtp-port = 587"}})},
        FileCase{"duplicate_entries", "[email]\nsmtp-host = a\n[general]\n[email]\nsmtp-host = b\n",
                 defaults({{"UDF_SMTPHOST", "a\nb"}})},
        FileCase{"malformed_lines_skipped",
                 "[email\nsmtp-user = early\nno separator here\n[email]\nsmtp-host = late\n",
                 defaults({{"UDF_SMTPHOST", "late"}}),
                 {"line 1: \"[\" without \"]\", so it is skipped: [email",
                  "line 3: no \"=\" or \":\" after a name, so it is skipped: no separator here"}},
        FileCase{"no_separator", "[email]\nsmtp-host 127.0.0.1\nsmtp-user = u\n",
                 defaults({{"UDF_SMTPUSER", "u"}}),
                 {"line 2: no \"=\" or \":\" after a name, so it is skipped: smtp-host 127.0.0.1"}},
        FileCase{"password_without_separator_not_shown", "[email]\n SMTP-Password s3cret\n",
                 defaults(),
                 {"line 2: no \"=\" or \":\" after a name, so it is skipped: SMTP-Password ********"}},
        FileCase{"unclosed_section", "[thumbnail\nimage-directory = /t\n[email]\nsmtp-host = h\n",
                 defaults({{"UDF_SMTPHOST", "h"}}),
                 {"line 1: \"[\" without \"]\", so it is skipped: [thumbnail"}},
        // A line is read 199 bytes at a time, and the rest parsed as a line
        // of its own: here one that has no "=".
        FileCase{"long_password", port_file("smtp-password = " + std::string(250, 'p')),
                 defaults({{"UDF_SMTPPASSWORD", std::string(183, 'p')}}),
                 {"line 2 is longer than 199 bytes: [email] smtp-password lost its last 67 bytes, "
                  "which are read as a line of their own"}},
        FileCase{"garbage", "\x89PNG\r\n\x1a\n" + std::string(290, '\xA5'), defaults(),
                 {"line 1: no \"=\" or \":\" after a name, so it is skipped: \\x89PNG",
                  "line 2: no \"=\" or \":\" after a name, so it is skipped: \\x1a",
                  "line 3: no \"=\" or \":\" after a name, so it is skipped: " +
                      repeated("\\xa5", 40) + "...",
                  "line 3 is longer than 199 bytes: its last 91 bytes are read as a line of their "
                  "own"}},
        FileCase{"bom_and_crlf", "\xEF\xBB\xBF[email]\r\nsmtp-host = h\r\nsmtp-port = 26\r\n",
                 defaults({{"UDF_SMTPHOST", "h"}, {"UDF_SMTPPORT", "26"}})},
        // The file is parsed from memory exactly as inih reads a file: a NUL
        // byte hides the rest of its line only, a line is cut into pieces of
        // 199 bytes, and an empty first value is not joined.
        FileCase{"nul_byte", std::string("[email]\nsmtp-host = a\0b\nsmtp-user = u\n", 38),
                 defaults({{"UDF_SMTPHOST", "a"}, {"UDF_SMTPUSER", "u"}}),
                 {"line 2 holds a NUL byte: [email] smtp-host ends there, the rest of the line is "
                  "ignored"}},
        FileCase{"long_line", port_file("smtp-host = " + std::string(300, 'x') + "\nsmtp-user = u"),
                 defaults({{"UDF_SMTPHOST", std::string(187, 'x')}, {"UDF_SMTPUSER", "u"}}),
                 {"line 2 is longer than 199 bytes: [email] smtp-host lost its last 113 bytes, "
                  "which are read as a line of their own"}},
        FileCase{"long_line_tail_is_a_setting",
                 port_file("smtp-user = " + std::string(187, 'u') + "smtp-host = relay.example"),
                 defaults({{"UDF_SMTPUSER", std::string(187, 'u')},
                           {"UDF_SMTPHOST", "relay.example"}}),
                 {"line 2 is longer than 199 bytes: [email] smtp-user lost its last 25 bytes, "
                  "which are read as a line of their own"}},
        FileCase{"empty_then_value", port_file("smtp-host =\nsmtp-host = b"),
                 defaults({{"UDF_SMTPHOST", "b"}})},
        FileCase{"comments_and_colons",
                 "# comment\n[general]\n; another\nerror-log: e.log\n",
                 defaults({{"UDF_ERRORLOG", "e.log"}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Loader, TheShippedExampleFileHoldsTheDefaults) {
  const std::string example =
      quarn::test::read_file(std::string(QUARN_SOURCE_DIR) + "/settings/quarn_udf.ini.example");
  ASSERT_FALSE(example.empty());
  cwd_.write_settings(example);
  EXPECT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(all_settings(), defaults());
}

// A storm of reloads of an unchanged file publishes no new environment and
// writes nothing; a load that changes the values, or only the faults
// found, is logged.
TEST_F(Loader, ReloadsOfAnUnchangedFileAreQuiet) {
  const std::string file = "[email]\nsmtp-host = h\nstray line\n";
  const std::string warning = "Warning udf_loadini: " + path_ +
                              " line 3: no \"=\" or \":\" after a name, so it is skipped: stray line\n";
  cwd_.write_settings(file);
  ASSERT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(logged(), loaded() + warning);
  const std::size_t blocks = quarn::env_internal::held_blocks();
  for (int i = 0; i < 200; ++i) ASSERT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(logged(), "");
  EXPECT_EQ(quarn::env_internal::held_blocks(), blocks) << "nothing published";
  cwd_.write_settings("[email]\nsmtp-host = h\n");
  EXPECT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(logged(), loaded()) << "the same values, but the fault is gone";
  cwd_.write_settings("[email]\nsmtp-host = h2\n");
  EXPECT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(logged(), loaded());
  EXPECT_EQ(variable("UDF_SMTPHOST"), "h2");
}

TEST_F(Loader, AMissingFileChangesNothingAndTheNextCallTriesAgain) {
  ::setenv("UDF_SMTPHOST", "kept", 1);
  EXPECT_EQ(load_settings(false), LoadOutcome::kFailed);
  EXPECT_EQ(logged(), failed("cannot open it: No such file or directory"));
  EXPECT_EQ(all_settings(), (Values{{"UDF_IMAGEDIR", std::nullopt},
                                    {"UDF_THUMBNAILMEMORY", std::nullopt},
                                    {"UDF_SMTPHOST", "kept"},
                                    {"UDF_SMTPUSER", std::nullopt},
                                    {"UDF_SMTPPASSWORD", std::nullopt},
                                    {"UDF_SMTPPORT", std::nullopt},
                                    {"UDF_SMTPTIMEOUT", std::nullopt},
                                    {"UDF_SMTPSECURITY", std::nullopt},
                                    {"UDF_SMTPCAFILE", std::nullopt},
                                    {"UDF_GETENVVARNAMES", std::nullopt},
                                    {"UDF_ERRORLOG", std::nullopt},
                                    {"UDF_THUMBNAILTIMEOUT", std::nullopt},
                                    {"UDF_THUMBNAILTHREADS", std::nullopt},
                                    {"UDF_SMTPHELO", std::nullopt},
                                    {"UDF_SMTPAUTH", std::nullopt}}));
  cwd_.write_settings("[email]\nsmtp-host = now\n");
  EXPECT_EQ(load_settings(false), LoadOutcome::kPublished);
  EXPECT_EQ(variable("UDF_SMTPHOST"), "now");
  EXPECT_EQ(logged(), loaded());
}

TEST_F(Loader, AMissingFileUnderOverwriteKeepsTheLoadedState) {
  cwd_.write_settings("[email]\nsmtp-port = 99\n");
  ASSERT_EQ(load_settings(false), LoadOutcome::kPublished);
  ASSERT_EQ(::unlink("quarn_udf.ini"), 0);
  EXPECT_EQ(load_settings(true), LoadOutcome::kFailed);
  EXPECT_EQ(all_settings(), defaults({{"UDF_SMTPPORT", "99"}}));
}

TEST_F(Loader, TheMarkerStopsALoadWithoutOverwriteEvenWhenTheFileChanged) {
  cwd_.write_settings("[email]\nsmtp-host = first\n");
  ASSERT_EQ(load_settings(false), LoadOutcome::kPublished);
  cwd_.write_settings("[email]\nsmtp-host = second\n");
  EXPECT_EQ(load_settings(false), LoadOutcome::kAlreadyLoaded);
  EXPECT_EQ(variable("UDF_SMTPHOST"), "first");
  EXPECT_EQ(load_settings(true), LoadOutcome::kPublished);
  EXPECT_EQ(variable("UDF_SMTPHOST"), "second");
}

TEST_F(Loader, AMarkerFromOutsideCountsAsLoaded) {
  ::setenv("UDF_ERRORLOG", "", 1);  // set, even if empty
  cwd_.write_settings("[email]\nsmtp-host = h\n");
  EXPECT_EQ(load_settings(false), LoadOutcome::kAlreadyLoaded);
  EXPECT_EQ(variable("UDF_SMTPHOST"), std::nullopt);
}

TEST_F(Loader, AnEmptyErrorLogLeavesTheStateNotLoaded) {
  cwd_.write_settings("[general]\nerror-log =\n[email]\nsmtp-host = one\n");
  ASSERT_EQ(load_settings(false), LoadOutcome::kPublished);
  EXPECT_EQ(variable("UDF_ERRORLOG"), std::nullopt);
  cwd_.write_settings("[general]\nerror-log =\n[email]\nsmtp-host = two\n");
  EXPECT_EQ(load_settings(false), LoadOutcome::kPublished);
  EXPECT_EQ(variable("UDF_SMTPHOST"), "two");
}

// Only a regular file of at most 1 MiB is read: a directory would read as
// an empty file (all defaults), a pipe would block the load, /dev/zero
// would never end.
TEST_F(Loader, AnythingButARegularFileOfAtMostOneMibIsAFailure) {
  const struct {
    const char* label;
    int (*make)();
    const char* reason;
  } cases[] = {
      {"directory", [] { return ::mkdir("quarn_udf.ini", 0700); }, "not a regular file"},
      {"named pipe", [] { return ::mkfifo("quarn_udf.ini", 0600); }, "not a regular file"},
      {"link to a device", [] { return ::symlink("/dev/zero", "quarn_udf.ini"); },
       "not a regular file"},
      {"over 1 MiB",
       [] {
         quarn::test::write_file("quarn_udf.ini", "");
         return ::truncate("quarn_udf.ini", 1048577);
       },
       "larger than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.make(), 0) << c.label;
    EXPECT_EQ(load_settings(true), LoadOutcome::kFailed) << c.label;
    EXPECT_EQ(variable("UDF_ERRORLOG"), std::nullopt) << c.label;
    EXPECT_EQ(logged(), failed(c.reason)) << c.label;
    ASSERT_EQ(::remove("quarn_udf.ini"), 0) << c.label;
  }
  ASSERT_EQ(::symlink(cwd_.file("real.ini").c_str(), "quarn_udf.ini"), 0);
  quarn::test::write_file(cwd_.file("real.ini"), "[email]\nsmtp-host = linked\n");
  EXPECT_EQ(load_settings(true), LoadOutcome::kPublished) << "a link to a file is read";
  EXPECT_EQ(variable("UDF_SMTPHOST"), "linked");
}

// A file that changes while it is read is not published: the loaded state
// stays as it was, as for a file that does not open. Each change happens
// just before the loader's first read.
TEST_F(Loader, AFileThatChangesWhileItIsReadIsNotPublished) {
  const std::string first = "[email]\nsmtp-host = first\nsmtp-user = one\n";
  const std::string second = "[email]\nsmtp-host = other\nsmtp-user = two\n";
  const auto later_mtime = [] {
    struct stat file {};
    ASSERT_EQ(::stat("quarn_udf.ini", &file), 0);
    const struct timespec times[2] = {file.st_atim, {file.st_mtim.tv_sec + 1, file.st_mtim.tv_nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, "quarn_udf.ini", times, 0), 0);
  };
  const struct {
    const char* label;
    std::function<void(const WorkingDir&)> change;
    bool published;
  } cases[] = {
      {"unchanged", [](const WorkingDir&) {}, true},
      {"rewritten in place, shorter",
       [](const WorkingDir&) { quarn::test::write_file("quarn_udf.ini", "[email]\n"); }, false},
      {"appended to",
       [](const WorkingDir&) {
         std::FILE* file = std::fopen("quarn_udf.ini", "a");
         std::fputs("smtp-port = 26\n", file);
         std::fclose(file);
       },
       false},
      {"rewritten in place, same size, later",
       [&](const WorkingDir&) {
         quarn::test::write_file("quarn_udf.ini", second);
         later_mtime();
       },
       false},
      {"replaced by a rename", [&](const WorkingDir& cwd) { cwd.write_settings(second); }, false},
      {"removed", [](const WorkingDir&) { ::unlink("quarn_udf.ini"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    clear_settings();
    ::setenv("UDF_SMTPHOST", "kept", 1);
    cwd_.write_settings(first);
    int reads = 0;
    const auto read = [&](int fd, void* buffer, std::size_t size) {
      if (reads++ == 0) c.change(cwd_);
      return ::read(fd, buffer, size);
    };
    EXPECT_EQ(load_settings(true, "udf_loadini", "quarn_udf.ini", read),
              c.published ? LoadOutcome::kPublished : LoadOutcome::kFailed);
    EXPECT_EQ(variable("UDF_SMTPHOST"), c.published ? "first" : "kept");
    EXPECT_EQ(variable("UDF_ERRORLOG").has_value(), c.published);
    EXPECT_EQ(logged(), c.published ? loaded() : failed("it changed while it was read"));
  }
  // A read that fails is no end of the file.
  cwd_.write_settings(first);
  const auto failing = [](int, void*, std::size_t) -> ssize_t { return errno = EIO, -1; };
  EXPECT_EQ(load_settings(true, "udf_loadini", "quarn_udf.ini", failing), LoadOutcome::kFailed);
  EXPECT_EQ(variable("UDF_SMTPHOST"), "kept");
  EXPECT_EQ(logged(), failed("cannot read it: Input/output error"));
}

// The password is meant for the server's group (mode 640); a file that
// every user of the machine may read is loaded, with a warning.
TEST_F(Loader, APasswordThatOthersMayReadIsWarnedAbout) {
  const struct {
    mode_t mode;
    const char* entry;
    const char* warned;  // the mode as the warning shows it; nullptr: none
  } cases[] = {{0604, "smtp-password = s", "0604"}, {0640, "smtp-password = s", nullptr},
               {0644, "smtp-user = u", nullptr}};
  for (const auto& c : cases) {
    cwd_.write_settings(std::string("[email]\n") + c.entry + "\n");
    ASSERT_EQ(::chmod("quarn_udf.ini", c.mode), 0);
    EXPECT_EQ(load_settings(true), LoadOutcome::kPublished);
    const std::string warning =
        c.warned ? "Warning udf_loadini: the settings file " + path_ + " holds smtp-password and "
                   "every user of this machine may read it (mode " + c.warned + "); make it mode "
                   "0640, owner root, group of the server's user (install -m 640 -o root -g mysql)\n"
                 : "";
    EXPECT_EQ(logged(), loaded() + warning) << c.entry << " " << c.mode;
  }
}

// A call that finds no settings loaded loads the file (the server tests
// show it after a restart), but a plug-in tries at most once a minute: a
// missing file costs one line, not one per row. udf_loadini loads at once.
// The only test of this program's own copy of that state.
TEST_F(Loader, ACallLoadsTheFileItselfAndRetriesOnlyAfterAMinute) {
  using quarn::settings::kAutoLoadRetrySeconds;
  using quarn::settings::settings_in_force;
  EXPECT_FALSE(settings_in_force("tarvik").text(quarn::setting::kImageDir));
  EXPECT_EQ(logged(), "ERROR tarvik: settings not loaded from " + path_ +
                          ": cannot open it: No such file or directory\n");
  cwd_.write_settings("[thumbnail]\nimage-directory = thumbs\n");
  EXPECT_FALSE(settings_in_force("tarvik").text(quarn::setting::kImageDir));
  EXPECT_EQ(logged(), "") << "not tried again within the minute";
  ASSERT_EQ(load_settings(false), LoadOutcome::kPublished);
  EXPECT_EQ(settings_in_force("tarvik").text(quarn::setting::kImageDir), "thumbs");
  EXPECT_EQ(logged(), loaded());

  // An empty error-log publishes no marker: loaded once on a call's behalf,
  // not again every minute.
  clear_settings();
  cwd_.write_settings("[general]\nerror-log =\n[thumbnail]\nimage-directory = a\n");
  quarn::settings::backdate_auto_load(kAutoLoadRetrySeconds);
  EXPECT_EQ(settings_in_force("tarvik").text(quarn::setting::kImageDir), "a");
  EXPECT_EQ(logged(), "Note tarvik: settings loaded from " + path_ + "\n");
  cwd_.write_settings("[general]\nerror-log =\n[thumbnail]\nimage-directory = b\n");
  quarn::settings::backdate_auto_load(kAutoLoadRetrySeconds);
  EXPECT_EQ(settings_in_force("tarvik").text(quarn::setting::kImageDir), "a");
  EXPECT_EQ(logged(), "");
}

TEST(OverwriteRequest, TrueForEveryNonZeroIntegerOnly) {
  const struct {
    unsigned count;
    std::optional<long long> value;
    bool expected;
  } cases[] = {{0, std::nullopt, false}, {1, std::nullopt, false}, {1, 0LL, false},
               {1, 1LL, true},           {1, -1LL, true},          {1, 2LL, true},
               {1, 1LL << 40, true}};
  for (const auto& c : cases) {
    long long number = c.value.value_or(0);
    char* value = c.value ? reinterpret_cast<char*>(&number) : nullptr;
    UDF_ARGS args{};
    args.arg_count = c.count;
    args.args = &value;
    EXPECT_EQ(quarn::settings::overwrite_requested(args), c.expected) << c.count << "/" << number;
  }
}

}  // namespace
