#include "format_string.h"
#include "log.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

namespace {

struct FormatCase {
  const char* name;
  std::size_t capacity;
  std::size_t text_length;
  int expected_return;
  std::size_t expected_stored;
};

class FormatStringTable : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatStringTable, StoresAtMostCapacityLessOneAndReturnsFullLength) {
  const FormatCase& c = GetParam();
  const std::string text(c.text_length, 'x');
  char buffer[600];
  std::memset(buffer, '#', sizeof buffer);
  const int returned = quarn::format_string(buffer, c.capacity, "%s", text.c_str());
  EXPECT_EQ(returned, c.expected_return);
  if (c.capacity > 0) {
    EXPECT_EQ(std::strlen(buffer), c.expected_stored);
    EXPECT_EQ(std::string(buffer, c.expected_stored), text.substr(0, c.expected_stored));
  }
  // Nothing past the first capacity bytes is touched.
  for (std::size_t i = c.capacity; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << i;
}

INSTANTIATE_TEST_SUITE_P(
    Truncation, FormatStringTable,
    ::testing::Values(FormatCase{"capacity0", 0, 10, 10, 0},
                      FormatCase{"capacity1", 1, 10, 10, 0},
                      FormatCase{"empty", 255, 0, 0, 0},
                      FormatCase{"exact_fit", 11, 10, 10, 10},
                      FormatCase{"one_over", 10, 10, 10, 9},
                      FormatCase{"fits_254", 255, 254, 254, 254},
                      FormatCase{"cut_255", 255, 255, 255, 254},
                      FormatCase{"cut_500", 255, 500, 500, 254}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FormatString, FormatsConversionsAndReportsTheFullLengthWhenCut) {
  char buffer[8];
  EXPECT_EQ(quarn::format_string(buffer, sizeof buffer, "%s-%d", "abc", 12345), 9);
  EXPECT_STREQ(buffer, "abc-123");
}

struct StoreCase {
  std::size_t capacity;
  std::size_t text_length;
  long expected;
};

TEST(StoreText, LengthIsTheCountStoredNeverMoreThanCapacityLessOne) {
  const StoreCase cases[] = {{255, 0, 0},     {255, 254, 254}, {255, 255, 254},
                             {255, 300, 254}, {254, 253, 253}, {254, 254, 253},
                             {254, 256, 253}};
  for (const auto& c : cases) {
    char buffer[256];
    const std::string text(c.text_length, 'a');
    EXPECT_EQ(quarn::store_text(buffer, c.capacity, text.c_str()), c.expected)
        << c.capacity << "/" << c.text_length;
    EXPECT_EQ(std::strlen(buffer), static_cast<std::size_t>(c.expected));
  }
}


// Log lines read like the server's own ("2026-12-09  9:30:07 0 [Note] ...",
// the form a real server's lines are checked against in the server tests):
// its local time, thread 0, the severity, then the function.
TEST(LogLine, ParsesBackAsTheServersForm) {
  const std::time_t before = std::time(nullptr);
  const std::string line = quarn::log_line_text("velmar", quarn::Severity::kWarning, "h:25: x");
  const std::time_t after = std::time(nullptr);
  const auto parsed = quarn::test::parse_log_line(line);
  ASSERT_TRUE(parsed) << line;
  std::tm time = parsed->time;
  const std::time_t stamped = std::mktime(&time);
  EXPECT_GE(stamped, before - 1) << line;
  EXPECT_LE(stamped, after + 1) << line;
  EXPECT_EQ(parsed->severity, "Warning");
  EXPECT_EQ(parsed->text, "velmar: h:25: x");
}

// No text from SQL, a setting or a server can start a line of its own or
// drive a terminal; UTF-8 stays readable.
TEST(LogLine, ControlBytesAreEscaped) {
  const struct {
    std::string text;
    std::string logged;
  } cases[] = {
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {std::string("\x1b[31mred\x7f\0", 10), "\\x1b[31mred\\x7f\\x00"},
      {"caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x93\xa7", "caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x93\xa7"},
      {"nel\xc2\x85 nbsp\xc2\xa0", "nel\\xc2\\x85 nbsp\xc2\xa0"},
      {"latin1 \xe9t\xe9 \xc3 \xed\xa0\x80", "latin1 \\xe9t\\xe9 \\xc3 \\xed\\xa0\\x80"},
      {"C:\\dir\\n", "C:\\dir\\n"},
      {std::string(5000, 'a'), std::string(4000, 'a') + "... (1000 more bytes)"},
      {std::string(3999, 'a') + "\n", std::string(3999, 'a') + "... (1 more bytes)"},
  };
  for (const auto& c : cases) EXPECT_EQ(quarn::log_escape(c.text), c.logged) << c.text.substr(0, 40);
  const std::string line = quarn::log_line_text("tarvik", quarn::Severity::kError, "a\nb");
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
