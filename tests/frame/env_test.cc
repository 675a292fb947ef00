#include "env.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Environment, ReadsCopiesAndRemovesOnEmptyValue) {
  ::unsetenv("QUARN_ENV_TEST");
  ::setenv("QUARN_ENV_OTHER", "old", 1);
  EXPECT_FALSE(quarn::env_get("QUARN_ENV_TEST").has_value());

  quarn::env_publish({{"QUARN_ENV_TEST", "value one"}, {"QUARN_ENV_OTHER", "new"}});
  auto value = quarn::env_get("QUARN_ENV_TEST");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, "value one");
  EXPECT_EQ(quarn::env_get("QUARN_ENV_OTHER").value_or("?"), "new");

  quarn::env_publish({{"QUARN_ENV_TEST", "two"}, {"QUARN_ENV_TEST", "three"}});
  EXPECT_EQ(*value, "value one") << "a read is a copy, not a view of the environment";
  EXPECT_EQ(quarn::env_get("QUARN_ENV_TEST").value_or("?"), "three") << "the last one stands";

  quarn::env_publish({{"QUARN_ENV_TEST", ""}, {"QUARN_ENV_OTHER", ""}});
  EXPECT_FALSE(quarn::env_get("QUARN_ENV_TEST").has_value());
  EXPECT_EQ(std::getenv("QUARN_ENV_TEST"), nullptr);
  EXPECT_EQ(std::getenv("QUARN_ENV_OTHER"), nullptr);
}

TEST(Environment, ANameIsLookedUpUpToItsFirstNul) {
  ::setenv("QUARN_ENV_NUL", "seen", 1);
  EXPECT_EQ(quarn::env_get(std::string("QUARN_ENV_NUL\0tail", 18)).value_or("?"), "seen");
  EXPECT_FALSE(quarn::env_get("").has_value());
  ::unsetenv("QUARN_ENV_NUL");
}

TEST(Environment, AVariableSetToTheEmptyTextOutsideIsSetNotMissing) {
  ::setenv("QUARN_ENV_EMPTY", "", 1);
  auto value = quarn::env_get("QUARN_ENV_EMPTY");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, "");
  ::unsetenv("QUARN_ENV_EMPTY");
}


// A plug-in frees only the arrays it made, once out of use for the grace
// period: never glibc's own, which its setenv reallocs later, nor one whose
// strings the array in use still points to (AddressSanitizer reports
// either).
TEST(Environment, OurArraysAreFreedOnlyOnceOutOfUseForTheirGracePeriod) {
  namespace internal = quarn::env_internal;
  constexpr long long kOver = 0;  // a grace period already over
  ::setenv("QUARN_ENV_GLIBC", "1", 1);  // environ: glibc's own array
  internal::publish({{"UDF_QUARN_KEPT", "kept"}}, kOver);
  internal::publish({{"QUARN_ENV_STEP", "2"}}, kOver);
  EXPECT_EQ(internal::held_blocks(), 2u) << "the one in use when looked at, and the new one";
  internal::publish({{"QUARN_ENV_STEP", "3"}}, internal::kGraceNanoseconds);
  EXPECT_EQ(internal::held_blocks(), 3u) << "nothing freed before its time";
  internal::publish({{"QUARN_ENV_STEP", "4"}}, kOver);
  EXPECT_EQ(internal::held_blocks(), 2u);
  // A new variable: glibc installs a copy of our array, which points into
  // its strings.
  ::setenv("QUARN_ENV_GLIBC_TOO", "2", 1);
  internal::publish({{"QUARN_ENV_STEP", "5"}}, kOver);
  EXPECT_EQ(internal::held_blocks(), 2u) << "the block glibc's copy points into stays";
  EXPECT_EQ(quarn::env_get("UDF_QUARN_KEPT").value_or("?"), "kept");
  EXPECT_STREQ(std::getenv("QUARN_ENV_STEP"), "5");
  EXPECT_STREQ(std::getenv("QUARN_ENV_GLIBC_TOO"), "2");
}

// Code that saves `environ` and puts it back brings one of our arrays back
// into use after we found it out of use: it is looked at again before it
// is freed (AddressSanitizer reports the lookup through a freed one).
TEST(Environment, AnArrayPutBackIsNotFreed) {
  namespace internal = quarn::env_internal;
  // Nothing of an earlier array kept (our QUARN_ENV_STEP would keep its
  // block in use), and every earlier one freed.
  internal::publish({{"QUARN_ENV_BACK", "settle"}, {"QUARN_ENV_STEP", ""}}, 0);
  internal::publish({{"QUARN_ENV_BACK", "saved"}}, 0);
  char** const saved = environ;
  internal::publish({{"QUARN_ENV_BACK", "later"}}, internal::kGraceNanoseconds);
  internal::publish({{"QUARN_ENV_BACK", "later still"}}, internal::kGraceNanoseconds);
  ASSERT_EQ(internal::held_blocks(), 4u);
  environ = saved;
  internal::publish({{"QUARN_ENV_STEP", "6"}}, 0);
  EXPECT_EQ(internal::held_blocks(), 2u) << "the array put back, and the new one";
  EXPECT_EQ(quarn::env_get("QUARN_ENV_BACK").value_or("?"), "saved");
}

}  // namespace
