// A primary with a binary log and a replica that reads it over loopback; the
// functions are registered on the primary only, until the replica needs
// them. With MariaDB's default MIXED format, or ROW, a statement that calls
// them is logged as the rows it made: the replica gets the results (a
// thumbnail kept in a row with its bytes) and does nothing else. With
// STATEMENT the replica runs the statement itself.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "images.h"
#include "mariadb_server.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "working_dir.h"

namespace {

using quarn::test::Connection;
using quarn::test::MariaDbServer;
using quarn::test::Row;

std::size_t files_in(const quarn::test::TempDir& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++count;
  return count;
}

class Replication : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    quarn::test::clear_settings();
    smtp_ = std::make_unique<quarn::test::ScriptedSmtpServer>("shop", "s3cret");
    primary_images_ = std::make_unique<quarn::test::TempDir>();
    replica_images_ = std::make_unique<quarn::test::TempDir>();
    const auto settings = [](const quarn::test::TempDir& images) {
      return std::map<std::string, std::string>{
          {"UDF_IMAGEDIR", images.path()}, {"UDF_SMTPHOST", "127.0.0.1"},
          {"UDF_SMTPUSER", "shop"},        {"UDF_SMTPPASSWORD", "s3cret"},
          {"UDF_SMTPPORT", std::to_string(smtp_->port())}};
    };
    const std::string port = std::to_string(quarn::test::free_loopback_port());
    primary_ = std::make_unique<MariaDbServer>(
        settings(*primary_images_),
        std::vector<std::string>{"--log-bin=primary-bin", "--server-id=1", "--skip-networking=0",
                                 "--bind-address=127.0.0.1", "--port=" + port});
    primary_->install_functions();
    replica_ = std::make_unique<MariaDbServer>(settings(*replica_images_),
                                               std::vector<std::string>{"--server-id=2"});

    Connection primary(primary_->socket_path());
    primary.rows("CREATE USER repl@'127.0.0.1'; GRANT REPLICATION SLAVE ON *.* TO repl@'127.0.0.1'");
    // From here on: the functions' registration stays on the primary.
    const std::string position = *primary.value("SELECT @@gtid_binlog_pos");
    Connection replica(replica_->socket_path());
    replica.rows("SET GLOBAL gtid_slave_pos = '" + position +
                 "'; CHANGE MASTER TO MASTER_HOST = '127.0.0.1', MASTER_PORT = " + port +
                 ", MASTER_USER = 'repl', MASTER_USE_GTID = slave_pos; START SLAVE");

    const std::string png = quarn::test::encode_image(40, 20, quarn::test::ImageFormat::kPng);
    primary.rows(
        "CREATE DATABASE shop;"
        "CREATE TABLE shop.photos (id INT PRIMARY KEY, photo LONGBLOB, thumb VARCHAR(300));"
        "CREATE TABLE shop.sent (id INT PRIMARY KEY, result VARCHAR(100));"
        "INSERT INTO shop.photos (id, photo) VALUES (1, " + Connection::hex_literal(png) +
        "), (2, " + Connection::hex_literal(png) + "), (3, " + Connection::hex_literal(png) + ")");
  }
  static void TearDownTestSuite() {
    replica_.reset();
    primary_.reset();
    smtp_.reset();
  }
  void SetUp() override {
    primary_db_ = std::make_unique<Connection>(primary_->socket_path());
    replica_db_ = std::make_unique<Connection>(replica_->socket_path());
  }

  // Mails to r<id+offset>@example.test and thumbnails p<id+offset>.png.jpg
  // for the three photos, in the session's binary log format.
  void run_statements(const std::string& format, int offset) {
    const std::string shift = std::to_string(offset);
    primary_db_->rows("SET SESSION binlog_format = " + format);
    statement("INSERT INTO shop.sent SELECT id + " + shift +
              ", velmar(CONCAT('r', id + " + shift +
              ", '@example.test'), 'shop@example.test', 'Your order', 'Thanks.', 0)"
              " FROM shop.photos");
    statement("UPDATE shop.photos SET thumb = tarvik(photo, CONCAT('p', id + " + shift +
              ", '.png'), 8, 8)");
  }
  void statement(const std::string& sql) {
    primary_db_->rows(sql);
    warnings_.push_back(primary_db_->rows("SHOW WARNINGS"));
  }

  // The replica has applied everything the primary logged so far.
  void wait_for_replica() {
    const std::string position = *primary_db_->value("SELECT @@gtid_binlog_pos");
    ASSERT_EQ(replica_db_->value("SELECT MASTER_GTID_WAIT('" + position + "', 60)"), "0")
        << slave_status();
  }
  std::string slave_status() const { return replica_->client("SHOW SLAVE STATUS\\G").output; }
  // The value of one field of SHOW SLAVE STATUS.
  std::string status_field(const std::string& name) const {
    const std::string status = slave_status();
    const auto at = status.find(" " + name + ": ");
    if (at == std::string::npos) return "(no " + name + ")";
    const auto start = at + name.size() + 3;
    return status.substr(start, status.find('\n', start) - start);
  }

  // Recipients of the messages the SMTP server took, each as often as it came.
  static std::multiset<std::string> recipients() {
    std::multiset<std::string> all;
    for (const auto& message : smtp_->messages()) all.insert(message.rcpt_tos);
    return all;
  }

  static inline std::unique_ptr<quarn::test::ScriptedSmtpServer> smtp_;
  static inline std::unique_ptr<quarn::test::TempDir> primary_images_, replica_images_;
  static inline std::unique_ptr<MariaDbServer> primary_, replica_;
  std::unique_ptr<Connection> primary_db_, replica_db_;
  std::vector<std::vector<Row>> warnings_;
};

const char kSent[] = "SELECT id, result FROM shop.sent ORDER BY id";
const char kPhotos[] = "SELECT id, thumb, MD5(photo) FROM shop.photos ORDER BY id";

// Runs first: the STATEMENT test below leaves the replica changed.
TEST_F(Replication, MixedLogsTheRowsAndTheReplicaOnlyAppliesThem) {
  ASSERT_EQ(primary_db_->value("SELECT @@GLOBAL.binlog_format"), "MIXED");
  run_statements("DEFAULT", 0);
  wait_for_replica();

  EXPECT_EQ(recipients(), (std::multiset<std::string>{"r1@example.test", "r2@example.test",
                                                      "r3@example.test"}));
  const auto sent = primary_db_->rows(kSent);
  ASSERT_EQ(sent.size(), 3u);
  for (const auto& row : sent) EXPECT_EQ(row[1], "OK");
  EXPECT_EQ(replica_db_->rows(kSent), sent);
  const auto photos = primary_db_->rows(kPhotos);
  EXPECT_EQ(photos[0][1], "File written as " + primary_images_->path() + "/p1.png.jpg");
  EXPECT_EQ(replica_db_->rows(kPhotos), photos);
  EXPECT_EQ(files_in(*primary_images_), 3u);
  EXPECT_EQ(files_in(*replica_images_), 0u);
  for (const auto& warnings : warnings_) EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(status_field("Slave_SQL_Running"), "Yes");
  EXPECT_EQ(status_field("Last_SQL_Errno"), "0");
}

// STATEMENT logs the statement itself, with a note that it is unsafe. The
// replica runs it: without the functions it stops; once they are
// registered there it sends every message again and writes every
// thumbnail again, into its own directory.
TEST_F(Replication, StatementMakesTheReplicaRunTheFunctionsItself) {
  run_statements("STATEMENT", 10);
  for (const auto& warnings : warnings_) {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0][0], "Note");
    EXPECT_EQ(warnings[0][1], "1592");
    EXPECT_NE(warnings[0][2]->find("Statement is unsafe because it uses a UDF"),
              std::string::npos);
  }
  EXPECT_EQ(smtp_->messages().size(), 6u) << "the primary sent three more";

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (status_field("Slave_SQL_Running") != "No" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(status_field("Slave_SQL_Running"), "No");
  EXPECT_EQ(status_field("Last_SQL_Errno"), "1305");  // FUNCTION .velmar does not exist
  EXPECT_EQ(smtp_->messages().size(), 6u);
  EXPECT_EQ(files_in(*replica_images_), 0u);
  EXPECT_EQ(replica_db_->rows(kSent).size(), 3u);

  replica_->install_functions();
  replica_db_->rows("START SLAVE");
  wait_for_replica();
  EXPECT_EQ(status_field("Slave_SQL_Running"), "Yes");
  const auto twice = recipients();
  for (int id = 11; id <= 13; ++id)
    EXPECT_EQ(twice.count("r" + std::to_string(id) + "@example.test"), 2u) << id;
  EXPECT_EQ(files_in(*replica_images_), 3u);
  EXPECT_EQ(replica_db_->rows(kSent), primary_db_->rows(kSent));
  // Each server's own result: the tables no longer agree.
  EXPECT_EQ(replica_db_->rows(kPhotos)[0][1],
            "File written as " + replica_images_->path() + "/p11.png.jpg");
  EXPECT_EQ(primary_db_->rows(kPhotos)[0][1],
            "File written as " + primary_images_->path() + "/p11.png.jpg");
}

// ROW logs the rows as the primary made them, a thumbnail that
// tarvik_jpeg keeps in a row with its bytes: the replica, with the
// functions registered too, applies them and runs neither function. It
// would log the failure of the row without an image had it run it.
TEST_F(Replication, RowCarriesTheJpegsBytesAndTheReplicaDecodesNothing) {
  replica_->install_functions();
  const std::string jpeg = quarn::test::encode_image(640, 480, quarn::test::ImageFormat::kJpeg);
  const std::string png = quarn::test::encode_image(300, 400, quarn::test::ImageFormat::kPng);
  primary_db_->rows("CREATE TABLE shop.products (id INT PRIMARY KEY, photo LONGBLOB, thumb MEDIUMBLOB);"
                    "INSERT INTO shop.products (id, photo) VALUES (1, " + Connection::hex_literal(jpeg) +
                    "), (2, " + Connection::hex_literal(png) + "), (3, 'no image'), (4, NULL)");
  const std::size_t sent_before = smtp_->messages().size();
  primary_db_->rows("SET SESSION binlog_format = ROW");
  statement("INSERT INTO shop.sent SELECT id + 20, velmar(CONCAT('r', id + 20, '@example.test'), "
            "'shop@example.test', 'Your order', 'Thanks.', 0) FROM shop.photos");
  statement("UPDATE shop.products SET thumb = tarvik_jpeg(photo, 200, 200)");
  wait_for_replica();

  for (const auto& warnings : warnings_) EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(smtp_->messages().size(), sent_before + 3);
  const auto sent = recipients();
  for (int id = 21; id <= 23; ++id) EXPECT_EQ(sent.count("r" + std::to_string(id) + "@example.test"), 1u) << id;
  EXPECT_EQ(replica_db_->rows(kSent), primary_db_->rows(kSent));

  const char kThumbs[] = "SELECT id, MD5(thumb), LENGTH(thumb) > 1000 FROM shop.products ORDER BY id";
  const auto thumbs = primary_db_->rows(kThumbs);
  ASSERT_EQ(thumbs.size(), 4u);
  EXPECT_EQ(thumbs[0][2], "1");
  EXPECT_EQ(thumbs[1][2], "1");
  EXPECT_EQ(thumbs[2][1], std::nullopt);
  EXPECT_EQ(thumbs[3][1], std::nullopt);
  EXPECT_EQ(replica_db_->rows(kThumbs), thumbs);
  const auto failure_lines = [](const MariaDbServer& server) {
    std::size_t count = 0;
    const std::string log = server.error_log();
    const std::string mark = "[ERROR] tarvik_jpeg: Error ";
    for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
      ++count;
    return count;
  };
  EXPECT_EQ(failure_lines(*primary_), 1u) << "row 3, no image";
  EXPECT_EQ(failure_lines(*replica_), 0u);
  EXPECT_EQ(status_field("Slave_SQL_Running"), "Yes");
}

}  // namespace
