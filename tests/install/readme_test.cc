// The README's example statements give the outputs the README shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "images.h"
#include "mariadb_server.h"
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

int free_loopback_port() {
  // Ask the kernel for a free port, then release it for the SMTP server.
  FILE* pipe = popen("/usr/bin/python3 -c 'import socket; s=socket.socket(); "
                     "s.bind((\"127.0.0.1\", 0)); print(s.getsockname()[1])'", "r");
  int port = 0;
  if (pipe != nullptr) {
    if (fscanf(pipe, "%d", &port) != 1) port = 0;
    pclose(pipe);
  }
  return port;
}

TEST(Readme, ExamplesGiveTheOutputsShown) {
  const std::string readme = quarn::test::read_file(quarn::test::source_dir() + "/README.md");
  const std::string reference = readme.substr(readme.find("## Function reference"));
  const auto blocks = fenced_blocks(reference);
  ASSERT_FALSE(blocks.empty());
  ASSERT_EQ(blocks[0].info, "ini");

  quarn::test::TempDir mail_dir;
  const int port = free_loopback_port();
  ASSERT_GT(port, 0);
  const std::string mailbox = mail_dir.file("mailbox.txt");
  const pid_t smtp = fork();
  ASSERT_GE(smtp, 0);
  if (smtp == 0) {
    const std::string script = quarn::test::source_dir() + "/scripts/demo_smtp.py";
    const std::string port_text = std::to_string(port);
    execl("/usr/bin/python3", "python3", script.c_str(), "--port", port_text.c_str(),
          "--mailbox", mailbox.c_str(), "--user", "mailer", "--password", "secret",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  struct StopSmtp {
    pid_t pid;
    ~StopSmtp() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  } stop_smtp{smtp};

  quarn::test::MariaDbServer server;
  server.install_functions();
  const std::string settings =
      std::regex_replace(blocks[0].body, std::regex("smtp-port = 2525"),
                         "smtp-port = " + std::to_string(port));
  ASSERT_NE(settings, blocks[0].body) << "the README's settings name port 2525";
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
  // The SMTP server may still be starting.
  for (int i = 0; i < 100 && db.value("SELECT 1").value_or("") == "1"; ++i) {
    if (system(("/usr/bin/python3 -c 'import socket; socket.create_connection((\"127.0.0.1\", " +
                std::to_string(port) + "), 1).close()' 2>/dev/null").c_str()) == 0)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  int examples = 0;
  for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
    if (blocks[i].info != "sql" || blocks[i + 1].info != "text") continue;
    ++examples;
    const auto run = server.client(blocks[i].body, "--table");
    EXPECT_EQ(run.output, blocks[i + 1].body) << "README example:\n" << blocks[i].body;
    if (std::getenv("QUARN_PRINT_README_OUTPUT")) std::printf("%s", run.output.c_str());
  }
  EXPECT_EQ(examples, 4);

  const auto written = quarn::test::decode_file(server.data_dir() + "/thumbs/mug.png.jpg");
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.width, 200u);
  std::string received;
  for (int i = 0; i < 50 && received.empty(); ++i) {
    received = quarn::test::read_file(mailbox);
    if (received.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(received.find("SUBJECT:Nightly report"), std::string::npos) << received;
  EXPECT_NE(received.find("All jobs finished."), std::string::npos) << received;
}

}  // namespace
