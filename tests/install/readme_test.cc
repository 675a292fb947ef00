// The README's example statements give the outputs the README shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "images.h"
#include "mariadb_server.h"
#include "smtp_peer.h"
#include "test_util.h"

namespace {

using quarn::test::Connection;

struct Block {
  std::string info;  // the fence's info string, e.g. "sql"
  std::string body;
};

std::vector<Block> fenced_blocks(const std::string& markdown) {
  std::vector<Block> blocks;
  std::istringstream lines(markdown);
  std::string line;
  Block* open = nullptr;
  while (std::getline(lines, line)) {
    if (line.rfind("```", 0) == 0) {
      if (open == nullptr) {
        blocks.push_back({line.substr(3), ""});
        open = &blocks.back();
      } else {
        open = nullptr;
      }
    } else if (open != nullptr) {
      open->body += line + "\n";
    }
  }
  return blocks;
}

TEST(Readme, ExamplesGiveTheOutputsShown) {
  const std::string readme = quarn::test::read_file(quarn::test::source_dir() + "/README.md");
  const std::string reference = readme.substr(readme.find("## Function reference"));
  const auto blocks = fenced_blocks(reference);
  ASSERT_FALSE(blocks.empty());
  ASSERT_EQ(blocks[0].info, "ini");

  quarn::test::ScriptedSmtpServer smtp("mailer", "secret");
  const int port = smtp.port();

  quarn::test::MariaDbServer server;
  server.install_functions();
  std::string settings = blocks[0].body;
  const std::string readme_port = "smtp-port = 2525";
  const auto at = settings.find(readme_port);
  ASSERT_NE(at, std::string::npos) << "the README's settings name port 2525";
  settings.replace(at, readme_port.size(), "smtp-port = " + std::to_string(port));
  quarn::test::write_file(server.data_dir() + "/quarn_udf.ini", settings);
  std::filesystem::create_directory(server.data_dir() + "/thumbs");

  Connection db(server.socket_path());
  db.rows("CREATE DATABASE shop; CREATE TABLE shop.products (id INT PRIMARY KEY, "
          "name VARCHAR(100), photo LONGBLOB)");
  db.rows("INSERT INTO shop.products VALUES (1, 'mug.png', " +
          Connection::hex_literal(quarn::test::encode_image(1600, 1200,
                                                            quarn::test::ImageFormat::kPng)) +
          "), (2, 'poster.jpg', " +
          Connection::hex_literal(quarn::test::encode_image(800, 1200,
                                                            quarn::test::ImageFormat::kJpeg)) +
          ")");
  db.rows("CREATE TABLE shop.orders (id INT PRIMARY KEY, customer VARCHAR(100), total DECIMAL(10,2));"
          "INSERT INTO shop.orders VALUES (1, 'Ada', 12.50), (2, 'Brook', 99.00), (3, 'Chen', 7.25)");
  int examples = 0;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    if (blocks[i].info != "sql" || blocks[i + 1].info != "text") continue;
    ++examples;
    const auto run = server.client(blocks[i].body, "--table");
    EXPECT_EQ(run.output, blocks[i + 1].body) << "README example:\n" << blocks[i].body;
    if (std::getenv("QUARN_PRINT_README_OUTPUT")) std::printf("%s", run.output.c_str());
  }
  EXPECT_EQ(examples, 6);

  const auto written = quarn::test::decode_file(server.data_dir() + "/thumbs/mug.png.jpg");
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.width, 200u);
  const auto received = smtp.messages();
  ASSERT_EQ(received.size(), 3u);
  // The report goes to the blind copy too, which the message never names;
  // the CSV is the query's, in base64.
  EXPECT_EQ(received[1].rcpt_tos, "ops@example.test\tsales@example.test\taudit@example.test");
  EXPECT_EQ(received[1].data.find("audit@"), std::string::npos);
  EXPECT_NE(received[1].data.find("Content-Disposition: attachment; filename=\"orders.csv\"\r\n\r\n"
                                  "aWQsY3VzdG9tZXIsdG90YWwKMSxBZGEsMTIuNTAKMixCcm9vayw5OS4wMAozLENoZW4s"
                                  "Ny4yNQ==\r\n"),
            std::string::npos);
  EXPECT_NE(received[2].data.find("Content-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n"
                                  "Content-Disposition: attachment; filename=\"mug.png\"\r\n"),
            std::string::npos);
  // The first message is the one the README shows, but for the Date and
  // Message-ID values.
  EXPECT_EQ(received[0].mail_from, "db@example.test");
  EXPECT_EQ(received[0].rcpt_tos, "ops@example.test\tnight@example.test");
  std::string shown;
  for (const auto& block : blocks)
    if (block.body.rfind("Subject: ", 0) == 0) shown = block.body;
  ASSERT_FALSE(shown.empty()) << "the README shows a message";
  std::string wire;
  for (const char c : shown) wire += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(quarn::test::masked_stamp(received[0].data) + ".\r\n",
            quarn::test::masked_stamp(wire));
}

}  // namespace
