// The documents' example statements give the outputs they show (the
// reference's functions and the README's examples), and the outbox procedure
// of the operations guide keeps a record of every message it sent when it is
// killed midway.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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

std::string document(const std::string& name) {
  return quarn::test::read_file(quarn::test::source_dir() + "/" + name);
}

// The part of a document from the heading to the next heading of its level.
std::string section(const std::string& text, const std::string& heading) {
  const auto start = text.find("\n" + heading + "\n");
  if (start == std::string::npos) return "";
  const std::string level = heading.substr(0, heading.find(' ') + 1);
  const auto end = text.find("\n" + level, start + heading.size() + 1);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The settings shown with these entries' values replaced; an entry missing
// from them is a failure.
std::string with_values(std::string ini, const std::map<std::string, std::string>& values) {
  for (const auto& [entry, value] : values) {
    const auto at = ini.find("\n" + entry + " = ");
    if (at == std::string::npos && ini.rfind(entry + " = ", 0) != 0) {
      ADD_FAILURE() << "the settings shown lack " << entry;
      continue;
    }
    const auto begin = at == std::string::npos ? 0 : at + 1;
    ini.replace(begin, ini.find('\n', begin) - begin, entry + " = " + value);
  }
  return ini;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// Runs each sql block followed by a text block and compares the client's
// output, with `shown` put back in place of `actual`; returns how many ran.
int run_examples(const quarn::test::MariaDbServer& server, const std::vector<Block>& blocks,
                 const std::string& actual = "", const std::string& shown = "") {
  int examples = 0;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    if (blocks[i].info != "sql" || blocks[i + 1].info != "text") continue;
    ++examples;
    auto run = server.client(blocks[i].body, "--table");
    if (!actual.empty()) replace_all(run.output, actual, shown);
    EXPECT_EQ(run.output, blocks[i + 1].body) << "example:\n" << blocks[i].body;
    if (std::getenv("QUARN_PRINT_README_OUTPUT")) std::printf("%s", run.output.c_str());
  }
  return examples;
}

std::string subject_of(const std::string& data) {
  const auto at = data.find("Subject: ");
  return at == std::string::npos ? "" : data.substr(at + 9, data.find('\r', at) - at - 9);
}

TEST(Readme, ExamplesGiveTheOutputsShown) {
  const auto reference = fenced_blocks(section(document("docs/reference.md"), "## Functions"));
  ASSERT_FALSE(reference.empty());
  ASSERT_EQ(reference[0].info, "ini");

  quarn::test::ScriptedSmtpServer smtp("mailer", "secret");
  const std::string port = std::to_string(smtp.port());

  quarn::test::MariaDbServer server;
  server.install_functions();
  quarn::test::write_file(server.data_dir() + "/quarn_udf.ini",
                          with_values(reference[0].body, {{"smtp-port", port}}));
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
  EXPECT_EQ(run_examples(server, reference), 8);

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
  // The first message is the one the reference shows, but for the Date and
  // Message-ID values.
  EXPECT_EQ(received[0].mail_from, "db@example.test");
  EXPECT_EQ(received[0].rcpt_tos, "ops@example.test\tnight@example.test");
  std::string shown;
  for (const auto& block : reference)
    if (block.body.rfind("Subject: ", 0) == 0) shown = block.body;
  ASSERT_FALSE(shown.empty()) << "the reference shows a message";
  std::string wire;
  for (const char c : shown) wire += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(quarn::test::masked_stamp(received[0].data) + ".\r\n",
            quarn::test::masked_stamp(wire));

  // The README's examples, with its own settings file pointed at the test's
  // SMTP server and at a thumbnail directory whose path is as long as the
  // one shown, so that the tables keep their widths once it is put back.
  const std::string readme = document("README.md");
  Block settings;
  for (const auto& block : fenced_blocks(readme))
    if (block.info == "ini" && settings.body.empty()) settings = block;
  const auto shown_directory = settings.body.find("image-directory = /");
  ASSERT_NE(shown_directory, std::string::npos) << "the README names an absolute thumbnail directory";
  const std::string directory_shown = settings.body.substr(
      shown_directory + 18, settings.body.find('\n', shown_directory) - shown_directory - 18);
  quarn::test::TempDir scratch;
  ASSERT_GT(directory_shown.size(), scratch.path().size() + 1);
  const std::string directory =
      scratch.path() + "/" + std::string(directory_shown.size() - scratch.path().size() - 1, 't');
  std::filesystem::create_directory(directory);
  quarn::test::write_file(server.data_dir() + "/quarn_udf.ini",
                          with_values(settings.body, {{"image-directory", directory},
                                                      {"smtp-host", "127.0.0.1"},
                                                      {"smtp-port", port},
                                                      {"smtp-security", "none"},
                                                      {"smtp-user", "mailer"},
                                                      {"smtp-password", "secret"}}));
  EXPECT_EQ(run_examples(server, fenced_blocks(section(readme, "## Examples")), directory,
                         directory_shown),
            4);
  EXPECT_TRUE(quarn::test::decode_file(directory + "/mug.png.jpg").ok);
  EXPECT_EQ(smtp.messages().size(), 4u);
}

// The outbox procedure as the operations guide shows it, killed midway: every
// message the SMTP server received has its row recorded as sent, but for at
// most one batch left marked as in doubt; a second call sends the rest and
// none of those again.
TEST(Readme, OutboxKillLeavesAtMostOneBatchUnrecorded) {
  const auto blocks = fenced_blocks(section(document("docs/operations.md"),
                                            "### An outbox, sent a batch at a time"));
  std::string outbox;
  for (const auto& block : blocks)
    if (block.body.find("CREATE PROCEDURE shop.send_outbox") != std::string::npos) outbox = block.body;
  ASSERT_FALSE(outbox.empty()) << "the guide shows the outbox procedure";

  quarn::test::ScriptedSmtpServer smtp("mailer", "secret");
  quarn::test::MariaDbServer server;
  server.install_functions();
  quarn::test::write_file(server.data_dir() + "/quarn_udf.ini",
                          "[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " +
                              std::to_string(smtp.port()) +
                              "\nsmtp-user = mailer\nsmtp-password = secret\n");
  Connection db(server.socket_path());
  db.rows("SELECT udf_loadini(TRUE); CREATE DATABASE shop");
  const auto created = server.client(outbox);
  ASSERT_EQ(created.status, 0) << created.output;
  db.rows("INSERT INTO shop.outbox (recipient, subject, body) SELECT CONCAT('r', seq, "
          "'@example.test'), CONCAT('outbox ', seq), 'Hello.' FROM shop.seq_1_to_12");

  // A session that logs statements is refused before anything is sent.
  const auto statement_logged =
      server.client("SET SESSION binlog_format = STATEMENT; CALL shop.send_outbox(3);");
  EXPECT_NE(statement_logged.output.find("ERROR 1644"), std::string::npos) << statement_logged.output;
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM shop.outbox WHERE state <> 'new'"), "0");

  const int batch = 3;
  smtp.behave(R"({"delay": {"END": 0.2}})");
  quarn::test::MariaDbServer::ClientRun killed{};
  std::atomic<bool> ended{false};
  std::thread caller([&] {
    killed = server.client("CALL shop.send_outbox(" + std::to_string(batch) + ");");
    ended = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (smtp.messages().size() < batch + 1u && !ended && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto kill = db.query("SET @victim = (SELECT id FROM information_schema.processlist "
                             "WHERE command = 'Query' AND id <> CONNECTION_ID() LIMIT 1); "
                             "KILL QUERY @victim");
  caller.join();
  ASSERT_TRUE(kill.ok) << kill.error;
  ASSERT_NE(killed.output.find("interrupted"), std::string::npos) << killed.output;

  std::map<std::string, std::string> state;  // subject -> state and result
  for (const auto& row : db.rows("SELECT subject, CONCAT(state, ' ', COALESCE(result, '-')) "
                                 "FROM shop.outbox"))
    state[*row[0]] = *row[1];
  int in_doubt = 0;
  int recorded = 0;
  std::set<std::string> sent;
  for (const auto& message : smtp.messages()) sent.insert(subject_of(message.data));
  for (const auto& [subject, what] : state) {
    if (what == "sending -") ++in_doubt;
    if (what == "done OK") {
      ++recorded;
      EXPECT_TRUE(sent.count(subject)) << subject;
    }
    if (sent.count(subject)) {
      EXPECT_TRUE(what == "done OK" || what == "sending -") << subject << ": " << what;
    }
  }
  EXPECT_LE(in_doubt, batch);
  EXPECT_GE(recorded, batch);
  EXPECT_LT(recorded + in_doubt, 12) << "killed before the end";

  smtp.behave("{}");
  const auto rest = server.client("CALL shop.send_outbox(" + std::to_string(batch) + ");");
  ASSERT_EQ(rest.status, 0) << rest.output;
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM shop.outbox WHERE state = 'new'"), "0");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM shop.outbox WHERE state = 'sending'"),
            std::to_string(in_doubt));
  const auto all = smtp.messages();
  std::set<std::string> subjects;
  for (const auto& message : all) subjects.insert(subject_of(message.data));
  EXPECT_EQ(subjects.size(), all.size()) << "a message went twice";
  EXPECT_EQ(all.size() + in_doubt, 12u + (sent.size() - recorded));
}

}  // namespace
