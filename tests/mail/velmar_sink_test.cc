// velmar against a real SMTP server (aiosmtpd) on loopback with AUTH LOGIN.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "smtp_sink.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::SmtpSink;

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
  SmtpSink sink_{kUser, kPassword};
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
    EXPECT_EQ(stored[i].data, "SUBJECT:Subject " + std::to_string(i) +
                                  "\r\nFrom:sender@example.test\r\nTo:" + to +
                                  "\r\nContent-Type:text/" + (i % 2 ? "html" : "plain") +
                                  "; charset=utf-8\r\n\r\n" + body_of(i) + "\r\n");
  }
}

// A refused login is no longer "OK": the result says it failed and the
// log line gives aiosmtpd's reply, never the password.
TEST_F(VelmarSink, ARefusedLoginFailsAndSaysWhy) {
  setenv("UDF_SMTPPASSWORD", "wrong", 1);
  quarn::test::StderrCapture err;
  EXPECT_EQ(send("rcpt@example.test", "s", "b", 0), "There was an error sending the message.");
  setenv("UDF_SMTPUSER", "", 1);
  EXPECT_EQ(send("rcpt@example.test", "s", "b", 0), "There was an error sending the message.");
  const std::string refused = "AUTH LOGIN password refused: 535 5.7.8 Authentication credentials invalid\n";
  EXPECT_EQ(err.text(), refused + refused);
  EXPECT_EQ(sink_.messages().size(), 0u);
  // The same server takes the message once the credentials are right.
  setenv("UDF_SMTPUSER", kUser, 1);
  setenv("UDF_SMTPPASSWORD", kPassword, 1);
  EXPECT_EQ(send("rcpt@example.test", "s", "b", 0), "OK");
  EXPECT_EQ(sink_.messages().size(), 1u);
}

// A list goes to each address; aiosmtpd stores one message for all.
TEST_F(VelmarSink, AListReachesEveryAddress) {
  const std::size_t before = sink_.messages().size();
  EXPECT_EQ(send("\"Doe, Jo\" <jo@example.test>, b@example.test", "s", "b", 0), "OK");
  const auto stored = sink_.messages();
  ASSERT_EQ(stored.size(), before + 1);
  EXPECT_EQ(stored.back().rcpt_tos, "jo@example.test\tb@example.test");
  EXPECT_NE(stored.back().data.find("\r\nTo:\"Doe, Jo\" <jo@example.test>, b@example.test\r\n"),
            std::string::npos);
}

}  // namespace

namespace {

// At the length limits a real server stores every message that velmar calls
// "OK", and whatever it would refuse is refused before it is sent.
TEST_F(VelmarSink, OkMeansStoredAtTheLengthLimits) {
  const std::string line(998, 'b');
  const std::string to = std::string(240, 'r') + "@example.test";  // 253 bytes
  struct Case {
    const char* name;
    std::string to;
    std::string subject;
    std::string body;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"longest body line", "r@example.test", "s", line + "\r\n" + line, "OK"},
      {"body line one over", "r@example.test", "s", line + "b", "Error: Message has a line longer than 998 bytes."},
      {"5000-byte body line", "r@example.test", "s", std::string(5000, 'b'),
       "Error: Message has a line longer than 998 bytes."},
      {"longest subject", "r@example.test", std::string(990, 's'), "b", "OK"},
      {"subject one over", "r@example.test", std::string(991, 's'), "b", "Error: Subject is too long."},
      {"long address", to, "s", "b", "OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = sink_.messages().size();
    EXPECT_EQ(send(c.to, c.subject, c.body, 0), c.expected);
    const auto stored = sink_.messages();
    if (std::string(c.expected) == "OK") {
      ASSERT_EQ(stored.size(), before + 1);
      EXPECT_NE(stored.back().data.find("\r\n\r\n" + c.body + "\r\n"), std::string::npos);
    } else {
      EXPECT_EQ(stored.size(), before);
    }
  }
}

}  // namespace
