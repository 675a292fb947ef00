// A suite that calls the tarvik and tarvik_jpeg entry points in-process,
// loaded once the way the server loads them, with a fresh thumbnail
// directory for every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "test_util.h"
#include "udf_call.h"

namespace quarn::test {

class TarvikTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plugin_ = new Plugin("tarvik");
    tarvik_ = new Function(*plugin_, "tarvik");
    tarvik_jpeg_ = new Function(*plugin_, "tarvik_jpeg");
  }
  static void TearDownTestSuite() {
    delete tarvik_jpeg_;
    delete tarvik_;
    delete plugin_;
  }
  void SetUp() override {
    setenv("UDF_IMAGEDIR", dir_.path().c_str(), 1);
    setenv("UDF_ERRORLOG", "1", 1);  // settings published: no call looks for the file
  }
  void TearDown() override { unsetenv("UDF_IMAGEDIR"), unsetenv("UDF_ERRORLOG"); }

  static StringOutcome call(const std::string& image, const std::string& name, long long max_w,
                            long long max_h) {
    Args args;
    args.text(image).text(name).integer(max_w).integer(max_h);
    return tarvik_->call_string(args);
  }

  // tarvik_jpeg's value: the JPEG, or nothing with is_null.
  static StringOutcome call_jpeg(const std::string& image, long long max_w, long long max_h) {
    Args args;
    args.text(image).integer(max_w).integer(max_h);
    return tarvik_jpeg_->call_string(args);
  }

  static inline Plugin* plugin_ = nullptr;
  static inline Function* tarvik_ = nullptr;
  static inline Function* tarvik_jpeg_ = nullptr;
  TempDir dir_;
};

}  // namespace quarn::test
