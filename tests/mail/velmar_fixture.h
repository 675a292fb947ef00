// A suite that calls the velmar entry point in-process, loaded once the way
// the server loads it, against one test SMTP server on loopback that takes
// the login "ab"/"secret". Each test starts with velmar pointed at it, and
// with smtp-helo set to kClientName.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "smtp_peer.h"
#include "udf_call.h"

namespace quarn::test {

class VelmarTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    plugin_ = new Plugin("velmar");
    server_ = new ScriptedSmtpServer("ab", "secret");
  }
  static void TearDownTestSuite() {
    delete server_;
    delete plugin_;
  }
  void SetUp() override { configure("127.0.0.1", server_->port()); }
  void TearDown() override {
    for (const char* name : {"UDF_SMTPHOST", "UDF_SMTPUSER", "UDF_SMTPPASSWORD", "UDF_SMTPPORT",
                             "UDF_SMTPTIMEOUT", "UDF_SMTPHELO", "UDF_ERRORLOG"})
      unsetenv(name);
  }

  static void configure(const std::string& host, unsigned port) {
    setenv("UDF_SMTPHOST", host.c_str(), 1);
    setenv("UDF_SMTPUSER", "ab", 1);
    setenv("UDF_SMTPPASSWORD", "secret", 1);
    setenv("UDF_SMTPPORT", std::to_string(port).c_str(), 1);
    // A fixed client name: the machine's own differs from host to host.
    setenv("UDF_SMTPHELO", kClientName, 1);
    // Settings published: no call looks for a settings file.
    setenv("UDF_ERRORLOG", "loaded", 1);
  }

  static constexpr char kClientName[] = "client.example.test";

  static inline Plugin* plugin_ = nullptr;
  static inline ScriptedSmtpServer* server_ = nullptr;
};

}  // namespace quarn::test
