// ostrel inside a real MariaDB server: the settings file in the server's
// working directory (its data directory), and tarvik configured by it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "images.h"
#include "mariadb_server.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "working_dir.h"

namespace {

using quarn::test::Connection;
using quarn::test::MariaDbServer;

class OstrelServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The server inherits this process's environment: start it unloaded.
    quarn::test::clear_settings();
    MariaDbServer::shared();
  }
  void SetUp() override {
    db_ = std::make_unique<Connection>(MariaDbServer::shared().socket_path());
  }
  void write_settings(const std::string& text) {
    quarn::test::write_file(MariaDbServer::shared().data_dir() + "/quarn_udf.ini", text);
  }
  std::optional<std::string> value(const std::string& sql) { return db_->value(sql); }
  std::unique_ptr<Connection> db_;
};

TEST_F(OstrelServer, LoadsTheFileFromTheDataDirectoryAndConfiguresTarvik) {
  quarn::test::TempDir images;
  // No file yet: NULL (the error flag), nothing published, a later call retries.
  EXPECT_EQ(value("SELECT udf_loadini()"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_ERRORLOG')"), std::nullopt);

  write_settings("[thumbnail]\nimage-directory = " + images.path() +
                 "\n[email]\nsmtp-port = 0x24B\n");
  EXPECT_EQ(value("SELECT udf_loadini()"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPPORT')"), "587");
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPHOST')"), "localhost");
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPUSER')"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPPASSWORD')"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_ERRORLOG')"), "udf_error.log");

  // Loaded: without TRUE the changed file is not read; with TRUE it is.
  write_settings("[thumbnail]\nimage-directory = " + images.path() +
                 "\n[email]\nsmtp-port = 2525\nsmtp-password = s3cret\n");
  EXPECT_EQ(value("SELECT udf_loadini(FALSE)"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPPORT')"), "587");
  EXPECT_EQ(value("SELECT udf_loadini(TRUE)"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPPORT')"), "2525");
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_IMAGEDIR')"), images.path());
  // Set, but no account reads it.
  EXPECT_EQ(value("SELECT udf_getenvvar('UDF_SMTPPASSWORD')"), "********");

  const std::string png = quarn::test::encode_image(40, 20, quarn::test::ImageFormat::kPng);
  ASSERT_FALSE(png.empty());
  EXPECT_EQ(value("SELECT tarvik(" + Connection::hex_literal(png) + ", 'cat.png', 10, 10)"),
            "File written as " + images.path() + "/cat.png.jpg");
  const auto written = quarn::test::decode_file(images.file("cat.png.jpg"));
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.width, 10u);
  EXPECT_EQ(written.height, 5u);
}

TEST_F(OstrelServer, RefusalsAsTheServerShowsThem) {
  const auto two = db_->query("SELECT udf_loadini(1, 2)");
  ASSERT_FALSE(two.ok);
  EXPECT_NE(two.error.find("LOADINI() takes at most one argument: TRUE to overwrite"),
            std::string::npos)
      << two.error;
  for (const char* call : {"udf_getenvvar(5)", "udf_getenvvar()", "udf_getenvvar('A', 'B')"}) {
    const auto refused = db_->query(std::string("SELECT ") + call);
    ASSERT_FALSE(refused.ok) << call;
    EXPECT_NE(refused.error.find("GETENVVAR() requires the name of an environmental variable"),
              std::string::npos)
        << call << ": " << refused.error;
  }
}

TEST_F(OstrelServer, NullAndUnsetNamesGiveNull) {
  EXPECT_EQ(value("SELECT udf_getenvvar(NULL)"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('')"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar('QUARN_NEVER_SET_ANYWHERE')"), std::nullopt);
  EXPECT_EQ(value("SELECT udf_getenvvar(CONCAT('UDF_SMTP', 'PORT', CHAR(0), 'X')) IS NULL"),
            "0");
}

// After a restart the file is in force without udf_loadini: the first call
// (tarvik) loads it, velmar then uses it. The load's line has the form of
// the server's own lines around it, which the same parser reads.
TEST_F(OstrelServer, AfterARestartTheFileIsInForceWithoutALoad) {
  quarn::test::TempDir images;
  quarn::test::ScriptedSmtpServer smtp("mailer", "secret");
  const std::string file = MariaDbServer::shared().data_dir() + "/quarn_udf.ini";
  write_settings("[thumbnail]\nimage-directory = " + images.path() +
                 "\n[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " + std::to_string(smtp.port()) +
                 "\nsmtp-user = mailer\nsmtp-password = secret\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  db_.reset();
  const std::size_t before = MariaDbServer::shared().error_log().size();
  MariaDbServer::shared().restart();
  db_ = std::make_unique<Connection>(MariaDbServer::shared().socket_path());

  const std::string png = quarn::test::encode_image(40, 20, quarn::test::ImageFormat::kPng);
  EXPECT_EQ(value("SELECT tarvik(" + Connection::hex_literal(png) + ", 'after.png', 10, 10)"),
            "File written as " + images.path() + "/after.png.jpg");
  EXPECT_EQ(value("SELECT velmar('to@example.test', 'db@example.test', 's', 'b', 0)"), "OK");
  EXPECT_EQ(smtp.messages().size(), 1u);

  std::istringstream log(MariaDbServer::shared().error_log().substr(before));
  std::vector<std::string> ours;
  bool server_line = false;
  for (std::string line; std::getline(log, line);) {
    const auto parsed = quarn::test::parse_log_line(line);
    if (parsed && parsed->text == "mariadbd: ready for connections.") server_line = true;
    if (parsed && (parsed->text.rfind("tarvik: ", 0) == 0 || parsed->text.rfind("velmar: ", 0) == 0))
      ours.push_back(parsed->severity + " " + parsed->text);
  }
  EXPECT_TRUE(server_line) << "the server's own line read with the same parser";
  EXPECT_EQ(ours, std::vector<std::string>{"Note tarvik: settings loaded from " + file});
}

// The version the build compiles in: the packages' (packaging/version.sh).
std::string build_version() {
  if (std::string(QUARN_SET_VERSION).empty() == false) return QUARN_SET_VERSION;
  const std::string command = "sh '" + quarn::test::source_dir() +
                              "/packaging/version.sh' " QUARN_BASE_VERSION " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[256];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  if (pipe != nullptr) pclose(pipe);
  return output.substr(0, output.find('\n'));
}

// The status functions from SQL after known calls: their counts (since the
// library was loaded; here what these calls added on the shared server),
// the build's version, the settings with the password masked and a value's
// every byte through JSON_VALUE.
TEST_F(OstrelServer, StatusFunctionsAnswerJsonThatSqlReads) {
  quarn::test::TempDir images;
  quarn::test::DeadPort closed;
  const std::string names = "HOME, \"Q\\\x01";  // a quote, a backslash, a control byte
  write_settings("[thumbnail]\nimage-directory = " + images.path() +
                 "\nthumbnail-memory = 64\n[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " +
                 std::to_string(closed.port()) +
                 "\nsmtp-user = u\nsmtp-password = s3cret\n[general]\ngetenvvar-names = " + names +
                 "\nstray line\n");
  EXPECT_EQ(value("SELECT udf_loadini(TRUE)"), std::nullopt);

  const auto number = [&](const std::string& function, const std::string& key) {
    return std::stoll(
        value("SELECT JSON_VALUE(" + function + "(), '$." + key + "')").value_or("-1"));
  };
  const struct {
    const char* function;
    const char* key;
    long long added;
  } counts[] = {{"tarvik_status", "calls", 3},       {"tarvik_status", "written", 2},
                {"tarvik_status", "failed", 1},      {"tarvik_status", "memory_refusals", 0},
                {"velmar_status", "rows", 1},        {"velmar_status", "sent", 0},
                {"velmar_status", "refused", 0},     {"velmar_status", "failed", 1},
                {"tarvik_status", "jpeg_returned", 1}, {"tarvik_status", "jpeg_failed", 1},
                {"velmar_status", "not_tried", 0},   {"velmar_status", "retries", 0},
                {"velmar_status", "connections", 0}};
  std::vector<long long> before;
  for (const auto& count : counts) before.push_back(number(count.function, count.key));

  const std::string png = Connection::hex_literal(
      quarn::test::encode_image(40, 20, quarn::test::ImageFormat::kPng));
  EXPECT_EQ(value("SELECT CONCAT(LEFT(tarvik(" + png + ", 'a.png', 10, 10), 4), LEFT(tarvik(" +
                  png + ", 'b.png', 10, 10), 4), LEFT(tarvik('junk', 'c.png', 10, 10), 5), "
                  "LENGTH(tarvik_jpeg(" + png + ", 10, 10)) > 0, tarvik_jpeg('junk', 10, 10) IS NULL)"),
            "FileFileError11");
  EXPECT_EQ(value("SELECT velmar('to@example.test', 'db@example.test', 's', 'b', 0)"),
            "There was an error sending the message.");
  for (std::size_t i = 0; i < std::size(counts); ++i)
    EXPECT_EQ(number(counts[i].function, counts[i].key) - before[i], counts[i].added)
        << counts[i].function << " " << counts[i].key;
  EXPECT_EQ(number("tarvik_status", "memory_budget_mb"), 64);
  EXPECT_EQ(number("tarvik_status", "memory_in_use_mb"), 0);
  EXPECT_GE(number("tarvik_status", "memory_peak_mb"), 1);

  const std::string version = build_version();
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(value("SELECT CONCAT_WS(' ', JSON_VALUE(tarvik_status(), '$.version'), "
                  "JSON_VALUE(velmar_status(), '$.version'), "
                  "JSON_VALUE(udf_settings(), '$.version'))"),
            version + " " + version + " " + version);
  EXPECT_EQ(value("SELECT LEFT(udf_settings(), 12)"), "{\"version\":\"");
  const auto setting = [&](const std::string& path) {
    return value("SELECT JSON_VALUE(udf_settings(), '$." + path + "')");
  };
  EXPECT_EQ(setting("path"), MariaDbServer::shared().data_dir() + "/quarn_udf.ini");
  EXPECT_EQ(setting("result"), "loaded");
  EXPECT_EQ(setting("warnings[0]"),
            "line 11: no \"=\" or \":\" after a name, so it is skipped: stray line");
  EXPECT_EQ(value("SELECT TIMESTAMPDIFF(SECOND, JSON_VALUE(udf_settings(), '$.read_at'), NOW()) "
                  "BETWEEN 0 AND 60"),
            "1");
  EXPECT_EQ(setting("settings.UDF_SMTPPASSWORD"), "********");
  EXPECT_EQ(setting("settings.UDF_SMTPUSER"), "u");
  EXPECT_EQ(setting("settings.UDF_GETENVVARNAMES"), names);
  EXPECT_EQ(setting("settings.UDF_SMTPCAFILE"), std::nullopt);
  EXPECT_EQ(value("SELECT LOCATE('s3cret', udf_settings())"), "0");
}

}  // namespace
