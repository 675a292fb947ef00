#include "format_string.h"
#include "outcome.h"

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


// Log lines read like the server's own: its time stamp, then the function.
TEST(LogLine, CarriesTheLocalTimeAndTheFunctionsName) {
  const std::time_t before = std::time(nullptr);
  const std::string line = quarn::log_line_text("velmar", "h:25: refused");
  const std::time_t after = std::time(nullptr);
  std::tm parsed{};
  parsed.tm_isdst = -1;
  ASSERT_NE(strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr) << line;
  const std::time_t stamped = std::mktime(&parsed);
  EXPECT_GE(stamped, before - 1) << line;
  EXPECT_LE(stamped, after + 1) << line;
  EXPECT_EQ(line.substr(19), " velmar: h:25: refused");
}

}  // namespace
