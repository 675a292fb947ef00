// velmar inside a throwaway MariaDB server, sending to the test SMTP server
// on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "mariadb_server.h"
#include "smtp_peer.h"
#include "test_util.h"

namespace {

using quarn::test::Connection;
using quarn::test::MariaDbServer;
using quarn::test::ScriptedSmtpServer;

class VelmarInServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sink_ = new ScriptedSmtpServer("dba", "s3cret!");
    server_ = new MariaDbServer({{"UDF_SMTPHOST", "127.0.0.1"},
                                 {"UDF_SMTPUSER", "dba"},
                                 {"UDF_SMTPPASSWORD", "s3cret!"},
                                 {"UDF_SMTPPORT", std::to_string(sink_->port())}});
    server_->install_functions();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete sink_;
  }

  static ScriptedSmtpServer* sink_;
  static MariaDbServer* server_;
};

ScriptedSmtpServer* VelmarInServer::sink_ = nullptr;
MariaDbServer* VelmarInServer::server_ = nullptr;

TEST_F(VelmarInServer, OneMessagePerRow) {
  Connection db(server_->socket_path());
  const std::size_t before = sink_->messages().size();
  db.rows(
      "CREATE DATABASE IF NOT EXISTS mailtest;"
      "CREATE TABLE mailtest.outbox (id INT PRIMARY KEY, rcpt VARCHAR(100), subject TEXT,"
      " body TEXT, html INT);"
      "INSERT INTO mailtest.outbox VALUES"
      " (1, 'one@example.test', 'First', 'Hello one\\r\\n.dotted line\\r\\n', 0),"
      " (2, 'two@example.test', 'Second', '<p>two</p>', 1),"
      " (3, 'three@example.test', NULL, NULL, NULL),"
      " (4, 'a@example.test, b@example.test', 'List', 'to a list', 0)");
  const auto rows = db.rows(
      "SELECT id, velmar(rcpt, 'db@example.test', subject, body, html) FROM mailtest.outbox"
      " ORDER BY id");
  ASSERT_EQ(rows.size(), 4u);
  for (const auto& row : rows) EXPECT_EQ(row[1], std::optional<std::string>("OK")) << *row[0];

  // Row 4's comma list gives one RCPT TO each.
  const auto stored = sink_->messages();
  ASSERT_EQ(stored.size(), before + 4);
  using quarn::test::velmar_header;
  const std::pair<std::string, std::string> expected[] = {
      {"one@example.test", velmar_header("First", "db@example.test", "one@example.test", "plain") +
                               "\r\nHello one\r\n.dotted line\r\n\r\n"},
      {"two@example.test",
       velmar_header("Second", "db@example.test", "two@example.test", "html") + "\r\n<p>two</p>\r\n"},
      {"three@example.test",
       velmar_header("", "db@example.test", "three@example.test", "html") + "\r\n\r\n"},
      {"a@example.test\tb@example.test",
       velmar_header("List", "db@example.test", "a@example.test, b@example.test", "plain") +
           "\r\nto a list\r\n"},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(stored[before + i].mail_from, "db@example.test");
    EXPECT_EQ(stored[before + i].rcpt_tos, expected[i].first);
    EXPECT_EQ(quarn::test::masked_stamp(stored[before + i].data), expected[i].second);
  }
}

TEST_F(VelmarInServer, FifthArgumentAsTextIsConvertedByTheServer) {
  Connection db(server_->socket_path());
  const std::size_t before = sink_->messages().size();
  EXPECT_EQ(db.value("SELECT velmar('t@example.test', 'f@example.test', 's', 'b', '0')"),
            std::optional<std::string>("OK"));
  EXPECT_EQ(db.value("SELECT velmar('t@example.test', 'f@example.test', 's', 'b', '12')"),
            std::optional<std::string>("OK"));
  const auto stored = sink_->messages();
  ASSERT_EQ(stored.size(), before + 2);
  EXPECT_NE(stored[before].data.find("Content-Type: text/plain;"), std::string::npos);
  EXPECT_NE(stored[before + 1].data.find("Content-Type: text/html;"), std::string::npos);
}

TEST_F(VelmarInServer, RefusedRowsGiveTheirTextAndALogLine) {
  Connection db(server_->socket_path());
  const std::size_t before = sink_->messages().size();
  const auto rows = db.rows(
      "SELECT velmar(NULL, 'f@example.test', 's', 'b'),"
      " velmar('t@example.test', NULL, 's', 'b'),"
      " velmar('t@example.test', 'f@example.test', CONCAT('s', CHAR(13), CHAR(10), 'Bcc: x@example.test'), 'b')");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], std::optional<std::string>("Error: No 'To' address specified."));
  EXPECT_EQ(rows[0][1], std::optional<std::string>("Error: No 'From' address specified."));
  EXPECT_EQ(rows[0][2], std::optional<std::string>("Error: Subject contains a line break."));
  EXPECT_EQ(sink_->messages().size(), before);
  const std::string log = server_->error_log();
  EXPECT_NE(log.find(" velmar: Error: No 'To' address specified.\n"), std::string::npos);
  EXPECT_NE(log.find(" velmar: Error: Subject contains a line break.\n"), std::string::npos);
}

// Provider-style submission servers: one as on port 587 that requires
// STARTTLS before AUTH, one as on port 465 with TLS from the first byte;
// the test CA is trusted through smtp-ca-file.
TEST_F(VelmarInServer, MailGoesOverStarttlsAndOverTls) {
  quarn::test::TestCertificates certs;
  Connection db(server_->socket_path());
  const auto use = [&](const ScriptedSmtpServer& sink, const std::string& security) {
    quarn::test::write_file(server_->data_dir() + "/quarn_udf.ini",
                            "[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " +
                                std::to_string(sink.port()) +
                                "\nsmtp-user = dba\nsmtp-password = s3cret!\nsmtp-timeout = 2\nsmtp-security = " +
                                security + "\nsmtp-ca-file = " + certs.file("ca.pem") + "\n");
    db.rows("SELECT udf_loadini(TRUE)");
  };
  for (const std::string security : {"starttls", "tls"}) {
    SCOPED_TRACE(security);
    ScriptedSmtpServer sink("dba", "s3cret!", certs.dir());
    sink.behave(security == "tls" ? R"({"tls": true})" : R"({"starttls": true})");
    use(sink, security);
    EXPECT_EQ(db.value("SELECT udf_getenvvar('UDF_SMTPSECURITY')"),
              std::optional<std::string>(security));
    EXPECT_EQ(db.value("SELECT velmar('t@example.test', 'f@example.test', 'Over " + security +
                       "', 'b', 0)"),
              std::optional<std::string>("OK"));
    const auto stored = sink.messages();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_NE(stored[0].data.find("Subject: Over " + security + "\r\n"), std::string::npos);
    // Plain text to a server that requires TLS first: refused (465 answers
    // nothing until the 2 s time-out), no message.
    use(sink, "none");
    EXPECT_EQ(db.value("SELECT velmar('t@example.test', 'f@example.test', 's', 'b', 0)"),
              std::optional<std::string>("There was an error sending the message."));
    EXPECT_EQ(sink.messages().size(), 1u);
  }
  // The other tests' settings again.
  use(*sink_, "none");
}

// A statement keeps one session: one connection and one login for all its
// rows, MAIL, RCPT and DATA in one write per message where the server
// offers PIPELINING; the next statement opens its own.
TEST_F(VelmarInServer, AStatementOfFiftyRowsUsesOneConnection) {
  ScriptedSmtpServer sink("dba", "s3cret!");
  sink.behave(R"({"pipelining": true})");
  quarn::test::write_file(server_->data_dir() + "/quarn_udf.ini",
                          "[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " + std::to_string(sink.port()) +
                              "\nsmtp-user = dba\nsmtp-password = s3cret!\n");
  Connection db(server_->socket_path());
  db.rows("SELECT udf_loadini(TRUE)");
  const std::string sql =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50)"
      " SELECT i, velmar(CONCAT('r', i, '@example.test'), 'db@example.test', CONCAT('row ', i),"
      " 'b', 0) FROM n";
  for (int statement = 1; statement <= 2; ++statement) {
    SCOPED_TRACE(statement);
    const auto rows = db.rows(sql);
    ASSERT_EQ(rows.size(), 50u);
    for (const auto& row : rows) EXPECT_EQ(row[1], std::optional<std::string>("OK")) << *row[0];
    const auto session = sink.next_session();
    EXPECT_EQ(sink.accepted(), statement);
    ASSERT_EQ(session.all.size(), 50u);
    for (std::size_t i = 0; i < 50; ++i)
      EXPECT_NE(session.all[i].data.find("Subject: row " + std::to_string(i + 1) + "\r\n"),
                std::string::npos);
    EXPECT_EQ(session.pipelined_groups, 50);
    EXPECT_EQ(session.received.find("AUTH LOGIN"), session.received.rfind("AUTH LOGIN"));
    EXPECT_EQ(session.received.substr(session.received.size() - 6), "QUIT\r\n");
  }
  EXPECT_EQ(sink.messages().size(), 100u);
  // A port that the loader publishes as written, and velmar refuses.
  quarn::test::write_file(server_->data_dir() + "/quarn_udf.ini",
                          "[email]\nsmtp-host = 127.0.0.1\nsmtp-port = 68137\n"
                          "smtp-user = dba\nsmtp-password = s3cret!\n");
  db.rows("SELECT udf_loadini(TRUE)");
  EXPECT_EQ(db.value("SELECT udf_getenvvar('UDF_SMTPPORT')"), std::optional<std::string>("68137"));
  EXPECT_EQ(db.value("SELECT velmar('t@example.test', 'f@example.test', 's', 'b')"),
            std::optional<std::string>("Error: SMTP port out of range (1-65535)."));
  // The other tests' settings again.
  quarn::test::write_file(server_->data_dir() + "/quarn_udf.ini",
                          "[email]\nsmtp-host = 127.0.0.1\nsmtp-port = " + std::to_string(sink_->port()) +
                              "\nsmtp-user = dba\nsmtp-password = s3cret!\n");
  db.rows("SELECT udf_loadini(TRUE)");
}

TEST_F(VelmarInServer, InitRefusalsAsTheServerShowsThem) {
  Connection db(server_->socket_path());
  const std::string prefix = "Can't initialize function 'velmar'; ";
  const std::string count =
      "EMAIL() requires To address, From address, Subject line, Message, and is HTML.";
  const std::string type =
      "EMAIL() requires To address, From address, Subject, Message, and is HTML.";
  const std::string needs =
      " needs AS cc, bcc, reply_to, attachment, attachment_name, text or importance ";
  const std::pair<const char*, std::string> cases[] = {
      {"SELECT velmar('a', 'b', 'c')", count},
      {"SELECT velmar('a', 'b', 'c', 'd', 1, 2)", "EMAIL() argument 6" + needs + "(not 2)."},
      {"SELECT velmar('a', 'b', 'c', 'd', 1, 'x@y')", "EMAIL() argument 6" + needs + "(not 'x@y')."},
      {"SELECT velmar('a', 'b', 'c', 'd', 1, 'x' AS cc, 'y' AS cc_list)",
       "EMAIL() argument 7" + needs + "(not cc_list)."},
      {"SELECT velmar('a', 'b', 'c', 'd', 1, 'x' AS cc, 'y' AS Cc)",
       "EMAIL() argument 7 repeats cc; once each: cc, bcc, reply_to, text, importance; "
       "attachment and attachment_name in pairs."},
      {"SELECT velmar('a', 2, 'c', 'd')", type},
      {"SELECT velmar('a', 'b', 'c', 4.5)", type},
  };
  for (const auto& [sql, message] : cases) {
    const auto result = db.query(sql);
    EXPECT_FALSE(result.ok) << sql;
    // The server keeps at most 80 characters of the text.
    EXPECT_EQ(result.error, prefix + message.substr(0, 80));
  }
}

}  // namespace
