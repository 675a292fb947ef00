// The pieces of the mail plug-in without a network: base64, dot-stuffing,
// the message data, addresses, replies, argument checks, settings and
// refusal order.
#include <gtest/gtest.h>

#include <malloc.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "mail_call.h"
#include "message.h"
#include "replaced_allocator.h"
#include "smtp_reply.h"
#include "udf_call.h"

namespace {
// What the program holds through operator new, and its peak since a test
// set it back.
std::atomic<std::size_t> held_bytes{0};
std::atomic<std::size_t> peak_bytes{0};
}  // namespace

bool replaced_allocator::fail_now() { return false; }
void replaced_allocator::count(long long bytes) {
  const std::size_t held = held_bytes += static_cast<std::size_t>(bytes);
  if (bytes < 0) return;
  for (std::size_t peak = peak_bytes; held > peak && !peak_bytes.compare_exchange_weak(peak, held);) {
  }
}

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
  for (const auto& [text, stuffed] : cases) {
    std::string out;
    append_dot_stuffed(out, text);
    EXPECT_EQ(out, stuffed) << text;
  }
}

MessageText text(std::string_view body, bool is_html = true) {
  return {"from@example.test", "to@example.test", "Hello", body, is_html};
}

const MessageStamp kStamp{"Thu, 01 Jan 2026 00:00:00 +0000", "<0123@example.test>"};

TEST(MessageData, HeaderLinesBodyAndTheEndLineAlone) {
  EXPECT_EQ(message_data(text("Body text"), kStamp),
            "Subject: Hello\r\nFrom: from@example.test\r\nTo: to@example.test\r\n"
            "Date: Thu, 01 Jan 2026 00:00:00 +0000\r\nMessage-ID: <0123@example.test>\r\n"
            "MIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n\r\nBody text\r\n.\r\n");
  const std::string plain = message_data(text("b", false), kStamp);
  EXPECT_NE(plain.find("\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"), std::string::npos);
  // Short ASCII texts go as written; a line break in the subject is text
  // (encoded), never a line of the data.
  MessageText named = text("b");
  named.to = "\"Doe, Jo\" <jo@x.test>, b@x.test";
  named.subject = "x\n.y";
  EXPECT_NE(message_data(named, kStamp).find("Subject: =?UTF-8?B?eAoueQ==?=\r\nFrom: from@example.test\r\n"
                                             "To: \"Doe, Jo\" <jo@x.test>, b@x.test\r\n"),
            std::string::npos);
  // Every kind of part at once: quoted-printable and 7-bit text, base64
  // lines, an empty attachment, dots at line starts.
  std::string csv;
  for (int i = 0; i < 60; ++i) csv += static_cast<char>(i * 7);
  MessageText mixed("Db <db@x.test>", "t@x.test", "Report", ".5 \xe2\x82\xac\n.", true);
  mixed.cc = "c@x.test";
  mixed.reply_to = "r@x.test";
  mixed.importance = Importance::kHigh;
  mixed.text = "total: .5\r\n";
  mixed.attachments = {{"r.csv", csv}, {"M\xc3\xa4rz.pdf", ""}};
  EXPECT_EQ(message_data(mixed, MessageStamp("date", "<id@x.test>", "ab")),
            "Subject: Report\r\nFrom: Db <db@x.test>\r\nTo: t@x.test\r\nCc: c@x.test\r\n"
            "Reply-To: r@x.test\r\nDate: date\r\nMessage-ID: <id@x.test>\r\nImportance: high\r\n"
            "X-Priority: 1\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n"
            " boundary=\"=_velmar_ab_m0\"\r\n\r\n--=_velmar_ab_m0\r\n"
            "Content-Type: multipart/alternative;\r\n boundary=\"=_velmar_ab_a0\"\r\n\r\n"
            "--=_velmar_ab_a0\r\nContent-Type: text/plain; charset=utf-8\r\n\r\ntotal: .5\r\n\r\n"
            "--=_velmar_ab_a0\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n..5 =E2=82=AC\r\n..\r\n"
            "--=_velmar_ab_a0--\r\n--=_velmar_ab_m0\r\nContent-Type: text/csv\r\n"
            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"r.csv\"\r\n"
            "\r\nAAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tng5+71/AMKERgfJi00O0JJUFdeZWxzeoGI\r\n"
            "j5ad\r\n--=_velmar_ab_m0\r\nContent-Type: application/pdf\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename*=UTF-8''M%C3%A4rz.pdf\r\n\r\n\r\n"
            "--=_velmar_ab_m0--\r\n.\r\n");
}

TEST(MessageData, BodyIsDotStuffedAndTheEndLineIsNot) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {".", ".."},
      {".\r\n.", "..\r\n.."},
      {"line\n.bare\r", "line\r\n..bare\r\n"},
      {"ends in CRLF\r\n", "ends in CRLF\r\n"},  // gives an empty line before the end
      {"", ""},
  };
  for (const auto& [body, sent] : cases) {
    const std::string data = message_data(text(body), kStamp);
    EXPECT_EQ(data.substr(data.find("\r\n\r\n") + 4), sent + "\r\n.\r\n") << body;
  }
}

// The arguments are read where the server keeps them and the data is
// written once, into a string of its size: a copy of an argument, a whole
// intermediate text or a string that grows while it is written would each
// add at least half of the data to the call's peak.
TEST(MessageData, ACallHoldsItsMessageOnce) {
  std::string bytes(3u << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4099);
  quarn::test::Args args;
  args.text("t@x.test").text("f@x.test").text("s").text("\xc3\xa4 body\n.").integer(1)
      .text(std::move(bytes)).as("attachment").text("a.bin").as("attachment_name");
  const std::size_t before = held_bytes;
  peak_bytes = before;
  const std::optional<OutgoingMessage> message = call_message(mail_args(*args.get()), kStamp);
  const std::size_t peak = peak_bytes - before;
  ASSERT_TRUE(message);
  EXPECT_GT(message->data.size(), 4u << 20);
  EXPECT_LE(peak, message->data.size() * 3 / 2) << message->data.size();
}

// Readers join the sections and decode them; here the forms and lengths.
TEST(MessageData, AttachmentNamesQuotedOrEncoded) {
  const std::string cd = "Content-Disposition: attachment;";
  EXPECT_EQ(disposition_field("orders.csv"), cd + " filename=\"orders.csv\"\r\n");
  EXPECT_EQ(disposition_field("say \"hi\".txt"), cd + " filename*=UTF-8''say%20%22hi%22.txt\r\n");
  EXPECT_EQ(disposition_field("M\xc3\xa4rz.csv"), cd + " filename*=UTF-8''M%C3%A4rz.csv\r\n");
  // Not UTF-8: windows-1252 (MariaDB's latin1).
  EXPECT_EQ(disposition_field("M\xe4rz.csv"), cd + " filename*=windows-1252''M%E4rz.csv\r\n");
  // Long names: sections on lines of their own, cut between characters
  // (readers decode each alone); in windows-1252 every byte is one.
  std::string umlauts, expected_umlauts, stray, expected_stray;
  for (int i = 0; i < 40; ++i) umlauts += "\xc3\xa4", expected_umlauts += "%C3%A4";
  for (int i = 0; i < 40; ++i) stray += "\x80", expected_stray += "%80";
  for (const auto& [name, escaped, starts, charset] :
       {std::tuple{umlauts, expected_umlauts, "%C3", "UTF-8''"},
        std::tuple{stray, expected_stray, "%80", "windows-1252''"}}) {
    const std::string field = disposition_field(name);
    EXPECT_EQ(field.rfind(cd + "\r\n filename*0*=" + charset + escaped.substr(0, 12), 0), 0u) << field;
    std::istringstream lines(field);
    std::string decoded;
    for (std::string line; std::getline(lines, line);) {
      EXPECT_LE(line.size(), 79u) << line;  // 78 and the CR
      if (line.rfind(" filename*", 0) != 0) continue;
      std::string section = line.substr(line.find("*=") + 2);
      if (section.rfind(charset, 0) == 0) section = section.substr(std::strlen(charset));
      section = section.substr(0, section.find_first_of(";\r"));
      EXPECT_EQ(section.rfind(starts, 0), 0u) << "a section starts a character: " << line;
      const auto percent = section.rfind('%');
      EXPECT_TRUE(percent == std::string::npos || percent + 3 <= section.size()) << line;
      decoded += section;
    }
    EXPECT_EQ(decoded, escaped);
  }
}

// A 7-bit body may hold the first boundary tried: the next one is taken.
TEST(MessageData, BoundariesOccurInNoPart) {
  MessageText mail("f@x.test", "t@x.test", "s", "--=_velmar_ab_a0\r\n--=_velmar_ab_m0--", true);
  mail.text = "plain";
  mail.attachments.push_back({"a.bin", std::string_view("\0\1", 2)});
  const std::string data = message_data(mail, MessageStamp("date", "<id@x.test>", "ab"));
  EXPECT_NE(data.find("Content-Type: multipart/mixed;\r\n boundary=\"=_velmar_ab_m1\"\r\n\r\n"
                      "--=_velmar_ab_m1\r\nContent-Type: multipart/alternative;\r\n"
                      " boundary=\"=_velmar_ab_a1\"\r\n\r\n--=_velmar_ab_a1\r\n"),
            std::string::npos) << data;
  EXPECT_NE(data.find("\r\n\r\n--=_velmar_ab_a0\r\n--=_velmar_ab_m0--\r\n--=_velmar_ab_a1--\r\n"
                      "--=_velmar_ab_m1\r\n"),
            std::string::npos) << data;
  EXPECT_NE(data.find("\r\n\r\nAAE=\r\n--=_velmar_ab_m1--\r\n.\r\n"), std::string::npos) << data;
}

// An independent check: each word decodes alone to whole characters, the
// words together to the text. Text that is not strictly UTF-8 is labelled
// windows-1252.
TEST(EncodedWords, ShortWordsOfWholeCharacters) {
  std::string mixed;
  const char* const characters[] = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e", " "};
  for (int i = 0; mixed.size() < 2000; ++i) mixed += characters[i % 5] + std::string(i % 3, 'x');
  const std::vector<std::pair<std::string, std::string>> texts = {
      {mixed, "UTF-8"}, {"\xf4\x8f\xbf\xbf U+10FFFF, \xee\x80\x80 U+E000", "UTF-8"},
      {"Gr\xfc\xdf" "e aus K\xf6ln, " + std::string(100, '\xe4'), "windows-1252"},
      {"\xff\xe2\x82 truncated, stray \x80\xc3", "windows-1252"},
      {"overlong \xc0\xaf, \xe0\x80\xaf", "windows-1252"}, {"overlong \xf0\x80\x80\xaf", "windows-1252"},
      {"surrogate \xed\xa0\x80", "windows-1252"}, {"above U+10FFFF \xf4\x90\x80\x80", "windows-1252"}};
  for (const auto& [text, charset] : texts) {
    const std::string start = "=?" + charset + "?B?";
    std::string decoded;
    std::istringstream words(encoded_words(text));
    for (std::string word; words >> word;) {
      EXPECT_LE(std::string("Subject: ").size() + word.size(), 78u) << word;
      ASSERT_EQ(word.rfind(start, 0), 0u) << word;
      ASSERT_EQ(word.substr(word.size() - 2), "?=") << word;
      decoded += base64_decode(word.substr(start.size(), word.size() - start.size() - 2));
      // A word never ends inside a sequence that the text completes.
      if (decoded.size() < text.size() && text == mixed) {
        EXPECT_NE(static_cast<unsigned char>(text[decoded.size()]) & 0xC0, 0x80) << decoded.size();
      }
    }
    EXPECT_EQ(decoded, text);
  }
}

std::string qp_decode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
    } else if (text.compare(i + 1, 2, "\r\n") == 0) {
      i += 2;
    } else {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

TEST(QuotedPrintable, SoftBreaksKeepLinesWithin76) {
  std::string bytes;
  for (int value = 0; value < 256; ++value)
    if (value != '\r' && value != '\n') bytes += static_cast<char>(value);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string(76, 'a'), std::string(76, 'a')},  // the line ends: no soft break
      {std::string(77, 'a'), std::string(75, 'a') + "=\r\naa"},
      {std::string(73, 'a') + "==", std::string(73, 'a') + "=\r\n=3D=3D"},  // no split triplet
      {"a \r\nb\t", "a=20\r\nb=09"},                          // blanks before a line end
      {std::string(74, 'a') + " bc", std::string(74, 'a') + " =\r\nbc"},  // blank before a soft break
      {bytes, ""},
  };
  for (const auto& [text, expected] : cases) {
    const std::string encoded = quoted_printable(text);
    if (!expected.empty()) {
      EXPECT_EQ(encoded, expected);
    }
    EXPECT_EQ(qp_decode(encoded), text);
    std::istringstream lines(encoded);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      EXPECT_LE(line.size(), 76u) << line;
      EXPECT_TRUE(line.empty() || (line.back() != ' ' && line.back() != '\t')) << line;
      EXPECT_EQ(line.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    }
  }
}

// The Date and the usual domain are checked where a reader parses the
// message; here the domains a Message-ID cannot take.
TEST(Stamp, MessageIdDomain) {
  std::array<unsigned char, 16> random{};
  random[0] = 0xab;
  const std::string digits = "ab" + std::string(30, '0');
  const std::vector<std::pair<std::string, std::string>> domains = {
      {"DB Jobs <db@Mail.Example-1.test>", "Mail.Example-1.test"},
      {"", kMessageIdDomain},
      {"x@[192.0.2.1]", kMessageIdDomain},
      {"x@under_score.test", kMessageIdDomain},
  };
  for (const auto& [from, domain] : domains)
    EXPECT_EQ(message_id(from, random), "<" + digits + "@" + domain + ">") << from;
}

TEST(Addresses, EnvelopeAddressesOfToAndFromTexts) {
  using P = AddressProblem;
  struct Case {
    std::string text;
    std::vector<std::string> recipients;
    P problem;
  };
  const std::vector<Case> cases = {
      {"a@x.test", {"a@x.test"}, P::kNone},
      {"a@x.test, b@y.test,c@z.test", {"a@x.test", "b@y.test", "c@z.test"}, P::kNone},
      {"Ann <a@x.test>", {"a@x.test"}, P::kNone},
      {"\"Doe, John\" <j@x.test>, b@y.test", {"j@x.test", "b@y.test"}, P::kNone},
      {"\"a \\\" , b\" <q@x.test>", {"q@x.test"}, P::kNone},  // escaped quote inside
      {"j@x.test (Doe, John)", {"j@x.test"}, P::kNone},          // a comment is dropped
      {"<\"odd,local\"@x.test>", {"\"odd,local\"@x.test"}, P::kNone},
      {"  a@x.test  ,\tb@x.test", {"a@x.test", "b@x.test"}, P::kNone},
      {"a@x.test,", {"a@x.test", ""}, P::kEmptyPart},
      {"a@x.test,, b@x.test", {"a@x.test", "", "b@x.test"}, P::kEmptyPart},
      {" ", {""}, P::kEmptyPart},
      {"Ann <>", {""}, P::kEmptyPart},
      {"Ann <a@x.test", {"a@x.test"}, P::kUnclosed},
      {"\"Ann <a@x.test>", {"\"Ann <a@x.test>"}, P::kUnclosed},
      {"a@x.test (note", {"a@x.test"}, P::kUnclosed},
  };
  for (const auto& c : cases) {
    const Addresses got = recipient_addresses(c.text);
    EXPECT_EQ(got.addresses, c.recipients) << c.text;
    EXPECT_EQ(got.problem, c.problem) << c.text;
  }
  // The sender is one address: commas do not split it, and empty is the
  // null sender.
  EXPECT_EQ(sender_address("\"Db, Jobs\" <db@x.test>").addresses,
            std::vector<std::string>{"db@x.test"});
  EXPECT_EQ(sender_address("").addresses, std::vector<std::string>{""});
  EXPECT_EQ(sender_address("<>").problem, AddressProblem::kNone);
  EXPECT_EQ(sender_address("Db <db@x.test").problem, AddressProblem::kUnclosed);
  const OutgoingMessage message = outgoing_message(
      {"Db <db@x.test>", "a@x.test, Bo <b@x.test>", "s", "b", false}, kStamp);
  EXPECT_EQ(message.sender, "db@x.test");
  EXPECT_EQ(message.recipients, (std::vector<std::string>{"a@x.test", "b@x.test"}));
}

// --- the server's replies ----------------------------------------------------

TEST(Replies, ParsedLineByLine) {
  struct Case {
    std::string input;
    ParseStatus status;
    int code;
    std::size_t consumed;
    std::string shown;  // reply_text: the bytes as sent; the log escapes them
  };
  const std::vector<Case> cases = {
      {"220 ready\r\n", ParseStatus::kComplete, 220, 11, "220 ready"},
      {"250-one\r\n250-two\r\n250 three\r\nnext", ParseStatus::kComplete, 250, 29,
       "250 one / two / three"},
      {"250\r\n", ParseStatus::kComplete, 250, 5, "250"},
      // Only CR LF ends a line: what follows a bare LF is no reply of its own.
      {"550 bare\n250 LF\r\n", ParseStatus::kComplete, 550, 17, "550 bare\n250 LF"},
      {"550 bare LF\n", ParseStatus::kIncomplete, 0, 0, ""},
      {"354 \x01" "esc\r\n", ParseStatus::kComplete, 354, 10, "354 \x01" "esc"},
      {"", ParseStatus::kIncomplete, 0, 0, ""},
      {"25", ParseStatus::kIncomplete, 0, 0, ""},
      {"250-one\r\n250 tw", ParseStatus::kIncomplete, 0, 0, ""},
      {"HTTP/1.1 400\r\n", ParseStatus::kMalformed, 0, 0, ""},
      {std::string("\0\xff", 2), ParseStatus::kMalformed, 0, 0, ""},  // before any line end
      {"250-one\r\n550 two\r\n", ParseStatus::kMalformed, 0, 0, ""},
      {"650 x\r\n", ParseStatus::kMalformed, 0, 0, ""},
      {"2500 x\r\n", ParseStatus::kMalformed, 0, 0, ""},
      {"250 " + std::string(kMaxReplyLine, 'x'), ParseStatus::kUnterminated, 0, 0, ""},
      {"250 " + std::string(kMaxReplyLine, 'x') + "\r\n", ParseStatus::kUnterminated, 0, 0, ""},
  };
  for (const auto& c : cases) {
    Reply reply;
    std::size_t consumed = 0;
    EXPECT_EQ(parse_reply(c.input, &reply, &consumed), c.status) << c.input;
    if (c.status != ParseStatus::kComplete) continue;
    EXPECT_EQ(reply.code, c.code) << c.input;
    EXPECT_EQ(consumed, c.consumed) << c.input;
    EXPECT_EQ(reply_text(reply), c.shown);
  }
  std::string endless;
  while (endless.size() <= kMaxReplyBytes) endless += "250-more\r\n";
  Reply reply;
  std::size_t consumed = 0;
  EXPECT_EQ(parse_reply(endless, &reply, &consumed), ParseStatus::kMalformed);
}

TEST(Replies, WhatEhloAdvertises) {
  Reply ehlo{250, {"mail.test greets you", "auth=login", "AUTH PLAIN cram-md5", "PIPELINING",
                   "SIZE 10240000", "STARTTLS", "8BITMIME", "SMTPUTF8", "ENHANCEDSTATUSCODES"}};
  const Capabilities caps = parse_capabilities(ehlo);
  EXPECT_TRUE(caps.auth);
  EXPECT_TRUE(caps.offers("LOGIN"));
  EXPECT_TRUE(caps.offers("CRAM-MD5"));
  EXPECT_FALSE(caps.offers("XOAUTH2"));
  EXPECT_TRUE(caps.pipelining && caps.starttls && caps.eightbitmime && caps.smtputf8);
  EXPECT_EQ(caps.size, std::optional<std::uint64_t>(10240000));
  // The first line greets; nothing on it is a keyword.
  const Capabilities none = parse_capabilities(Reply{250, {"AUTH PIPELINING"}});
  EXPECT_FALSE(none.auth || none.pipelining || none.size);
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

quarn::EnvReader env_of(std::map<std::string, std::string> values) {
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
  EXPECT_EQ(settings->timeout, std::chrono::seconds(30));  // no UDF_SMTPTIMEOUT is no error
  EXPECT_EQ(missing, nullptr);
}

TEST(SmtpConfig, TimeoutLikeTheLoaderPublishesIt) {
  const std::vector<std::pair<std::optional<std::string>, long>> cases = {
      {std::nullopt, 30}, {"5", 5},    {"0x10", 16},   {"3600", 3600}, {"45s", 45},
      {"0", 30},          {"-5", 30},  {"3601", 30},   {"", 30},       {"soon", 30},
  };
  for (const auto& [text, seconds] : cases) {
    std::map<std::string, std::string> values;
    if (text) values["UDF_SMTPTIMEOUT"] = *text;
    EXPECT_EQ(SettingsSnapshot(env_of(values)).number(quarn::setting::kSmtpTimeout), seconds)
        << text.value_or("missing");
  }
}

TEST(SmtpConfig, SecurityIsOneOfThreeWordsAndMissingIsNone) {
  using S = std::optional<Security>;
  const std::vector<std::pair<std::optional<std::string>, S>> cases = {
      {std::nullopt, Security::kNone}, {"none", Security::kNone},   {"StartTLS", Security::kStartTls},
      {"TLS", Security::kTls},         {"ssl", std::nullopt},       {"", std::nullopt},
      {" tls", std::nullopt},          {"starttls\n", std::nullopt},
  };
  for (const auto& [text, security] : cases)
    EXPECT_EQ(parse_security(text), security) << text.value_or("missing");

  // Checked after the four required settings, before any connection.
  std::map<std::string, std::string> values = {{"UDF_SMTPHOST", "h"}, {"UDF_SMTPUSER", "u"},
                                               {"UDF_SMTPPASSWORD", "p"}, {"UDF_SMTPSECURITY", "ssl"}};
  const char* missing = nullptr;
  EXPECT_FALSE(read_smtp_config(env_of(values), &missing));
  EXPECT_STREQ(missing, kNoPort);
  values["UDF_SMTPPORT"] = "465";
  EXPECT_FALSE(read_smtp_config(env_of(values), &missing));
  EXPECT_STREQ(missing, kBadSecurity);
  values["UDF_SMTPSECURITY"] = "tls";
  values["UDF_SMTPCAFILE"] = "/etc/ca.pem";
  const auto config = read_smtp_config(env_of(values), &missing);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->security, Security::kTls);
  EXPECT_EQ(config->ca_file, "/etc/ca.pem");
}

TEST(SmtpConfig, EmptyValuesCountAsPresent) {
  const char* missing = nullptr;
  const auto settings = read_smtp_config(env_of({{"UDF_SMTPHOST", ""},
                                              {"UDF_SMTPUSER", ""},
                                              {"UDF_SMTPPASSWORD", ""},
                                              {"UDF_SMTPPORT", "25"},
                                              {"UDF_SMTPHELO", ""}}),
                                      &missing);
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->helo, "");
}

// The leading number as atoi reads it; no number, or one outside 1 to
// 65535, is refused instead of wrapping to another port.
TEST(SmtpConfig, PortInRangeOrRefusedAndTheClientNameOneWord) {
  using P = std::optional<std::uint16_t>;
  const std::vector<std::pair<std::string, P>> cases = {
      {"25", 25},          {"  587", 587},       {"+2525", 2525},  {"25abc", 25},
      {"1", 1},            {"65535", 65535},     {"abc", P()},     {"", P()},
      {"0", P()},          {"-1", P()},          {"65536", P()},   {"68137", P()},
      {"4294967297", P()}, {"99999999999999999999", P()},
  };
  for (const auto& [text, port] : cases)
    EXPECT_EQ(SettingsSnapshot(env_of({{"UDF_SMTPPORT", text}})).number(quarn::setting::kSmtpPort),
              port ? std::optional<long>(*port) : std::nullopt)
        << text;

  std::map<std::string, std::string> values = {{"UDF_SMTPHOST", "h"}, {"UDF_SMTPUSER", "u"},
                                               {"UDF_SMTPPASSWORD", "p"}, {"UDF_SMTPPORT", "68137"},
                                               {"UDF_SMTPHELO", "db1.example.com"}};
  const char* missing = nullptr;
  EXPECT_FALSE(read_smtp_config(env_of(values), &missing));
  EXPECT_STREQ(missing, kPortOutOfRange);
  values["UDF_SMTPPORT"] = "2525";
  const auto config = read_smtp_config(env_of(values), &missing);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->helo, "db1.example.com");
  for (const std::string helo : {"db1 example", "db1\r\nRSET", "\xc3\xa9.x"}) {
    values["UDF_SMTPHELO"] = helo;
    EXPECT_FALSE(read_smtp_config(env_of(values), &missing)) << helo;
    EXPECT_STREQ(missing, kBadHelo);
  }
}

// --- refusal order -----------------------------------------------------------

// The texts are viewed, not copied: they must outlive the result.
MailArgs mail_of(std::optional<std::string_view> to, std::optional<std::string_view> from,
                 std::string_view subject, std::string_view body) {
  MailArgs mail;
  mail.to = to;
  mail.from = from;
  mail.subject = subject;
  mail.body = body;
  return mail;
}

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
      {O("a@x\r\nRCPT TO:<b@x>"), O("f@x\n"), "s\r", "Error: 'To' address contains a line break."},
      {O("a@x\n"), O("f@x"), "", "Error: 'To' address contains a line break."},
      {O("a@x\r"), O("f@x"), "", "Error: 'To' address contains a line break."},
      {O("a@x"), O("f@x\r\n"), "s\n", "Error: 'From' address contains a line break."},
      {O("a@x"), O("f@x"), "one\r\nBcc: b@x", kSubjectLineBreak},
      {O("a@x"), O("f@x"), "bare\r", kSubjectLineBreak},
      {O("a@x, b@x"), O("f@x"), "tab\tand . dots", nullptr},
      // Other control bytes in an address: refused after the line breaks.
      {O(std::string("a@x\0evil@x", 10)), O("f@x"), "",
       "Error: 'To' address contains a control character."},
      {O("Ann\t<a@x>"), O("f@x"), "", "Error: 'To' address contains a control character."},
      {O("a@x\x1b[2J"), O("f@x\n"), "", "Error: 'From' address contains a line break."},
      {O("a@x"), O("f@x\x7f"), "", "Error: 'From' address contains a control character."},
      {O("a@x"), O(std::string("\0", 1)), "s\n", kSubjectLineBreak},
      {O("J\xc3\xb6rg <j\xc3\xb6rg@x>"), O("f@x"), "", nullptr},
  };
  for (const auto& c : cases) {
    const MailArgs mail = mail_of(c.to, c.from, c.subject, "body\r\n.\r\n");
    EXPECT_STREQ(refusal(mail), c.expected) << c.to.value_or("NULL") << " / "
                                            << c.from.value_or("NULL");
  }
}

// Addresses longer than servers take are refused before anything is sent;
// header lines are folded and bodies encoded, so any subject and body go.
TEST(Refusal, AddressesServersWouldRefuse) {
  const std::string address = std::string(kMaxAddressBytes - 4, 'a') + "@x.y";
  std::string long_list;  // short addresses, kMaxAddressTextBytes in all
  while (long_list.size() + 20 < kMaxAddressTextBytes) long_list += "a@x.test, ";
  long_list += std::string(kMaxAddressTextBytes - long_list.size(), 'b');
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
      {"To one byte over", address + "z", "f@x", "s", "b", "Error: 'To' address is too long."},
      {"From one byte over", "t@x", address + "z", "s", "b", "Error: 'From' address is too long."},
      {"To judged before From", address + "z", address + "z", "s", "b",
       "Error: 'To' address is too long."},
      {"a line break before a length", address + "\n", "f@x", "s", "b",
       "Error: 'To' address contains a line break."},
      {"any subject and body line", "t@x", "f@x", std::string(65536, 's'),
       std::string(65536, 'b'), nullptr},
      // A list: each address alone, and the whole text.
      {"two longest addresses", address + ", " + address, "f@x", "s", "b", nullptr},
      {"one of two over", address + ", " + address + "z", "f@x", "s", "b",
       "Error: 'To' address is too long."},
      {"a name around the longest", "Ann <" + address + ">", "f@x", "s", "b", nullptr},
      {"longest To text", long_list, "f@x", "s", "b", nullptr},
      {"To text one over", long_list + "b", "f@x", "s", "b", "Error: 'To' address is too long."},
      {"From text one over", "t@x",
       "\"" + std::string(kMaxAddressTextBytes - 7, 'n') + "\" <f@x>", "s", "b",
       "Error: 'From' address is too long."},
      // Parts of the To list, then the From address, before any length.
      {"empty part", "t@x,, u@x", "f@x", "s", "b", "Error: 'To' address list has an empty part."},
      {"unclosed To", "Ann <t@x" + std::string(300, 'a'), "f@x", "s", "b",
       "Error: 'To' address has an unclosed bracket or quote."},
      {"unclosed From", "t@x", "Db <f@x", "s", "b",
       "Error: 'From' address has an unclosed bracket or quote."},
      {"To before From", "t@x,", "Db <f@x", "s", "b", "Error: 'To' address list has an empty part."},
      {"line break first", "t@x,\n", "f@x", "s", "b", "Error: 'To' address contains a line break."},
  };
  for (const auto& c : cases) {
    const MailArgs mail = mail_of(c.to, c.from, c.subject, c.body);
    EXPECT_STREQ(refusal(mail), c.expected) << c.name;
  }
}

// Cc, Bcc and Reply-To as To, each judged after To and From at every step;
// then the importance, then what no encoding could bring under the size
// limit.
TEST(Refusal, NamedOptions) {
  const std::string address = std::string(kMaxAddressBytes - 4, 'a') + "@x.y";
  const std::string long_text = "\"" + std::string(kMaxAddressTextBytes, 'n') + "\" <c@x>";
  const std::string over = address + "z", cc_over = "b@x, " + over;
  const std::string big(kMaxMessageBytes + 1, 'z');
  const auto bytes = [&big](std::size_t count) { return std::string_view(big).substr(0, count); };
  struct Case {
    const char* name;
    std::function<void(MailArgs&)> set;
    const char* expected;
  };
  const auto attach = [&bytes](std::size_t count) {
    return [&bytes, count](MailArgs& m) { m.attachments.push_back({"a.bin", bytes(count)}); };
  };
  const std::vector<Case> cases = {
      {"all fine", [](MailArgs& m) { m.cc = "Ann <a@x>, b@x"; m.bcc = "c@x"; m.reply_to = "r@x";
                                     m.importance = "HIGH"; m.text = "t"; }, nullptr},
      {"Cc line break", [](MailArgs& m) { m.cc = "a@x\r\nRCPT TO:<e@x>"; },
       "Error: 'Cc' address contains a line break."},
      {"Bcc bare CR", [](MailArgs& m) { m.bcc = "a@x\r"; },
       "Error: 'Bcc' address contains a line break."},
      {"Reply-To LF", [](MailArgs& m) { m.reply_to = "a@x\n"; },
       "Error: 'Reply-To' address contains a line break."},
      {"attachment name LF", [](MailArgs& m) { m.attachments.push_back({"a\nb.csv", "x"}); },
       kAttachmentNameLineBreak},
      {"Subject line break first", [](MailArgs& m) { m.subject = "s\n"; m.cc = "a@x\n"; },
       kSubjectLineBreak},
      {"Cc before Bcc", [](MailArgs& m) { m.bcc = "b@x\n"; m.cc = "a@x\n"; },
       "Error: 'Cc' address contains a line break."},
      {"line breaks before controls", [](MailArgs& m) { m.cc = "a@x\x01"; m.reply_to = "r\n"; },
       "Error: 'Reply-To' address contains a line break."},
      {"Cc NUL", [](MailArgs& m) { m.cc = std::string_view("a@x\0", 4); },
       "Error: 'Cc' address contains a control character."},
      {"Bcc tab", [](MailArgs& m) { m.bcc = "a@x,\tb@x"; },
       "Error: 'Bcc' address contains a control character."},
      {"Reply-To DEL", [](MailArgs& m) { m.reply_to = "a\x7f@x"; },
       "Error: 'Reply-To' address contains a control character."},
      {"controls before To's parts", [](MailArgs& m) { m.to = "t@x,,"; m.cc = "\x1b"; },
       "Error: 'Cc' address contains a control character."},
      {"Cc empty part", [](MailArgs& m) { m.cc = "a@x,,b@x"; },
       "Error: 'Cc' address list has an empty part."},
      {"Bcc empty address", [](MailArgs& m) { m.bcc = "Ann <>"; },
       "Error: 'Bcc' address list has an empty part."},
      {"Reply-To blank", [](MailArgs& m) { m.reply_to = " "; },
       "Error: 'Reply-To' address list has an empty part."},
      {"Cc unclosed", [](MailArgs& m) { m.cc = "Ann <a@x"; },
       "Error: 'Cc' address has an unclosed bracket or quote."},
      {"Bcc unclosed", [](MailArgs& m) { m.bcc = "\"a@x"; },
       "Error: 'Bcc' address has an unclosed bracket or quote."},
      {"Reply-To unclosed", [](MailArgs& m) { m.reply_to = "r@x (note"; },
       "Error: 'Reply-To' address has an unclosed bracket or quote."},
      {"From's parts before Cc's", [](MailArgs& m) { m.from = "Db <f@x"; m.cc = ","; },
       "Error: 'From' address has an unclosed bracket or quote."},
      {"parts before lengths", [&](MailArgs& m) { m.to = over; m.bcc = ","; },
       "Error: 'Bcc' address list has an empty part."},
      {"longest Cc address", [&](MailArgs& m) { m.cc = address; }, nullptr},
      {"Cc address one over", [&](MailArgs& m) { m.cc = cc_over; },
       "Error: 'Cc' address is too long."},
      {"Bcc text too long", [&](MailArgs& m) { m.bcc = long_text; },
       "Error: 'Bcc' address is too long."},
      {"Reply-To too long", [&](MailArgs& m) { m.reply_to = over; },
       "Error: 'Reply-To' address is too long."},
      {"From's length before Cc's", [&](MailArgs& m) { m.from = over; m.cc = long_text; },
       "Error: 'From' address is too long."},
      {"importance", [](MailArgs& m) { m.importance = "urgent"; }, kBadImportance},
      {"lengths before importance", [&](MailArgs& m) { m.importance = "x"; m.cc = long_text; },
       "Error: 'Cc' address is too long."},
      // Base64 takes 4 bytes for 3: with the subject's and the body's byte
      // and the name's 5, 25,165,818 bytes come to one under the limit.
      {"attachment just under", attach(25165818), nullptr},
      {"attachment one over", attach(25165819), kTooLarge},
      {"importance before size", [&](MailArgs& m) { attach(25165825)(m); m.importance = "x"; },
       kBadImportance},
      {"attachments together", [&](MailArgs& m) { attach(12582912)(m); attach(12582913)(m); }, kTooLarge},
      {"body over", [&](MailArgs& m) { m.body = big; }, kTooLarge},
      {"body and its text alternative",
       [&](MailArgs& m) { m.body = bytes(kMaxMessageBytes / 2); m.text = bytes(kMaxMessageBytes / 2 + 1); },
       kTooLarge},
      {"a plain body has no alternative",
       [&](MailArgs& m) { m.body = bytes(kMaxMessageBytes / 2); m.text = bytes(kMaxMessageBytes / 2 + 1);
                          m.is_html = false; }, nullptr},
  };
  for (const auto& c : cases) {
    MailArgs mail = mail_of("t@x", "f@x", "s", "b");
    c.set(mail);
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
  const Outcome outcome = run_call(args, env_of({}), nullptr);
  EXPECT_STREQ(outcome.text(), kNoHost);
  EXPECT_EQ(outcome.log_line(), std::optional<std::string>(kNoHost));
  EXPECT_FALSE(outcome.is_null());
  EXPECT_FALSE(outcome.error());
}

TEST(SendOutcome, ARecordedFailureIsNeverOk) {
  const Outcome sent = send_outcome(false, "");
  EXPECT_STREQ(sent.text(), kSent);
  EXPECT_FALSE(sent.log_line());
  for (const std::string text : {"Connection refused", ""}) {
    const Outcome failed = send_outcome(true, text);
    EXPECT_STREQ(failed.text(), kSendError) << text;
    EXPECT_EQ(failed.log_line(), std::optional<std::string>(text));  // "" logs an empty line
    EXPECT_FALSE(failed.is_null());
    EXPECT_FALSE(failed.error());
  }
}

}  // namespace
