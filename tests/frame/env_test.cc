#include "env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

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


// A second hold on a thread that has one must not queue behind a writer
// that waits for the first: that would deadlock.
TEST(Environment, ANestedReadHoldNeverWaitsForAQueuedWriter) {
  std::atomic<bool> written{false};
  std::thread writer;
  {
    quarn::EnvReadHold outer;
    writer = std::thread([&] {
      quarn::env_publish({{"QUARN_ENV_NESTED", "x"}});
      written = true;
    });
    // Give the writer time to queue on the lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
      quarn::EnvReadHold inner;
      EXPECT_FALSE(quarn::env_get("QUARN_ENV_NESTED").has_value());
    }
    EXPECT_FALSE(written) << "the writer waits while the outer hold lasts";
  }
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(quarn::env_get("QUARN_ENV_NESTED").value_or("?"), "x");
  ::unsetenv("QUARN_ENV_NESTED");
}

}  // namespace
