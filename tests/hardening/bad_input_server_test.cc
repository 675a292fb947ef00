// Bad input through a real MariaDB server: every init refusal as the server
// shows it, SQL NULL in every argument position, empty strings, NUL bytes,
// line breaks, very large mail arguments, broken and hostile images,
// unwritable thumbnail directories and broken settings files. After each
// call the server is alive and answers, the value and the error-log text are
// the promised ones, and no file appears where none may.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "handmade_images.h"
#include "images.h"
#include "mariadb_server.h"
#include "result_checks.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "working_dir.h"

namespace {

using namespace quarn::hardening;
using quarn::test::Connection;
using quarn::test::file_exists;
using quarn::test::MariaDbServer;
using quarn::test::TempDir;
using Value = std::optional<std::string>;
using namespace std::string_literals;

const std::string kSendError = "There was an error sending the message.";

std::set<std::string> listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

class BadInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    quarn::test::clear_settings();  // the server inherits this environment
    // One level down, so that its parent holds nothing of other tests.
    images_ = new TempDir;
    std::filesystem::create_directory(images_dir());
    smtp_ = new quarn::test::ScriptedSmtpServer("u", "p");
    server_ = new MariaDbServer;
    server_->install_functions();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete smtp_;
    delete images_;
  }
  void SetUp() override {
    db_ = std::make_unique<Connection>(server_->socket_path());
    ASSERT_TRUE(load_settings(standard_settings()));
  }
  void TearDown() override {
    // The server outlived every case of the test and still answers.
    ASSERT_TRUE(server_->alive());
    EXPECT_EQ(Connection(server_->socket_path()).value("SELECT 6 * 7"), "42");
  }

  static std::string settings_path() { return server_->data_dir() + "/quarn_udf.ini"; }
  // Mail goes to the test SMTP server, which records every byte and stores
  // what it accepted.
  static std::string standard_settings(const std::string& image_dir = images_dir()) {
    return "[thumbnail]\nimage-directory = " + image_dir +
           "\n[email]\nsmtp-host = 127.0.0.1\nsmtp-user = u\nsmtp-password = p\nsmtp-port = " +
           std::to_string(smtp_->port()) + "\n";
  }
  // Writes the settings file and reloads it; true when it was published.
  bool load_settings(const std::string& text) {
    std::filesystem::remove_all(settings_path());
    quarn::test::write_file(settings_path(), text);
    return !db_->value("SELECT udf_loadini(TRUE)") &&
           db_->value("SELECT udf_getenvvar('UDF_ERRORLOG')") == "udf_error.log";
  }

  struct Outcome {
    Value value;
    std::string log;  // what the server wrote to its error log meanwhile
    double seconds;
  };
  Outcome call(const std::string& sql) {
    const std::size_t before = server_->error_log().size();
    const auto start = std::chrono::steady_clock::now();
    Value value = db_->value(sql);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(server_->alive()) << sql;
    return {std::move(value), quarn::test::log_messages(server_->error_log().substr(before)),
            took.count()};
  }
  // The init refusal as the client sees it.
  std::string refusal(const std::string& sql) {
    const auto result = db_->query(sql);
    return result.ok ? "accepted" : result.error;
  }
  // The next conversation that the SMTP server saw end.
  quarn::test::ScriptedSmtpServer::Session next_session() {
    ++conversations_;
    return smtp_->next_session();
  }
  std::string next_conversation() { return quarn::test::masked_stamp(next_session().received); }

  static std::string images_dir() { return images_->file("images"); }
  static std::string image_path(const std::string& name) { return images_dir() + "/" + name; }
  static std::string png() { return quarn::test::encode_image(40, 30, quarn::test::ImageFormat::kPng); }

  static TempDir* images_;
  static quarn::test::ScriptedSmtpServer* smtp_;
  static MariaDbServer* server_;
  static std::size_t conversations_;
  std::unique_ptr<Connection> db_;
};

TempDir* BadInput::images_ = nullptr;
quarn::test::ScriptedSmtpServer* BadInput::smtp_ = nullptr;
MariaDbServer* BadInput::server_ = nullptr;
std::size_t BadInput::conversations_ = 0;

TEST_F(BadInput, EveryInitRefusalAsTheServerShowsIt) {
  const std::string thumb_count = "THUMBNAIL() requires 4 arguments";
  const std::string thumb_type =
      "THUMBNAIL() requires a BLOB, a string filename, a integer maximum width, and an integer "
      "maximum height";
  const std::string mail_count =
      "EMAIL() requires To address, From address, Subject line, Message, and is HTML.";
  const std::string mail_type =
      "EMAIL() requires To address, From address, Subject, Message, and is HTML.";
  const std::string mail_name =
      "EMAIL() argument 6 needs AS cc, bcc, reply_to, attachment, attachment_name, text or "
      "importance (not 2).";
  const std::string load = "LOADINI() takes at most one argument: TRUE to overwrite existing values.";
  const std::string lookup = "GETENVVAR() requires the name of an environmental variable";
  const struct {
    const char* function;
    const char* sql;
    const std::string& message;
  } cases[] = {
      {"tarvik", "tarvik()", thumb_count},
      {"tarvik", "tarvik('a', 'b', 1)", thumb_count},
      {"tarvik", "tarvik('a', 'b', 1, 2, 3)", thumb_count},
      {"tarvik", "tarvik(1, 'b', 1, 2)", thumb_type},
      {"tarvik", "tarvik('a', 2, 1, 2)", thumb_type},
      {"tarvik", "tarvik('a', 'b', 200.0, 2)", thumb_type},
      {"tarvik", "tarvik('a', 'b', 1, 2e2)", thumb_type},
      {"tarvik", "tarvik('a', 'b', '200', 2)", thumb_type},
      {"tarvik", "tarvik('a', 'b', NULL, 2)", thumb_type},  // an untyped NULL is a string
      {"tarvik", "tarvik('a', 'b', 1, CAST(NULL AS DECIMAL(5,1)))", thumb_type},
      {"tarvik", "tarvik(CAST(NULL AS SIGNED), 'b', 1, 2)", thumb_type},
      {"velmar", "velmar()", mail_count},
      {"velmar", "velmar('a', 'b', 'c')", mail_count},
      {"velmar", "velmar('a', 'b', 'c', 'd', 1, 2)", mail_name},
      {"velmar", "velmar(1, 'b', 'c', 'd')", mail_type},
      {"velmar", "velmar('a', 2, 'c', 'd')", mail_type},
      {"velmar", "velmar('a', 'b', 3.0, 'd')", mail_type},
      {"velmar", "velmar('a', 'b', 'c', 4e0)", mail_type},
      {"velmar", "velmar(CAST(NULL AS SIGNED), 'b', 'c', 'd')", mail_type},
      {"udf_loadini", "udf_loadini(1, 2)", load},
      {"udf_loadini", "udf_loadini(NULL, NULL)", load},
      {"udf_getenvvar", "udf_getenvvar()", lookup},
      {"udf_getenvvar", "udf_getenvvar('a', 'b')", lookup},
      {"udf_getenvvar", "udf_getenvvar(5)", lookup},
      {"udf_getenvvar", "udf_getenvvar(1.5)", lookup},
      {"udf_getenvvar", "udf_getenvvar(2e0)", lookup},
      {"udf_getenvvar", "udf_getenvvar(CAST(NULL AS SIGNED))", lookup},
  };
  for (const auto& c : cases) {
    // The server keeps at most 80 characters of the text.
    EXPECT_EQ(refusal(std::string("SELECT ") + c.sql),
              std::string("Can't initialize function '") + c.function + "'; " +
                  c.message.substr(0, 80))
        << c.sql;
  }
  EXPECT_EQ(conversations_, 0u);
  EXPECT_EQ(smtp_->accepted(), 0);
}

TEST_F(BadInput, SqlNullInEveryPosition) {
  const std::string image = Connection::hex_literal(png());
  const std::string int_null = "CAST(NULL AS SIGNED)";
  const auto before = listing(images_dir());
  // tarvik: NULL image and NULL maxima are failures with their texts; a
  // NULL file name is refused before anything else.
  const struct {
    std::string sql, name, expect;  // expect: the text before any error code
    bool code;
  } thumbs[] = {
      {"tarvik(NULL, 'n0', 20, 20)", "n0.jpg", load_failure(image_path("n0.jpg")), true},
      {"tarvik(" + image + ", 'n2', " + int_null + ", 20)", "n2.jpg", no_maximum(image_path("n2.jpg")), false},
      {"tarvik(" + image + ", 'n3', 20, " + int_null + ")", "n3.jpg", no_maximum(image_path("n3.jpg")), false},
      {"tarvik(NULL, NULL, " + int_null + ", " + int_null + ")", "", kNoFileName, false},
      {"tarvik(" + image + ", NULL, 20, 20)", "", kNoFileName, false},
  };
  for (const auto& c : thumbs) {
    const Outcome got = call("SELECT " + c.sql);
    ASSERT_TRUE(got.value) << c.sql;
    EXPECT_TRUE(c.code ? digits_after(*got.value, c.expect) : *got.value == c.expect) << *got.value;
    EXPECT_EQ(got.log, *got.value + "\n") << c.sql;
  }
  EXPECT_EQ(listing(images_dir()), before);

  // velmar: NULL To or From are refused without a connection; NULL subject,
  // body or is_html go out as empty texts and HTML.
  const int accepted = smtp_->accepted();
  for (const auto& [sql, text] : std::vector<std::pair<std::string, std::string>>{
           {"velmar(NULL, 'f@x.test', 's', 'b')", "Error: No 'To' address specified."},
           {"velmar('t@x.test', NULL, 's', 'b')", "Error: No 'From' address specified."},
           {"velmar(NULL, NULL, NULL, NULL, NULL)", "Error: No 'To' address specified."}}) {
    const Outcome got = call("SELECT " + sql);
    EXPECT_EQ(got.value, text) << sql;
    EXPECT_EQ(got.log, text + "\n") << sql;
  }
  EXPECT_EQ(smtp_->accepted(), accepted);
  const struct {
    std::string sql, subject, type, body;
  } sends[] = {
      {"velmar('t@x.test', 'f@x.test', NULL, 'b')", "", "html", "b"},
      {"velmar('t@x.test', 'f@x.test', 's', NULL)", "s", "html", ""},
      {"velmar('t@x.test', 'f@x.test', 's', 'b', NULL)", "s", "html", "b"},
      {"velmar('t@x.test', 'f@x.test', 's', 'b', " + int_null + ")", "s", "html", "b"},
      {"velmar('t@x.test', 'f@x.test', 's', 'b', 0)", "s", "plain", "b"},
  };
  for (const auto& c : sends) {
    const Outcome got = call("SELECT " + c.sql);
    EXPECT_EQ(got.value, "OK") << c.sql;
    EXPECT_EQ(got.log, "") << c.sql;
    const std::string data = next_conversation();
    EXPECT_NE(data.find("\r\nDATA\r\n" +
                        quarn::test::velmar_header(c.subject, "f@x.test", "t@x.test", c.type) +
                        "\r\n" + c.body + "\r\n.\r\nQUIT\r\n"),
              std::string::npos)
        << c.sql << "\n" << data;
  }

  // udf_loadini: a NULL argument is no overwrite request, so the changed
  // file is not read; udf_getenvvar: a NULL name is no variable.
  quarn::test::write_file(settings_path(), "[email]\nsmtp-port = 7\n");
  // Texts are converted to 0 by the server: no request either.
  for (const char* sql : {"SELECT udf_loadini(NULL)", "SELECT udf_loadini(CAST(NULL AS SIGNED))",
                          "SELECT udf_loadini('')", "SELECT udf_loadini('yes')",
                          "SELECT udf_getenvvar(NULL)", "SELECT udf_getenvvar(CAST(NULL AS CHAR))"}) {
    const Outcome got = call(sql);
    EXPECT_EQ(got.value, std::nullopt) << sql;
    EXPECT_EQ(got.log, "") << sql;
  }
  EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_SMTPPORT')"), std::to_string(smtp_->port()));
}

TEST_F(BadInput, EmptyStringsAndNulBytes) {
  const std::string image = Connection::hex_literal(png());
  const std::string parent = std::filesystem::path(images_dir()).parent_path();
  const auto parent_before = listing(parent);
  // Empty BLOB: a load failure; a NUL cuts the name; directory parts are
  // dropped; a name with nothing left is refused.
  const Outcome empty = call("SELECT tarvik('', 'e1', 20, 20)");
  ASSERT_TRUE(empty.value);
  EXPECT_TRUE(digits_after(*empty.value, load_failure(image_path("e1.jpg")))) << *empty.value;
  EXPECT_EQ(empty.log, *empty.value + "\n");
  const struct {
    std::string name_sql, file;  // file: empty when refused
  } names[] = {{"''", ""},
               {"CONCAT('a', CHAR(0), 'b.php')", "a.jpg"},
               {"'../../escape.png'", "escape.png.jpg"},
               {"'..\\\\up\\\\x.JPG'", "x.JPG"},
               {"CONCAT('dir/', CHAR(0))", ""}};
  for (const auto& c : names) {
    const auto before = listing(images_dir());
    const Outcome got = call("SELECT tarvik(" + image + ", " + c.name_sql + ", 20, 20)");
    if (c.file.empty()) {
      EXPECT_EQ(got.value, kNoFileName) << c.name_sql;
      EXPECT_EQ(got.log, std::string(kNoFileName) + "\n");
      EXPECT_EQ(listing(images_dir()), before) << c.name_sql;
      continue;
    }
    EXPECT_EQ(got.value, written(image_path(c.file))) << c.name_sql;
    EXPECT_EQ(got.log, "");
    auto after = listing(images_dir());
    after.erase(c.file);
    EXPECT_EQ(after, before) << c.name_sql;
    EXPECT_TRUE(quarn::test::decode_file(image_path(c.file)).ok) << c.name_sql;
    std::filesystem::remove(image_path(c.file));
  }
  EXPECT_EQ(listing(parent), parent_before);

  // velmar: an empty To is refused, an empty From is the null sender; a NUL
  // byte is refused in an address (a server written in C would read another
  // one) and encoded in the subject and body.
  const Outcome no_to = call("SELECT velmar('', 'f@x.test', 's', 'b')");
  EXPECT_EQ(no_to.value, "Error: No 'To' address specified.");
  EXPECT_EQ(no_to.log, "Error: No 'To' address specified.\n");
  const Outcome nul_to = call("SELECT velmar(CONCAT('t@x', CHAR(0), '.test'), 'f@x.test', 's', 'b')");
  EXPECT_EQ(nul_to.value, "Error: 'To' address contains a control character.");
  EXPECT_EQ(nul_to.log, *nul_to.value + "\n");
  const struct {
    std::string sql, expect;
  } sends[] = {
      {"velmar('t@x.test', '', '', '')",
       "MAIL FROM:<>\r\nRCPT TO:<t@x.test>\r\nDATA\r\nSubject:\r\nFrom:\r\nTo: t@x.test\r\n"},
      {"velmar('t@x.test', 'f@x.test', CONCAT('s', CHAR(0), 's'), CONCAT('b', CHAR(0), 'b'))",
       "DATA\r\nSubject: =?UTF-8?B?cwBz?=\r\nFrom: f@x.test\r\nTo: t@x.test\r\n"},
  };
  for (const auto& c : sends) {
    const Outcome got = call("SELECT " + c.sql);
    EXPECT_EQ(got.value, "OK") << c.sql;
    EXPECT_EQ(got.log, "");
    EXPECT_NE(next_conversation().find(c.expect), std::string::npos) << c.sql;
  }

  // udf_getenvvar: the empty name is no variable; a NUL ends the name.
  EXPECT_EQ(call("SELECT udf_getenvvar('')").value, std::nullopt);
  EXPECT_EQ(call("SELECT udf_getenvvar(CONCAT('UDF_SMTPPORT', CHAR(0), 'X'))").value,
            std::to_string(smtp_->port()));
  EXPECT_EQ(call("SELECT udf_getenvvar(CONCAT(CHAR(0), 'UDF_SMTPPORT'))").value, std::nullopt);
}

TEST_F(BadInput, OverlongNames) {
  // A file name longer than the file system takes is refused with its own
  // text, not the 1290 of a missing directory.
  const Outcome got =
      call("SELECT tarvik(" + Connection::hex_literal(png()) + ", REPEAT('n', 300), 20, 20)");
  const std::string path = image_path(std::string(300, 'n') + ".jpg");
  const std::string refused =
      "Error: The thumbnail's file name is longer than 255 bytes, which no file system takes.";
  EXPECT_EQ(got.value, refused);
  EXPECT_EQ(got.log, refused + "\n");
  EXPECT_FALSE(file_exists(path));
  // A 64 KiB variable name is no variable.
  EXPECT_EQ(call("SELECT udf_getenvvar(REPEAT('A', 65536))").value, std::nullopt);
}

TEST_F(BadInput, LineBreaksInEachMailArgument) {
  const char* const breaks[] = {"CHAR(13)", "CHAR(10)", "CHAR(13, 10)"};
  const std::string refused[] = {"Error: 'To' address contains a line break.",
                                 "Error: 'From' address contains a line break.",
                                 "Error: Subject contains a line break."};
  const int accepted = smtp_->accepted();
  for (const char* brk : breaks) {
    const std::string b = std::string("CONCAT('x', ") + brk + ", 'RCPT TO:<e@x.test>')";
    const std::string calls[] = {"velmar(" + b + ", 'f@x.test', 's', 'b')",
                                 "velmar('t@x.test', " + b + ", 's', 'b')",
                                 "velmar('t@x.test', 'f@x.test', " + b + ", 'b')"};
    for (int i = 0; i < 3; ++i) {
      const Outcome got = call("SELECT " + calls[i]);
      EXPECT_EQ(got.value, refused[i]) << calls[i];
      EXPECT_EQ(got.log, refused[i] + "\n") << calls[i];
    }
    // To is judged before From, From before the subject.
    EXPECT_EQ(call("SELECT velmar(" + b + ", " + b + ", " + b + ", 'b')").value, refused[0]);
    EXPECT_EQ(call("SELECT velmar('t@x.test', " + b + ", " + b + ", 'b')").value, refused[1]);
  }
  EXPECT_EQ(smtp_->accepted(), accepted);

  // In the body every line break goes as CR LF, and a line "." inside is
  // stuffed so it cannot end the data. A text fifth argument is converted
  // by the server.
  const Outcome body = call(
      "SELECT velmar('t@x.test', 'f@x.test', 's', CONCAT('a', CHAR(13), 'b', CHAR(10), '.',"
      " CHAR(13, 10), 'QUIT'), CONCAT(CHAR(13), CHAR(10)))");
  EXPECT_EQ(body.value, "OK");
  const std::string data = next_conversation();
  EXPECT_NE(data.find("Content-Type: text/plain; charset=utf-8\r\n\r\na\r\nb\r\n..\r\nQUIT\r\n.\r\nQUIT\r\n"),
            std::string::npos)
      << data;
}

TEST_F(BadInput, LongSubjectsAndSixteenMibBody) {
  // A subject of any length goes out: a 989-byte word on its own line (no
  // blank to fold at), a 64 KiB one as encoded words, every line within
  // 998 bytes. Every line of the body begins with "." and is stuffed.
  const Outcome subject = call("SELECT velmar('t@x.test', 'f@x.test', REPEAT('s', 989), 'b')");
  EXPECT_EQ(subject.value, "OK");
  EXPECT_NE(next_conversation().find("\r\nSubject: " + std::string(989, 's') + "\r\nFrom:"),
            std::string::npos);
  const Outcome longer = call("SELECT velmar('t@x.test', 'f@x.test', REPEAT('s', 65536), 'b')");
  EXPECT_EQ(longer.value, "OK");
  EXPECT_EQ(longer.log, "");
  const std::string conversation = next_conversation();
  EXPECT_NE(conversation.find("\r\nSubject: =?UTF-8?B?c3Nz"), std::string::npos);
  for (std::size_t start = 0, end; (end = conversation.find("\r\n", start)) != std::string::npos;
       start = end + 2)
    EXPECT_LE(end - start, 998u);

  // The server answers once after the data, so the whole body can flow;
  // it undoes the stuffing, so what it stores is the body as given. Lines
  // of 1000 bytes, each beginning with ".", 16 MiB in all.
  const std::string line = "." + std::string(997, 'b') + "\r\n";
  const int lines = (16 << 20) / 1000 + 1;
  const Outcome body = call("SELECT velmar('t@x.test', 'f@x.test', 's', REPEAT(CONCAT('.', REPEAT('b', 997), "
                            "CHAR(13, 10)), " + std::to_string(lines) + "), 0)");
  EXPECT_EQ(body.value, "OK");
  EXPECT_EQ(body.log, "");
  std::string expected = quarn::test::velmar_header("s", "f@x.test", "t@x.test", "plain") + "\r\n";
  expected.reserve(17 << 20);
  for (int i = 0; i < lines; ++i) expected += line;
  expected += "\r\n";
  const auto session = next_session();
  ASSERT_TRUE(session.stored);
  const std::string data = quarn::test::masked_stamp(session.stored->data);
  EXPECT_EQ(data.size(), expected.size());
  EXPECT_TRUE(data == expected);
  std::printf("989-byte subject: %.2f s, 16 MiB body: %.2f s\n", subject.seconds, body.seconds);
}

TEST_F(BadInput, BrokenAndHostileImages) {
  using quarn::handmade::put_le16;
  using quarn::handmade::put_le32;
  const std::string png_image = png();
  const std::string jpeg = quarn::test::encode_image(40, 30, quarn::test::ImageFormat::kJpeg);
  // Headers claiming 40000 x 40000 pixels over a few bytes of data.
  std::string bmp = "BM";
  put_le32(bmp, 54 + 16);
  put_le32(bmp, 0);
  put_le32(bmp, 54);
  for (std::uint32_t v : {40u, 40000u, 40000u}) put_le32(bmp, v);
  put_le16(bmp, 1);
  put_le16(bmp, 24);
  for (int i = 0; i < 6; ++i) put_le32(bmp, 0);
  bmp += std::string(16, '\x55');
  std::string gif = "GIF89a";
  put_le16(gif, 40000);
  put_le16(gif, 40000);
  gif += std::string("\x80\0\0\0\0\0\xff\xff\xff\x2c\0\0\0\0", 14);
  put_le16(gif, 40000);
  put_le16(gif, 40000);
  gif += std::string("\0\x02\x02\x4c\x01\0\x3b", 7);
  const struct {
    const char* name;
    std::string image;
    bool refused;  // by the pre-flight check: code 1287
  } cases[] = {
      {"text", "this is plain text, not an image", false},
      {"zeros", std::string(4096, '\0'), false},
      {"png_half", png_image.substr(0, png_image.size() / 2), false},
      {"png_head", png_image.substr(0, 40), false},
      {"jpeg_head", jpeg.substr(0, 200), false},
      {"huge_png", quarn::handmade::png_header(40000, 40000, 8, 2) + quarn::handmade::png_chunk("IEND", ""), true},
      {"huge_bmp", bmp, true},
      {"huge_gif", gif, true},
  };
  for (const auto& c : cases) {
    const std::string file = std::string(c.name) + ".jpg";
    const Outcome got = call("SELECT tarvik(" + Connection::hex_literal(c.image) + ", '" + c.name +
                             "', 200, 200)");
    ASSERT_TRUE(got.value) << c.name;
    if (c.refused)
      EXPECT_EQ(*got.value, load_failure(image_path(file)) + "1287") << c.name;
    else
      EXPECT_TRUE(digits_after(*got.value, load_failure(image_path(file)))) << *got.value;
    EXPECT_EQ(got.log, *got.value + "\n") << c.name;
    EXPECT_FALSE(file_exists(image_path(file))) << c.name;
    EXPECT_LT(got.seconds, 5.0) << c.name;
    EXPECT_EQ(db_->value("SELECT 1"), "1") << c.name;
  }
}

TEST_F(BadInput, ThumbnailDirectoriesThatCannotBeWritten) {
  // Permission bits do not stop root, so the directories are made
  // unwritable in ways that hold for every user: missing, below a regular
  // file, or the thumbnail's own name taken by a directory. A read-only
  // directory is added when the test does not run as root.
  TempDir place;
  const std::string plain = place.file("plain-file");
  quarn::test::write_file(plain, "not a directory\n");
  ASSERT_EQ(::mkdir(place.file("taken").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(place.file("taken/x.jpg").c_str(), 0700), 0);
  std::vector<std::string> dirs = {place.file("missing"), plain + "/sub", place.file("taken")};
  if (::geteuid() != 0) {
    ASSERT_EQ(::mkdir(place.file("read-only").c_str(), 0500), 0);
    dirs.push_back(place.file("read-only"));
  } else {
    std::printf("running as root: the read-only directory case is left out\n");
  }
  const std::string image = Connection::hex_literal(png());
  for (const std::string& dir : dirs) {
    ASSERT_TRUE(load_settings(standard_settings(dir))) << dir;
    ASSERT_EQ(db_->value("SELECT udf_getenvvar('UDF_IMAGEDIR')"), dir);
    const auto before = listing(place.path());
    const Outcome got = call("SELECT tarvik(" + image + ", 'x', 20, 20)");
    ASSERT_TRUE(got.value) << dir;
    EXPECT_TRUE(digits_after(*got.value, save_failure(dir + "/x.jpg"))) << *got.value;
    EXPECT_EQ(got.log, *got.value + "\n");
    EXPECT_EQ(listing(place.path()), before) << dir;
  }
  EXPECT_EQ(quarn::test::read_file(plain), "not a directory\n");
  EXPECT_TRUE(std::filesystem::is_empty(place.file("taken/x.jpg")));
  if (::geteuid() != 0) {
    EXPECT_TRUE(std::filesystem::is_empty(place.file("read-only")));
  }
}

TEST_F(BadInput, SettingsFilesThatAreBroken) {
  const std::string path = settings_path();
  const std::string port = std::to_string(smtp_->port());
  const auto unchanged = [&](const std::string& what) {
    EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_SMTPPORT')"), port) << what;
    EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_IMAGEDIR')"), images_dir()) << what;
    EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_SMTPUSER')"), "u") << what;
  };
  // Cannot be opened as a file, for root too: the call fails (NULL with the
  // error flag), the log says why (the reasons: the loader's tests) and the
  // published settings stay as they were.
  const struct {
    const char* what;
    void (*make)(const std::string&);
  } unreadable[] = {
      {"a directory", [](const std::string& p) { std::filesystem::create_directory(p); }},
      {"a dangling link", [](const std::string& p) { std::filesystem::create_symlink(p + ".gone", p); }},
      {"a link loop", [](const std::string& p) { std::filesystem::create_symlink(p, p); }},
      {"missing", [](const std::string&) {}},
      {"a link to /dev/zero", [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); }},
  };
  for (const auto& c : unreadable) {
    std::filesystem::remove_all(path);
    c.make(path);
    const Outcome got = call("SELECT udf_loadini(TRUE)");
    EXPECT_EQ(got.value, std::nullopt) << c.what;
    EXPECT_EQ(got.log.rfind("settings not loaded from " + path + ": ", 0), 0u) << got.log;
    unchanged(c.what);
  }
  std::filesystem::remove_all(path);
  if (::geteuid() != 0) {
    quarn::test::write_file(path, "[email]\nsmtp-port = 9\n");
    ::chmod(path.c_str(), 0);
    EXPECT_EQ(call("SELECT udf_loadini(TRUE)").value, std::nullopt);
    unchanged("no read permission");
  }

  // Not a regular file: a named pipe would make the open wait for a writer
  // for as long as none comes, a device like /dev/zero would be read for
  // ever. Both must be refused at once like a file that does not open.
  std::filesystem::remove_all(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::atomic<bool> returned{false};
  std::thread writer([&] {
    // A late writer ends the wait, should the server be waiting.
    const auto late = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!returned && std::chrono::steady_clock::now() < late)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      const std::string text = "[email]\nsmtp-port = 7\n";
      EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
      ::close(fd);
    }
  });
  const Outcome fifo = call("SELECT udf_loadini(TRUE)");
  returned = true;
  writer.join();
  EXPECT_EQ(fifo.value, std::nullopt);
  EXPECT_LT(fifo.seconds, 1.0) << "udf_loadini waited for a writer of the named pipe";
  unchanged("a named pipe");

  // Binary garbage without a "[" opens no section, so every setting takes
  // its default: the file is read, not refused, and its faults are named,
  // as many as a load names.
  std::string garbage;
  std::uint32_t state = 12345;
  while (garbage.size() < (1 << 20)) {
    state = state * 1103515245 + 12345;
    const char c = static_cast<char>(state >> 16);
    if (c != '[') garbage += c;
  }
  std::filesystem::remove_all(path);
  quarn::test::write_file(path, garbage);
  const Outcome got = call("SELECT udf_loadini(TRUE)");
  EXPECT_EQ(got.value, std::nullopt);
  EXPECT_EQ(got.log.rfind("settings loaded from " + path + "\n" + path + " line ", 0), 0u)
      << got.log;
  EXPECT_EQ(std::count(got.log.begin(), got.log.end(), '\n'), 22) << got.log;
  EXPECT_NE(got.log.find("\nthe lines after line "), std::string::npos) << got.log;
  EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_IMAGEDIR')"), "./");
  EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_SMTPHOST')"), "localhost");
  EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_SMTPPORT')"), "25");
  EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_SMTPUSER')"), std::nullopt);
  EXPECT_EQ(db_->value("SELECT udf_getenvvar('UDF_ERRORLOG')"), "udf_error.log");
  // Nobody writes the file that UDF_ERRORLOG names.
  EXPECT_FALSE(file_exists(server_->data_dir() + "/udf_error.log"));
}

}  // namespace
