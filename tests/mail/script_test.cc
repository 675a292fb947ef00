// The pieces of the mail plug-in without a network: base64, dot-stuffing,
// the command script, argument checks, settings and refusal order.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "mail_call.h"
#include "smtp_session.h"

namespace {

using namespace quarn::mail;

// An independent decoder: every encoding must decode to its input.
std::string base64_decode(const std::string& text) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const auto value = alphabet.find(c);
    if (value == std::string::npos) ADD_FAILURE() << "not base64: " << text;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

TEST(Base64, KnownVectorsArePadded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},        {"a", "YQ=="},       {"ab", "YWI="},         {"abc", "YWJj"},
      {"abcd", "YWJjZA=="}, {"foobar", "Zm9vYmFy"}, {"fooba", "Zm9vYmE="},
      {std::string("\0", 1), "AA=="}, {"\xff\xff", "//8="}, {"\xfb\xef\xbe", "++++"},
  };
  for (const auto& [plain, encoded] : cases) EXPECT_EQ(base64_encode(plain), encoded) << plain;
}

TEST(Base64, EveryByteValueAtEveryLengthRoundTrips) {
  for (int value = 0; value < 256; ++value) {
    for (std::size_t length = 1; length <= 4; ++length) {
      const std::string plain(length, static_cast<char>(value));
      const std::string encoded = base64_encode(plain);
      EXPECT_EQ(encoded.size() % 4, 0u);
      EXPECT_EQ(encoded.size(), (length + 2) / 3 * 4);
      EXPECT_EQ(base64_decode(encoded), plain) << value << " x" << length;
    }
  }
  std::string all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  const std::string encoded = base64_encode(all);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(base64_decode(encoded), all);
  EXPECT_EQ(encoded.substr(encoded.size() - 4), "/w==");
}

TEST(DotStuff, LinesBeginningWithADotGetOneMore) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {".", ".."},
      {".\r\n.", "..\r\n.."},
      {"a.b\r\n.c\r\n", "a.b\r\n..c\r\n"},
      {"..x", "...x"},
      {"x\n.y\n.", "x\n..y\n.."},           // bare LF starts a line too
      {"x\r.y", "x\r.y"},                   // a bare CR does not
      {"\r\n.\r\nQUIT\r\n", "\r\n..\r\nQUIT\r\n"},
      {"no dots here", "no dots here"},
  };
  for (const auto& [text, stuffed] : cases) EXPECT_EQ(dot_stuff(text), stuffed) << text;
}

MessageParts parts(const std::string& body, bool is_html = true) {
  return {"mail.example.test", "ab", "secret", "from@example.test", "to@example.test",
          "Hello", body, is_html};
}

TEST(Script, FourteenLinesInOrder) {
  const std::vector<std::string> expected = {
      "EHLO mail.example.test",
      "AUTH LOGIN",
      "YWI=",
      "c2VjcmV0",
      "MAIL FROM:<from@example.test>",
      "RCPT TO:<to@example.test>",
      "DATA",
      "SUBJECT:Hello",
      "From:from@example.test",
      "To:to@example.test",
      "Content-Type:text/html; charset=utf-8",
      "",
      "Body text",
      ".\r\n",
  };
  EXPECT_EQ(build_script(parts("Body text")), expected);
  EXPECT_EQ(build_script(parts("Body text", false))[10], "Content-Type:text/plain; charset=utf-8");
}

TEST(Script, BodyIsDotStuffedAndTheEndLineIsNot) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {".", ".."},
      {".\r\n.", "..\r\n.."},
      {"line\n.bare\n", "line\n..bare\n"},
      {"ends in CRLF\r\n", "ends in CRLF\r\n"},  // gives an empty line before the end
      {"", ""},
  };
  for (const auto& [body, sent] : cases) {
    const auto script = build_script(parts(body));
    ASSERT_EQ(script.size(), 14u);
    EXPECT_EQ(script[12], sent) << body;
    EXPECT_EQ(script[13], ".\r\n");
  }
}

TEST(Script, HeaderLinesAreStuffedAfterALineFeed) {
  MessageParts p = parts("b");
  p.subject = "x\n.y";
  p.from = "";
  const auto script = build_script(p);
  EXPECT_EQ(script[7], "SUBJECT:x\n..y");
  EXPECT_EQ(script[4], "MAIL FROM:<>");
  EXPECT_EQ(script[8], "From:");
}

TEST(Script, EmptyCredentialsGiveEmptyLines) {
  MessageParts p = parts("b");
  p.user = "";
  p.password = "";
  const auto script = build_script(p);
  EXPECT_EQ(script[2], "");
  EXPECT_EQ(script[3], "");
}

// --- init checks -----------------------------------------------------------

struct InitCase {
  std::vector<Item_result> types;
  const char* refusal;  // nullptr: accepted
};

TEST(CheckArguments, CountThenTypes) {
  const std::vector<InitCase> cases = {
      {{STRING_RESULT, STRING_RESULT, STRING_RESULT}, kArgCountMessage},
      {{}, kArgCountMessage},
      {std::vector<Item_result>(6, STRING_RESULT), kArgCountMessage},
      {{STRING_RESULT, INT_RESULT, STRING_RESULT, STRING_RESULT}, kArgTypeMessage},
      {{STRING_RESULT, STRING_RESULT, STRING_RESULT, REAL_RESULT}, kArgTypeMessage},
      {{DECIMAL_RESULT, STRING_RESULT, STRING_RESULT, STRING_RESULT, INT_RESULT}, kArgTypeMessage},
      {{STRING_RESULT, STRING_RESULT, STRING_RESULT, STRING_RESULT}, nullptr},
      {{STRING_RESULT, STRING_RESULT, STRING_RESULT, STRING_RESULT, REAL_RESULT}, nullptr},
      {{STRING_RESULT, STRING_RESULT, STRING_RESULT, STRING_RESULT, STRING_RESULT}, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<Item_result> types = c.types;
    std::vector<char> maybe_null(types.size(), 7);
    UDF_ARGS args{};
    args.arg_count = static_cast<unsigned>(types.size());
    args.arg_type = types.data();
    args.maybe_null = maybe_null.data();
    const char* refused = check_arguments(args);
    if (c.refusal != nullptr) {
      EXPECT_STREQ(refused, c.refusal) << types.size();
      EXPECT_EQ(types, c.types) << "a refused call changes nothing";
      continue;
    }
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(std::vector<char>(maybe_null.begin(), maybe_null.begin() + 4),
              (std::vector<char>{0, 0, 1, 1}));
    if (types.size() == 5) {
      EXPECT_EQ(types[4], INT_RESULT);
      EXPECT_EQ(maybe_null[4], 1);
    }
  }
}

// --- settings --------------------------------------------------------------

EnvReader env_of(std::map<std::string, std::string> values) {
  return [values](const std::string& name) -> std::optional<std::string> {
    const auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  };
}

TEST(SmtpConfig, FirstMissingOneDecidesTheMessage) {
  const std::map<std::string, std::string> all = {{"UDF_SMTPHOST", "h"},
                                                  {"UDF_SMTPUSER", "u"},
                                                  {"UDF_SMTPPASSWORD", "p"},
                                                  {"UDF_SMTPPORT", "25"}};
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"UDF_SMTPHOST"}, kNoHost},
      {{"UDF_SMTPHOST", "UDF_SMTPPORT", "UDF_SMTPUSER"}, kNoHost},
      {{"UDF_SMTPUSER", "UDF_SMTPPASSWORD"}, kNoUser},
      {{"UDF_SMTPPASSWORD", "UDF_SMTPPORT"}, kNoPassword},
      {{"UDF_SMTPPORT"}, kNoPort},
  };
  for (const auto& [removed, message] : cases) {
    auto values = all;
    for (const auto& name : removed) values.erase(name);
    const char* missing = nullptr;
    EXPECT_FALSE(read_smtp_config(env_of(values), &missing));
    EXPECT_STREQ(missing, message);
  }
  const char* missing = nullptr;
  const auto settings = read_smtp_config(env_of(all), &missing);
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->host, "h");
  EXPECT_EQ(settings->user, "u");
  EXPECT_EQ(settings->password, "p");
  EXPECT_EQ(settings->port, 25u);
  EXPECT_EQ(missing, nullptr);
}

TEST(SmtpConfig, EmptyValuesCountAsPresent) {
  const char* missing = nullptr;
  const auto settings = read_smtp_config(env_of({{"UDF_SMTPHOST", ""},
                                              {"UDF_SMTPUSER", ""},
                                              {"UDF_SMTPPASSWORD", ""},
                                              {"UDF_SMTPPORT", ""}}),
                                      &missing);
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->port, 0u);
}

TEST(SmtpConfig, PortIsReadLikeAtoi) {
  const std::vector<std::pair<std::string, std::uint32_t>> cases = {
      {"25", 25},       {"  587", 587},     {"+2525", 2525},  {"25abc", 25},
      {"abc", 0},       {"", 0},            {"-1", 4294967295u}, {"65536", 65536},
      {"4294967297", 1},  // wraps through int as glibc's atoi does
  };
  for (const auto& [text, port] : cases) EXPECT_EQ(parse_port(text), port) << text;
}

// --- refusal order -----------------------------------------------------------

TEST(Refusal, ToBeforeFromBeforeLineBreaks) {
  using O = std::optional<std::string>;
  struct Case {
    O to;
    O from;
    std::string subject;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, "", kNoTo},
      {O(""), std::nullopt, "", kNoTo},
      {O("a@x\r\n"), std::nullopt, "", kNoFrom},
      {O("a@x"), std::nullopt, "s\n", kNoFrom},
      {O("a@x"), O(""), "", nullptr},  // an empty From is the null sender
      {O("a@x\r\nRCPT TO:<b@x>"), O("f@x\n"), "s\r", kToLineBreak},
      {O("a@x\n"), O("f@x"), "", kToLineBreak},
      {O("a@x\r"), O("f@x"), "", kToLineBreak},
      {O("a@x"), O("f@x\r\n"), "s\n", kFromLineBreak},
      {O("a@x"), O("f@x"), "one\r\nBcc: b@x", kSubjectLineBreak},
      {O("a@x"), O("f@x"), "bare\r", kSubjectLineBreak},
      {O("a@x, b@x"), O("f@x"), "tab\tand . dots", nullptr},
  };
  for (const auto& c : cases) {
    const MailArgs mail{c.to, c.from, c.subject, "body\r\n.\r\n", true};
    EXPECT_STREQ(refusal(mail), c.expected) << c.to.value_or("NULL") << " / "
                                            << c.from.value_or("NULL");
  }
}

// Over-long lines are refused before anything is sent: a server refuses the
// whole message, and velmar reads no reply that would tell.
TEST(Refusal, LinesServersWouldRefuse) {
  const std::string address = std::string(kMaxAddressBytes - 4, 'a') + "@x.y";
  const std::string line(kMaxLineBytes, 'b');
  struct Case {
    const char* name;
    std::string to;
    std::string from;
    std::string subject;
    std::string body;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"longest To and From", address, address, "s", "b", nullptr},
      {"To one byte over", address + "z", "f@x", "s", "b", kToTooLong},
      {"From one byte over", "t@x", address + "z", "s", "b", kFromTooLong},
      {"To judged before From", address + "z", address + "z", "s", "b", kToTooLong},
      {"a line break before a length", address + "\n", "f@x", "s", "b", kToLineBreak},
      {"longest subject", "t@x", "f@x", std::string(kMaxSubjectBytes, 's'), "b", nullptr},
      {"subject one byte over", "t@x", "f@x", std::string(kMaxSubjectBytes + 1, 's'), "b",
       kSubjectTooLong},
      {"longest body line", "t@x", "f@x", "s", line, nullptr},
      {"body line one over", "t@x", "f@x", "s", line + "b", kBodyLineTooLong},
      {"CR LF is not counted", "t@x", "f@x", "s", line + "\r\n" + line + "\r\n", nullptr},
      {"bare LF ends a line", "t@x", "f@x", "s", line + "\n" + line, nullptr},
      {"a lone CR inside counts", "t@x", "f@x", "s", "\r" + line + "\n", kBodyLineTooLong},
      {"long line in the middle", "t@x", "f@x", "s", "a\r\n" + line + "b\r\nc", kBodyLineTooLong},
      {"long last line", "t@x", "f@x", "s", "a\n" + line + "b", kBodyLineTooLong},
      {"the stuffing dot is not counted", "t@x", "f@x", "s", "." + line.substr(1), nullptr},
      {"many short lines", "t@x", "f@x", "s", std::string(4000, '\n'), nullptr},
  };
  for (const auto& c : cases) {
    const MailArgs mail{c.to, c.from, c.subject, c.body, true};
    EXPECT_STREQ(refusal(mail), c.expected) << c.name;
  }
}

TEST(Refusal, RunCallChecksSettingsBeforeAddresses) {
  // No To address and no host: the settings message wins.
  std::vector<Item_result> types(4, STRING_RESULT);
  std::vector<char*> values(4, nullptr);
  std::vector<unsigned long> lengths(4, 0);
  std::vector<char> maybe_null(4, 0);
  UDF_ARGS args{};
  args.arg_count = 4;
  args.arg_type = types.data();
  args.args = values.data();
  args.lengths = lengths.data();
  args.maybe_null = maybe_null.data();
  const Outcome outcome = run_call(args, env_of({}));
  EXPECT_STREQ(outcome.text, kNoHost);
  EXPECT_EQ(outcome.log_line, std::optional<std::string>(kNoHost));
  EXPECT_FALSE(outcome.is_null);
  EXPECT_FALSE(outcome.error);
}

TEST(SendOutcome, ARecordedFailureIsNeverOk) {
  const Outcome sent = send_outcome(false, "");
  EXPECT_STREQ(sent.text, kSent);
  EXPECT_FALSE(sent.log_line);
  for (const std::string text : {"Connection refused", ""}) {
    const Outcome failed = send_outcome(true, text);
    EXPECT_STREQ(failed.text, kSendError) << text;
    EXPECT_EQ(failed.log_line, std::optional<std::string>(text));  // "" logs an empty line
    EXPECT_FALSE(failed.is_null);
    EXPECT_FALSE(failed.error);
  }
}

}  // namespace
