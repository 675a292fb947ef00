#include "env.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(Environment, ReadsCopiesAndRemovesOnEmptyValue) {
  ::unsetenv("QUARN_ENV_TEST");
  EXPECT_FALSE(quarn::env_get("QUARN_ENV_TEST").has_value());

  quarn::env_set("QUARN_ENV_TEST", "value one");
  auto value = quarn::env_get("QUARN_ENV_TEST");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, "value one");

  quarn::env_set("QUARN_ENV_TEST", "two");
  EXPECT_EQ(*value, "value one") << "a read is a copy, not a view of the environment";
  EXPECT_EQ(quarn::env_get("QUARN_ENV_TEST").value_or("?"), "two");

  quarn::env_set("QUARN_ENV_TEST", "");
  EXPECT_FALSE(quarn::env_get("QUARN_ENV_TEST").has_value());
  EXPECT_EQ(std::getenv("QUARN_ENV_TEST"), nullptr);
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

}  // namespace
