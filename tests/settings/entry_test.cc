// The ostrel entry points, loaded and called as the server does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_util.h"
#include "udf_call.h"
#include "working_dir.h"

namespace {

using quarn::test::Args;
using quarn::test::clear_settings;
using quarn::test::Function;
using quarn::test::Plugin;
using quarn::test::StderrCapture;
using quarn::test::WorkingDir;

const char kLoadRefusal[] = "LOADINI() takes at most one argument: TRUE to overwrite existing values.";
const char kGetRefusal[] = "GETENVVAR() requires the name of an environmental variable";

class Ostrel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { plugin_ = new Plugin("ostrel"); }
  static void TearDownTestSuite() {
    delete plugin_;
    plugin_ = nullptr;
  }
  void SetUp() override { clear_settings(); }
  void TearDown() override { clear_settings(); }

  struct IntOutcome {
    long long value;
    bool is_null;
    bool error;
  };
  IntOutcome load(Args&& args) const { return load(args); }
  IntOutcome load(Args& args) const {
    IntOutcome outcome{};
    outcome.value = loadini_.call_int(args, &outcome.is_null, &outcome.error);
    return outcome;
  }
  quarn::test::StringOutcome get(const std::string& name) const {
    Args args;
    args.text(name);
    return getenvvar_.call_string(args);
  }

  static Plugin* plugin_;
  Function loadini_{*plugin_, "udf_loadini"};
  Function getenvvar_{*plugin_, "udf_getenvvar"};
};

Plugin* Ostrel::plugin_ = nullptr;

TEST_F(Ostrel, BothDeinitNamesAreOneRoutine) {
  EXPECT_EQ(plugin_->symbol("udf_loadini_deinit"), plugin_->symbol("udf_getenvvar_deinit"));
}

TEST_F(Ostrel, LoadiniInitRefusesMoreThanOneArgumentWithTheWholeText) {
  Args two;
  two.integer(1).integer(2);
  const auto outcome = loadini_.init(two);
  EXPECT_TRUE(outcome.refused);
  EXPECT_EQ(outcome.message, kLoadRefusal);
}

TEST_F(Ostrel, LoadiniInitTakesAnyOneArgumentAsANullableInteger) {
  Args none;
  auto started = loadini_.init(none);
  EXPECT_FALSE(started.refused);
  EXPECT_TRUE(started.initid.maybe_null);
  EXPECT_EQ(started.initid.max_length, 12345u) << "an integer function leaves max_length";

  Args kinds[4];
  kinds[0].text("yes");
  kinds[1].real(0.5);
  kinds[2].decimal("1.0");
  kinds[3].null_integer();
  for (Args& args : kinds) {
    started = loadini_.init(args);
    EXPECT_FALSE(started.refused);
    EXPECT_EQ(args.types()[0], INT_RESULT);
    EXPECT_EQ(args.maybe_null()[0], 1);
  }
}

TEST_F(Ostrel, LoadiniFlagsAndOverwriteMatrix) {
  WorkingDir cwd;
  // No file, no marker: NULL by the error flag alone, and nothing published.
  auto first = load(Args());
  EXPECT_EQ(first.value, 0);
  EXPECT_TRUE(first.error);
  EXPECT_FALSE(first.is_null) << "the failed call leaves is_null untouched";
  EXPECT_EQ(std::getenv("UDF_ERRORLOG"), nullptr);

  cwd.write_settings("[thumbnail]\nimage-directory = v0\n");
  auto loaded = load(Args());
  EXPECT_EQ(loaded.value, 0);
  EXPECT_TRUE(loaded.is_null);
  EXPECT_FALSE(loaded.error);
  EXPECT_STREQ(std::getenv("UDF_IMAGEDIR"), "v0");

  struct {
    const char* name;
    Args args;
    bool reloads;
  } cases[] = {{"no argument", Args(), false},
               {"NULL", std::move(Args().null_integer()), false},
               {"0 / FALSE", std::move(Args().integer(0)), false},
               {"1 / TRUE", std::move(Args().integer(1)), true},
               {"-1", std::move(Args().integer(-1)), true},
               {"2", std::move(Args().integer(2)), true}};
  int version = 0;
  for (auto& c : cases) {
    const std::string before = std::getenv("UDF_IMAGEDIR");
    const std::string next = "v" + std::to_string(++version);
    cwd.write_settings("[thumbnail]\nimage-directory = " + next + "\n");
    const auto outcome = load(c.args);
    EXPECT_TRUE(outcome.is_null) << c.name;
    EXPECT_FALSE(outcome.error) << c.name;
    EXPECT_EQ(std::getenv("UDF_IMAGEDIR"), c.reloads ? next : before) << c.name;
  }
}

TEST_F(Ostrel, PublishedSettingsAreSeenThroughGetenvvar) {
  WorkingDir cwd;
  ::setenv("UDF_SMTPUSER", "old user", 1);
  cwd.write_settings("[email]\nsmtp-port = 587\n");
  StderrCapture stderr_capture;
  load(Args().integer(1));
  const auto port = get("UDF_SMTPPORT");
  EXPECT_EQ(port.text, "587");
  EXPECT_EQ(port.length, 3u);
  EXPECT_FALSE(port.is_null);
  const auto user = get("UDF_SMTPUSER");
  EXPECT_TRUE(user.is_null) << "an absent entry removes the variable";
  EXPECT_FALSE(user.error);
  EXPECT_EQ(get("UDF_SMTPHOST").text, "localhost");
  EXPECT_EQ(stderr_capture.messages("udf_loadini"),
            "settings loaded from " + cwd.file("quarn_udf.ini") + "\n")
      << "one line, no values";
}

TEST_F(Ostrel, GetenvvarInitAcceptsOneStringOnly) {
  Args zero, two, integer, real, decimal;
  two.text("A").text("B");
  integer.integer(1);
  real.real(1.5);
  decimal.decimal("2.5");
  for (Args* args : {&zero, &two, &integer, &real, &decimal}) {
    const auto outcome = getenvvar_.init(*args);
    EXPECT_TRUE(outcome.refused) << args->size();
    EXPECT_EQ(outcome.message, kGetRefusal);
  }
  Args one;
  one.text("PATH");
  const auto accepted = getenvvar_.init(one);
  EXPECT_FALSE(accepted.refused);
  EXPECT_TRUE(accepted.initid.maybe_null);
  EXPECT_EQ(accepted.initid.max_length, 255u);
  EXPECT_EQ(one.types()[0], STRING_RESULT);
  EXPECT_EQ(one.maybe_null()[0], 0x55) << "the argument flags stay as the server set them";
}

TEST_F(Ostrel, GetenvvarValues) {
  const std::string v300(300, 'x');
  std::string v254(254, 'y');
  v254[0] = 'z';
  ::setenv("QUARN_V300", v300.c_str(), 1);
  ::setenv("QUARN_V254", v254.c_str(), 1);
  ::setenv("QUARN_EMPTY", "", 1);
  ::setenv("QUARN_PLAIN", "plain value", 1);
  ::unsetenv("QUARN_UNSET");
  ::setenv("UDF_SMTPPASSWORD", "hunter2 and more", 1);
  ::setenv("UDF_SMTPPASSWORD_X", "not secret", 1);
  ::setenv("QUARN_HIDDEN", "hidden", 1);
  ::setenv("UDF_SMTPHOST", "mail.test", 1);
  // Shown besides the settings: these names, separated by commas or blanks.
  ::setenv("UDF_GETENVVARNAMES", "QUARN_V300, QUARN_V254 QUARN_EMPTY,QUARN_PLAIN\tQUARN_UNSET "
           "UDF_SMTPPASSWORD_X QUARN_PLAI", 1);

  const struct {
    const char* label;
    std::string name;
    bool is_null;
    std::string text;
  } cases[] = {{"300 characters are cut to 254", "QUARN_V300", false, v300.substr(0, 254)},
               {"254 characters are whole", "QUARN_V254", false, v254},
               {"set to the empty text", "QUARN_EMPTY", false, ""},
               {"plain", "QUARN_PLAIN", false, "plain value"},
               {"unset", "QUARN_UNSET", true, ""},
               {"empty name", "", true, ""},
               {"NUL inside the name", std::string("QUARN_PLAIN\0QUARN_V300", 22), false,
                "plain value"},
               {"name of a prefix", "QUARN_PLAI", true, ""},
               {"the password is masked", "UDF_SMTPPASSWORD", false, "********"},
               {"also behind a NUL", std::string("UDF_SMTPPASSWORD\0X", 18), false, "********"},
               {"a longer name is not the password", "UDF_SMTPPASSWORD_X", false, "not secret"},
               {"other letter case is another variable", "udf_smtppassword", true, ""},
               {"a setting needs no listing", "UDF_SMTPHOST", false, "mail.test"},
               {"a variable not listed is NULL", "QUARN_HIDDEN", true, ""},
               {"its part before a NUL is what is listed",
                std::string("QUARN_HIDDEN\0QUARN_PLAIN", 24), true, ""}};
  for (const auto& c : cases) {
    const auto outcome = get(c.name);
    EXPECT_EQ(outcome.is_null, c.is_null) << c.label;
    EXPECT_FALSE(outcome.error) << c.label;
    EXPECT_TRUE(outcome.returned_result_buffer) << c.label;
    EXPECT_EQ(outcome.length, c.text.size()) << c.label;
    if (!c.is_null) {
      EXPECT_EQ(outcome.text, c.text) << c.label;
    }
  }

  Args null_name;
  null_name.null_text();
  const auto outcome = getenvvar_.call_string(null_name);
  EXPECT_TRUE(outcome.is_null);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.length, 0u);
  ::setenv("UDF_GETENVVARNAMES", "QUARN_PLAIN *", 1);
  EXPECT_EQ(get("QUARN_HIDDEN").text, "hidden") << "* shows every variable";
  EXPECT_EQ(get("UDF_SMTPPASSWORD").text, "********") << "but never the password";
  ::unsetenv("UDF_SMTPPASSWORD");
  EXPECT_TRUE(get("UDF_SMTPPASSWORD").is_null) << "an unset password is NULL, not the mask";
  for (const char* name : {"QUARN_V300", "QUARN_V254", "QUARN_EMPTY", "QUARN_PLAIN",
                           "UDF_SMTPPASSWORD_X", "QUARN_HIDDEN"})
    ::unsetenv(name);
}

TEST_F(Ostrel, GetenvvarReadsTheNameByItsLengthNotATerminator) {
  ::setenv("QUARN_AB", "ab", 1);
  ::setenv("UDF_GETENVVARNAMES", "QUARN_AB", 1);
  Args args;
  args.text("QUARN_ABC");
  UDF_ARGS* record = args.get();
  record->lengths[0] = 8;  // the server's buffer need not end after the name
  auto started = getenvvar_.init(args);
  ASSERT_FALSE(started.refused);
  const auto outcome = getenvvar_.row_string(started.initid, args);
  EXPECT_EQ(outcome.text, "ab");
  ::unsetenv("QUARN_AB");
}

}  // namespace
