// velmar against the test SMTP server as a strict submission server on
// loopback with AUTH LOGIN, which stores what it accepts.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <random>
#include <set>

#include <string>
#include <vector>

#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::ScriptedSmtpServer;

// "ab" encodes with padding ("YWI="), as does a two-byte password.
const char kUser[] = "ab";
const char kPassword[] = "pw";

class VelmarSink : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("UDF_SMTPHOST", "127.0.0.1", 1);
    setenv("UDF_SMTPUSER", kUser, 1);
    setenv("UDF_SMTPPASSWORD", kPassword, 1);
    setenv("UDF_SMTPPORT", std::to_string(sink_.port()).c_str(), 1);
    setenv("UDF_ERRORLOG", "loaded", 1);
  }

  std::string send(const std::string& to, const std::string& subject, const std::string& body,
                   long long is_html) {
    Args args;
    args.text(to).text("sender@example.test").text(subject).text(body).integer(is_html);
    const auto outcome = Function(plugin_, "velmar").call_string(args);
    EXPECT_FALSE(outcome.is_null);
    return outcome.text;
  }

  Plugin plugin_{"velmar"};
  ScriptedSmtpServer sink_{kUser, kPassword};
};

std::string body_of(int i) {
  return "Message " + std::to_string(i) + "\r\n.leading dot\r\n..two dots\r\n.\r\nafter a lone dot\r\n";
}

TEST_F(VelmarSink, TwentyMessagesAreAllStoredWhole) {
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(send("rcpt" + std::to_string(i) + "@example.test", "Subject " + std::to_string(i),
                   body_of(i), i % 2),
              "OK");
  }
  // "OK" comes after the server's reply to the data: everything is stored.
  const auto stored = sink_.messages();
  ASSERT_EQ(stored.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    const std::string to = "rcpt" + std::to_string(i) + "@example.test";
    EXPECT_EQ(stored[i].mail_from, "sender@example.test");
    EXPECT_EQ(stored[i].rcpt_tos, to);
    // An ASCII body with short CR LF lines: the same bytes as ever.
    EXPECT_EQ(quarn::test::masked_stamp(stored[i].data),
              quarn::test::velmar_header("Subject " + std::to_string(i), "sender@example.test", to,
                                         i % 2 ? "html" : "plain") +
                  "\r\n" + body_of(i) + "\r\n");
  }
}

// A refused login is no longer "OK": the result says it failed and the
// log line gives the server's reply, never the password.
TEST_F(VelmarSink, ARefusedLoginFailsAndSaysWhy) {
  setenv("UDF_SMTPPASSWORD", "wrong", 1);
  quarn::test::StderrCapture err;
  EXPECT_EQ(send("rcpt@example.test", "s", "b", 0), "There was an error sending the message.");
  setenv("UDF_SMTPUSER", "", 1);
  EXPECT_EQ(send("rcpt@example.test", "s", "b", 0), "There was an error sending the message.");
  const std::string refused = "127.0.0.1:" + std::to_string(sink_.port()) +
                              ": AUTH LOGIN password refused: 535 5.7.8 Authentication credentials invalid\n";
  EXPECT_EQ(err.messages("velmar"), refused + refused);
  EXPECT_EQ(sink_.messages().size(), 0u);
  // The same server takes the message once the credentials are right.
  setenv("UDF_SMTPUSER", kUser, 1);
  setenv("UDF_SMTPPASSWORD", kPassword, 1);
  EXPECT_EQ(send("rcpt@example.test", "s", "b", 0), "OK");
  EXPECT_EQ(sink_.messages().size(), 1u);
}

// A list goes to each address; the server stores one message for all.
TEST_F(VelmarSink, AListReachesEveryAddress) {
  const std::size_t before = sink_.messages().size();
  EXPECT_EQ(send("\"Doe, Jo\" <jo@example.test>, b@example.test", "s", "b", 0), "OK");
  const auto stored = sink_.messages();
  ASSERT_EQ(stored.size(), before + 1);
  EXPECT_EQ(stored.back().rcpt_tos, "jo@example.test\tb@example.test");
  EXPECT_NE(stored.back().data.find("\r\nTo: \"Doe, Jo\" <jo@example.test>, b@example.test\r\n"),
            std::string::npos);
}

// What a reader makes of a stored message: tests/mail/read_message.py.
struct ReaderView {
  std::string subject;
  std::vector<std::string> from, to, cc, reply_to;  // display name TAB address
  std::string type, body, id, defects, error;
  std::vector<std::string> parts;              // "multipart TYPE" or "part TYPE DISP NAME CONTENT"
  std::map<std::string, std::string> headers;  // Importance, X-Priority
  long long date = 0, offset = 0;
};

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char c : bytes) text += {digits[c >> 4], digits[c & 15]};
  return text;
}

std::string unhex(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return bytes;
}

class Reader {
 public:
  ReaderView read(const std::string& data) {
    process_.write_line(hex(data));
    ReaderView view;
    for (auto line = process_.read_line(std::chrono::seconds(30)); line && *line != "end";
         line = process_.read_line(std::chrono::seconds(30))) {
      const std::string key = line->substr(0, line->find(' '));
      const std::string value = line->size() > key.size() ? line->substr(key.size() + 1) : "";
      if (key == "subject") view.subject = unhex(value);
      else if (key == "from") view.from.push_back(unhex(value));
      else if (key == "to") view.to.push_back(unhex(value));
      else if (key == "cc") view.cc.push_back(unhex(value));
      else if (key == "reply-to") view.reply_to.push_back(unhex(value));
      else if (key == "part" || key == "multipart") view.parts.push_back(*line);
      else if (key == "header") view.headers[value.substr(0, value.find(' '))] = value.substr(value.find(' ') + 1);
      else if (key == "type") view.type = value;
      else if (key == "body") view.body = unhex(value);
      else if (key == "date") std::sscanf(value.c_str(), "%lld %lld", &view.date, &view.offset);
      else if (key == "id") view.id = value;
      else if (key == "defects") view.defects = value;
      else view.error += *line;
    }
    return view;
  }

 private:
  quarn::test::PythonProcess process_{"tests/mail/read_message.py", {}};
};

// Any line end becomes CR LF, and the data's last line end follows.
std::string as_stored(const std::string& body) {
  std::string stored;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\r' || body[i] == '\n') {
      stored += "\r\n";
      if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
    } else {
      stored += body[i];
    }
  }
  return stored + "\r\n";
}

// Every line ends in CR LF and holds at most 998 bytes; header lines are
// folded at blanks to 78 where a blank allows.
void expect_sound_lines(const std::string& data) {
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data.substr(data.size() - 2), "\r\n");
  bool in_header = true;
  for (std::size_t start = 0; start < data.size();) {
    const std::size_t end = data.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = data.substr(start, end - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "a bare CR or LF: " << line;
    EXPECT_LE(line.size(), 998u) << line.substr(0, 80);
    if (line.empty()) in_header = false;
    if (in_header && line.size() > 78) {
      const std::size_t text = line.find_first_not_of(" \t", line[0] == ' ' || line[0] == '\t' ? 0 : line.find(": ") + 2);
      EXPECT_EQ(line.find_first_of(" \t", text), std::string::npos) << "not folded: " << line;
    }
    start = end + 2;
  }
}

// Whatever the texts hold, a reader sees them as written: subject, names
// and addresses, content type and body (line ends as CR LF, followed by the
// data's last one), with no defect; every line on the wire within 998 bytes
// and ended by CR LF.
TEST_F(VelmarSink, EveryTextArrivesAsWritten) {
  const std::string html_line = [] {
    std::string html = "<html><body><table>";
    for (int i = 0; html.size() < 4986; ++i)
      html += "<tr><td class=\"n\">" + std::to_string(i) + "</td></tr>";
    return html.substr(0, 4986) + "</body></html>";
  }();
  std::string words, glyphs;
  for (int i = 0; words.size() < 2000; ++i) words += (i % 7 ? " word" : "  Wort") + std::to_string(i);
  const char* const characters[] = {"\xc3\xa4", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "x"};
  for (int i = 0; glyphs.size() < 1996; ++i) glyphs += characters[i % 4];
  std::string list;
  std::vector<std::string> listed;
  for (int i = 0; list.size() < 2000; ++i) {
    const std::string n = std::to_string(i);
    list += (i ? ", " : "") + std::string(i % 2 ? "Mitarbeiter " : "Empf\xc3\xa4nger ") + n +
            " <r" + n + "@example.test>";
    listed.push_back((i % 2 ? "Mitarbeiter " : "Empf\xc3\xa4nger ") + n + "\tr" + n + "@example.test");
  }
  const std::string long_address = std::string(240, 'r') + "@example.test";
  struct Row {
    const char* name;
    std::string subject, body;
    long long is_html;
    std::string from = "DB Jobs <db@example.test>", to = "ops@example.test";
    // As the reader shows them.
    std::vector<std::string> senders = {"DB Jobs\tdb@example.test"},
                             recipients = {"\tops@example.test"};
    std::optional<std::string> read_subject = std::nullopt, read_body = std::nullopt;  // if not as written
  };
  const std::vector<Row> rows = {
      {"ASCII", "Nightly report", "All jobs finished.\r\nRows: 1234\r\n", 0},
      {"accents, names in From and To, blanks at line ends",
       "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln \xe2\x80\x93 caf\xc3\xa9 d\xc3\xa9j\xc3\xa0 vu",
       "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln  \n\t\xc3\x87" "a va tr\xc3\xa8s bien.\t", 0,
       "J\xc3\xb6hn D\xc5\x93 <sender@example.test>",
       "\"Zo\xc3\xab, \xc3\x85ngstr\xc3\xb6m\" <zoe@example.test>, b@example.test, "
       "\xc3\x9cnal (Vertrieb) <u@example.test>",
       {"J\xc3\xb6hn D\xc5\x93\tsender@example.test"},
       {"Zo\xc3\xab, \xc3\x85ngstr\xc3\xb6m\tzoe@example.test", "\tb@example.test",
        "\xc3\x9cnal (Vertrieb)\tu@example.test"}},
      {"CJK", "\xe6\x9c\x88\xe6\xac\xa1\xe3\x83\xac\xe3\x83\x9d\xe3\x83\xbc\xe3\x83\x88",
       "<p>\xe3\x81\x93\xe3\x82\x93\xe3\x81\xab\xe3\x81\xa1\xe3\x81\xaf</p>\n<p>\xe4\xbd\xa0\xe5\xa5\xbd</p>",
       1, "\xe6\x8a\xa5\xe5\x91\x8a <db@example.test>", "ops@example.test",
       {"\xe6\x8a\xa5\xe5\x91\x8a\tdb@example.test"}},
      {"emoji", "Build \xe2\x9c\x85 done \xf0\x9f\x8e\x89\xf0\x9f\x9a\x80",
       "Party \xf0\x9f\x8e\x89\r\nCoder \xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", 1},
      {"5,000-byte HTML line", "Report", html_line, 1},
      {"2,000-byte subject of words", words, "b", 0},
      {"2,000-byte subject without a blank", glyphs, "b", 0},
      {"LF", "s", "one\ntwo\nthree", 0},
      {"CR", "s", "one\rtwo\rthree\r", 0},
      {"CR LF", "s", "one\r\ntwo\r\n\r\n", 0},
      {"leading dots", "s", ".one\r\n..two\n.\n...\r\nend.", 0},
      // The soft line break after 75 letters starts a line with ".".
      {"leading dots, quoted-printable", "s", std::string(75, 'a') + ".soft\n.\xc3\xa9\n..x\n.", 0},
      {"only a dot", "s", ".", 0},
      {"empty subject and body", "", "", 1},
      {"longest 7bit line", "s", std::string(998, 'b') + "\r\n" + std::string(998, 'b'), 0},
      {"2,000-byte To list", "s", "b", 0, "DB Jobs <db@example.test>", list,
       {"DB Jobs\tdb@example.test"}, listed},
      {"253-byte address", "s", "b", 0, "db@example.test", long_address, {"\tdb@example.test"},
       {"\t" + long_address}},
      {"latin1 bytes: read as windows-1252", "Gr\xfc\xdf" "e", "K\xf6ln \x80 5", 0, "J\xf6rg <db@example.test>",
       "ops@example.test", {"J\xc3\xb6rg\tdb@example.test"}, {"\tops@example.test"},
       "Gr\xc3\xbc\xc3\x9f" "e", "K\xc3\xb6ln \xe2\x82\xac 5"},
  };
  // An offset of -03:30 in a POSIX zone, read again at once (glibc reads
  // TZ only once otherwise).
  setenv("TZ", "XST+3:30", 1);
  tzset();
  Reader reader;
  std::set<std::string> ids;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t before = sink_.messages().size();
    Args args;
    args.text(row.to).text(row.from).text(row.subject).text(row.body).integer(row.is_html);
    const auto outcome = Function(plugin_, "velmar").call_string(args);
    EXPECT_EQ(outcome.text, "OK");
    const auto stored = sink_.messages();
    ASSERT_EQ(stored.size(), before + 1);
    const auto& message = stored.back();
    const auto address = [](const std::string& shown) { return shown.substr(shown.find('\t') + 1); };
    EXPECT_EQ(message.mail_from, address(row.senders[0]));
    std::string envelope;
    for (const auto& r : row.recipients) envelope += (envelope.empty() ? "" : "\t") + address(r);
    EXPECT_EQ(message.rcpt_tos, envelope);
    expect_sound_lines(message.data);

    const ReaderView seen = reader.read(message.data);
    EXPECT_EQ(seen.error, "");
    EXPECT_EQ(seen.subject, row.read_subject.value_or(row.subject));
    EXPECT_EQ(seen.from, row.senders);
    EXPECT_EQ(seen.to, row.recipients);
    EXPECT_EQ(seen.type, row.is_html ? "text/html" : "text/plain");
    EXPECT_EQ(seen.body, as_stored(row.read_body.value_or(row.body)));
    EXPECT_EQ(seen.defects, "");
    // Now, in the process's local time.
    EXPECT_LE(std::llabs(seen.date - std::time(nullptr)), 60) << seen.date;
    EXPECT_EQ(seen.offset, -12600);
    EXPECT_EQ(quarn::test::masked_stamp("\r\nMessage-ID: " + seen.id + "\r\n"),
              "\r\nMessage-ID: (id)\r\n");
    EXPECT_EQ(seen.id.substr(33), "@example.test>");
    EXPECT_TRUE(ids.insert(seen.id).second) << "a Message-ID twice: " << seen.id;
  }
  unsetenv("TZ");
  tzset();
}

// The named arguments: the envelope holds To, Cc and Bcc (each address
// once), no byte of the data names a Bcc recipient, the headers and parts
// are what a reader shows, and attachments arrive byte for byte.
TEST_F(VelmarSink, NamedArgumentsArriveAsGiven) {
  using Named = std::vector<std::pair<std::string, std::optional<std::string>>>;
  std::string binary;
  for (int i = 0; i < 512; ++i) binary += static_cast<char>(i % 256);  // NULs, CR, LF, 0xFF
  std::string mebibyte(1 << 20, '\0');
  std::mt19937 random(7);
  for (char& c : mebibyte) c = static_cast<char>(random());
  const std::string long_name = [] {
    std::string name;
    for (int i = 0; i < 12; ++i) name += "Jahresbericht \xc3\xbc" "ber \xe5\xb9\xb4\xe5\xba\xa6 ";
    return name + ".pdf";
  }();
  const auto part = [](const std::string& type, const std::string& name, const std::string& bytes) {
    return "part " + type + (name.empty() ? " - - " : " attachment " + hex(name) + " ") + hex(bytes);
  };
  const std::string html = "<p>Gr\xc3\xbc\xc3\x9f" "e</p>", to = "ops@example.test";
  struct Row {
    const char* name;
    Named named;
    long long is_html;
    std::string envelope;                  // RCPT TOs joined by TAB
    std::vector<std::string> cc, reply_to;  // as the reader shows them
    std::map<std::string, std::string> headers;
    std::string type;
    std::vector<std::string> parts;  // empty: one part, the body
    std::vector<std::string> hidden = {};  // never in the data
  };
  const std::vector<Row> rows = {
      {"cc", {{"cc", "Sales Team <sales@example.test>, x@example.test"}}, 1,
       to + "\tsales@example.test\tx@example.test", {"Sales Team\tsales@example.test", "\tx@example.test"},
       {}, {}, "text/html", {}},
      {"bcc", {{"bcc", "Audit Office <audit@example.test>, hidden@example.test"}}, 1,
       to + "\taudit@example.test\thidden@example.test", {}, {}, {}, "text/html", {},
       {"audit@", "hidden@", "Audit Office", "Bcc"}},
      {"reply_to", {{"REPLY_TO", "Help Desk <help@example.test>"}}, 1, to, {}, {"Help Desk\thelp@example.test"},
       {}, "text/html", {}},
      {"importance high", {{"importance", "high"}}, 0, to, {}, {},
       {{"Importance", "high"}, {"X-Priority", "1"}}, "text/plain", {}},
      {"importance LOW", {{"importance", "LOW"}}, 1, to, {}, {},
       {{"Importance", "low"}, {"X-Priority", "5"}}, "text/html", {}},
      {"text with an HTML body: text first", {{"text", "Gr\xc3\xbc\xc3\x9f" "e\nline two"}}, 1, to, {}, {}, {},
       "multipart/alternative",
       {part("text/plain", "", "Gr\xc3\xbc\xc3\x9f" "e\r\nline two"), part("text/html", "", html)}},
      {"text with a plain body: left out", {{"text", "ignored"}}, 0, to, {}, {}, {}, "text/plain", {},
       {"ignored"}},
      {"binary attachment, default name", {{"attachment", binary}}, 1, to, {}, {}, {}, "multipart/mixed",
       {part("text/html", "", html), part("application/octet-stream", "attachment.bin", binary)}},
      {"1 MiB attachment", {{"attachment", mebibyte}, {"attachment_name", "big.ZIP"}}, 1, to, {}, {}, {},
       "multipart/mixed",
       {part("text/html", "", html), part("application/zip", "big.ZIP", mebibyte)}},
      {"UTF-8, quoted and long names, empty attachment",
       {{"attachment", "a;b\r\n"}, {"attachment_name", "M\xc3\xa4rz \xe2\x80\x93 Bericht.csv"},
        {"attachment", "x"}, {"attachment_name", "say \"hi\".txt"},
        {"attachment", ""}, {"attachment_name", long_name}},
       1, to, {}, {}, {}, "multipart/mixed",
       {part("text/html", "", html),
        part("text/csv", "M\xc3\xa4rz \xe2\x80\x93 Bericht.csv", "a;b\r\n"),
        part("text/plain", "say \"hi\".txt", "x"), part("application/pdf", long_name, "")}},
      {"latin1 text alternative and attachment name",
       {{"text", "Gr\xfc\xdf" "e"}, {"attachment", "x"}, {"attachment_name", "M\xe4rz.csv"}}, 1, to, {},
       {}, {}, "multipart/mixed",
       {"multipart multipart/alternative", part("text/plain", "", "Gr\xc3\xbc\xc3\x9f" "e"),
        part("text/html", "", html), part("text/csv", "M\xc3\xa4rz.csv", "x")}},
      {"NULL and empty values: left out",
       {{"cc", ""}, {"bcc", std::nullopt}, {"reply_to", ""}, {"importance", ""},
        {"attachment", std::nullopt}, {"attachment_name", "gone.csv"}, {"text", std::nullopt}},
       1, to, {}, {}, {}, "text/html", {}, {"gone.csv"}},
      {"an address twice: one RCPT TO",
       {{"cc", "Ops <ops@Example.TEST>, c@example.test"}, {"bcc", "c@example.test, bee@example.test"}}, 1,
       to + "\tc@example.test\tbee@example.test", {"Ops\tops@Example.TEST", "\tc@example.test"}, {}, {},
       "text/html", {}, {"bee@"}},
      {"all together",
       {{"importance", "Normal"}, {"attachment", "id,total\n1,9.50\n"}, {"cc", "c@example.test"},
        {"text", "plain"}, {"attachment_name", "orders.csv"}, {"bcc", "Boss <boss@example.test>"},
        {"attachment", binary}, {"attachment_name", "p.PNG"}, {"reply_to", "r@example.test"}},
       1, to + "\tc@example.test\tboss@example.test", {"\tc@example.test"}, {"\tr@example.test"},
       {{"Importance", "normal"}, {"X-Priority", "3"}}, "multipart/mixed",
       {"multipart multipart/alternative", part("text/plain", "", "plain"),
        part("text/html", "", html), part("text/csv", "orders.csv", "id,total\n1,9.50\n"),
        part("image/png", "p.PNG", binary)},
       {"boss@", "Boss"}},
  };
  Reader reader;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::size_t before = sink_.messages().size();
    Args args;
    args.text(to).text("db@example.test").text("Report").text(html).integer(row.is_html);
    for (const auto& [name, value] : row.named) (value ? args.text(*value) : args.null_text()).as(name);
    EXPECT_EQ(Function(plugin_, "velmar").call_string(args).text, "OK");
    const auto stored = sink_.messages();
    ASSERT_EQ(stored.size(), before + 1);
    const auto& message = stored.back();
    EXPECT_EQ(message.rcpt_tos, row.envelope);
    for (const std::string& hidden : row.hidden)
      EXPECT_EQ(message.data.find(hidden), std::string::npos) << hidden;
    expect_sound_lines(message.data);

    const ReaderView seen = reader.read(message.data);
    EXPECT_EQ(seen.error, "");
    EXPECT_EQ(seen.defects, "");
    EXPECT_EQ(seen.to, std::vector<std::string>{"\t" + to});
    EXPECT_EQ(seen.cc, row.cc);
    EXPECT_EQ(seen.reply_to, row.reply_to);
    EXPECT_EQ(seen.headers, row.headers);
    EXPECT_EQ(seen.type, row.type);
    if (row.parts.empty()) {
      EXPECT_EQ(seen.body, as_stored(html));
      EXPECT_TRUE(seen.parts.empty());
      continue;
    }
    std::vector<std::string> expected = row.parts;
    if (row.type == "multipart/mixed" || row.type == "multipart/alternative")
      expected.insert(expected.begin(), "multipart " + row.type);
    EXPECT_EQ(seen.parts, expected);
  }
}

}  // namespace
