// Two Galera nodes on loopback (tests/support/galera_cluster.h), the
// functions registered on both, each node with its own thumbnail
// directory, mail to one SMTP server on loopback. Galera replicates the
// rows a node's statement made: node 2 applies them and runs no function.
// A session that switches to statement-based logging has node 2 run the
// statement itself, as docs/operations.md says.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "galera_cluster.h"
#include "images.h"
#include "mariadb_server.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "working_dir.h"

namespace {

using quarn::test::Connection;
using quarn::test::MariaDbServer;

std::size_t files_in(const quarn::test::TempDir& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++count;
  return count;
}

// The lines of the function's failures to make a thumbnail in a node's
// error log.
std::size_t failure_lines(const MariaDbServer& node, const std::string& function) {
  std::size_t count = 0;
  const std::string log = node.error_log(), mark = "[ERROR] " + function + ": Error ";
  for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) ++count;
  return count;
}

class Galera : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    quarn::test::clear_settings();
    smtp_ = std::make_unique<quarn::test::ScriptedSmtpServer>("shop", "s3cret");
    std::vector<std::map<std::string, std::string>> environments;
    for (auto& images : images_) {
      images = std::make_unique<quarn::test::TempDir>();
      environments.push_back({{"UDF_IMAGEDIR", images->path()}, {"UDF_SMTPHOST", "127.0.0.1"},
                              {"UDF_SMTPUSER", "shop"}, {"UDF_SMTPPASSWORD", "s3cret"},
                              {"UDF_SMTPPORT", std::to_string(smtp_->port())}});
    }
    cluster_ = std::make_unique<quarn::test::GaleraCluster>(environments);
    for (std::size_t i = 0; i < cluster_->size(); ++i) cluster_->node(i).install_functions();

    Connection node1(cluster_->node(0).socket_path());
    const std::string jpeg = quarn::test::encode_image(640, 480, quarn::test::ImageFormat::kJpeg);
    const std::string png = quarn::test::encode_image(300, 400, quarn::test::ImageFormat::kPng);
    node1.rows(
        "CREATE DATABASE shop;"
        "CREATE TABLE shop.photos (id INT PRIMARY KEY, photo LONGBLOB, thumb MEDIUMBLOB, file VARCHAR(300));"
        "CREATE TABLE shop.sent (id INT PRIMARY KEY, result VARCHAR(100));"
        "INSERT INTO shop.photos (id, photo) VALUES (1, " + Connection::hex_literal(jpeg) + "), (2, " +
        Connection::hex_literal(png) + "), (3, 'no image')");
  }
  static void TearDownTestSuite() {
    cluster_.reset();
    smtp_.reset();
  }
  void SetUp() override {
    node1_ = std::make_unique<Connection>(cluster_->node(0).socket_path());
    node2_ = std::make_unique<Connection>(cluster_->node(1).socket_path());
    // Node 2's reads wait until it has applied what the cluster committed.
    node2_->rows("SET SESSION wsrep_sync_wait = 1");
  }

  // Mails to r<id+offset>@example.test, tarvik_jpeg's thumbnails and
  // tarvik's files p<id+offset>.png.jpg, all made on node 1.
  void run_statements(int offset) {
    const std::string shift = std::to_string(offset);
    statement("INSERT INTO shop.sent SELECT id + " + shift + ", velmar(CONCAT('r', id + " + shift +
              ", '@example.test'), 'shop@example.test', 'Your order', 'Thanks.', 0) FROM shop.photos");
    statement("UPDATE shop.photos SET thumb = tarvik_jpeg(photo, 200, 200), file = tarvik(photo, "
              "CONCAT('p', id + " + shift + ", '.png'), 8, 8)");
  }
  void statement(const std::string& sql) {
    node1_->rows(sql);
    for (auto& row : node1_->rows("SHOW WARNINGS")) warnings_.insert(row[1].value_or(""));
  }

  // How often each recipient got a message, once `count` messages came (or
  // 30 seconds passed).
  static std::multiset<std::string> recipients(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (smtp_->messages().size() < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::multiset<std::string> all;
    for (const auto& message : smtp_->messages()) all.insert(message.rcpt_tos);
    return all;
  }

  static inline std::unique_ptr<quarn::test::ScriptedSmtpServer> smtp_;
  static inline std::unique_ptr<quarn::test::TempDir> images_[2];
  static inline std::unique_ptr<quarn::test::GaleraCluster> cluster_;
  std::unique_ptr<Connection> node1_, node2_;
  std::multiset<std::string> warnings_;  // codes
};

const char kSent[] = "SELECT id, result FROM shop.sent ORDER BY id";
const char kPhotos[] = "SELECT id, MD5(thumb), file FROM shop.photos ORDER BY id";

// Runs first: the STATEMENT test below leaves the nodes' tables different.
TEST_F(Galera, RowsMadeOnOneNodeReachTheOtherAndItRunsNoFunction) {
  ASSERT_EQ(node1_->value("SELECT @@binlog_format"), "ROW");
  run_statements(0);
  EXPECT_TRUE(warnings_.empty());

  const auto sent = recipients(3);
  for (int id = 1; id <= 3; ++id) EXPECT_EQ(sent.count("r" + std::to_string(id) + "@example.test"), 1u) << id;
  EXPECT_EQ(smtp_->messages().size(), 3u);
  const auto rows = node1_->rows(kSent);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][1], "OK");
  EXPECT_EQ(node2_->rows(kSent), rows);

  const auto photos = node1_->rows(kPhotos);
  ASSERT_EQ(photos.size(), 3u);
  EXPECT_NE(photos[0][1], std::nullopt);
  EXPECT_NE(photos[1][1], std::nullopt);
  EXPECT_EQ(photos[2][1], std::nullopt);
  EXPECT_EQ(photos[0][2], "File written as " + images_[0]->path() + "/p1.png.jpg");
  EXPECT_EQ(node2_->rows(kPhotos), photos) << "the same thumbnails' bytes, node 1's file names";
  EXPECT_EQ(files_in(*images_[0]), 2u);
  EXPECT_EQ(files_in(*images_[1]), 0u) << "a file is written on the disk of the node that ran it";
  EXPECT_EQ(failure_lines(cluster_->node(0), "tarvik_jpeg"), 1u) << "row 3, no image";
  EXPECT_EQ(failure_lines(cluster_->node(1), "tarvik_jpeg"), 0u);
}

// A session that switches to STATEMENT gets warnings only. Node 2 then runs
// the statements again: every message goes out twice, its thumbnails are
// written into its own directory, tarvik_jpeg decodes there too, and the
// nodes' tables differ.
TEST_F(Galera, StatementInASessionMakesTheOtherNodeRunTheFunctionsAgain) {
  node1_->rows("SET SESSION binlog_format = STATEMENT");
  for (auto& row : node1_->rows("SHOW WARNINGS")) warnings_.insert(row[1].value_or(""));
  run_statements(10);
  EXPECT_EQ(warnings_, (std::multiset<std::string>{"1105", "1592", "1592"}));

  const auto sent = recipients(9);
  for (int id = 11; id <= 13; ++id) EXPECT_EQ(sent.count("r" + std::to_string(id) + "@example.test"), 2u) << id;
  EXPECT_EQ(node2_->rows(kSent), node1_->rows(kSent));
  EXPECT_EQ(files_in(*images_[1]), 2u);
  EXPECT_EQ(failure_lines(cluster_->node(1), "tarvik_jpeg"), 1u);
  const auto photos = node2_->rows(kPhotos);
  EXPECT_EQ(photos[0][2], "File written as " + images_[1]->path() + "/p11.png.jpg");
  EXPECT_EQ(node1_->rows(kPhotos)[0][2], "File written as " + images_[0]->path() + "/p11.png.jpg");
  EXPECT_EQ(node1_->rows(kPhotos)[0][1], photos[0][1]) << "tarvik_jpeg made the same bytes twice";
}

}  // namespace
