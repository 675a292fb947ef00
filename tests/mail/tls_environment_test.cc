// OpenSSL reads the environment itself (OPENSSL_CONF when it starts,
// SSL_CERT_FILE and SSL_CERT_DIR for the system's trust store), through
// secure_getenv. Those reads must happen under the environment lock, or a
// reload's setenv can free the array they walk. This program defines both
// lookups, so the dynamic loader binds OpenSSL's calls to the counting
// versions below.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "env_watch.h"
#include "smtp_peer.h"
#include "test_util.h"
#include "udf_call.h"

namespace {

quarn::test::EnvWatch openssl_reads([](const char* name) {
  return std::strncmp(name, "OPENSSL", 7) == 0 || std::strncmp(name, "SSL_CERT", 8) == 0;
});

}  // namespace

extern "C" __attribute__((visibility("default"))) char* getenv(const char* name) {
  return openssl_reads.lookup(name);
}
extern "C" __attribute__((visibility("default"))) char* secure_getenv(const char* name) {
  return openssl_reads.lookup(name);
}

namespace {

using quarn::test::Args;
using quarn::test::Function;
using quarn::test::Plugin;

TEST(TlsEnvironment, OpenSslReadsTheEnvironmentOnlyUnderTheLock) {
  quarn::test::TestCertificates certs;
  quarn::test::ScriptedSmtpServer server("u", "p", certs.dir());
  server.behave(R"({"tls": true})");
  Plugin plugin("velmar");
  auto* lock = static_cast<pthread_rwlock_t*>(plugin.symbol(quarn::test::kEnvLockSymbol));
  ASSERT_NE(lock, nullptr);
  for (const auto& [name, value] :
       {std::pair<const char*, std::string>{"UDF_SMTPHOST", "127.0.0.1"},
        {"UDF_SMTPUSER", "u"},
        {"UDF_SMTPPASSWORD", "p"},
        {"UDF_SMTPPORT", std::to_string(server.port())},
        {"UDF_SMTPSECURITY", "tls"}})
    ::setenv(name, value.c_str(), 1);

  // OpenSSL's start and the system's store, then a CA file: two contexts,
  // two handshakes (the first refuses the test CA's certificate).
  openssl_reads.watch(lock);
  Args args;
  args.text("t@example.test").text("f@example.test").text("s").text("b").integer(0);
  const auto system_store = Function(plugin, "velmar").call_string(args);
  ::setenv("UDF_SMTPCAFILE", certs.file("ca.pem").c_str(), 1);
  const auto ca_file = Function(plugin, "velmar").call_string(args);
  openssl_reads.watch(nullptr);
  EXPECT_EQ(system_store.text, "There was an error sending the message.");
  EXPECT_EQ(ca_file.text, "OK");
  server.next_session();
  server.next_session();
  // Without reads seen, the interposition did not work and proves nothing.
  EXPECT_GE(openssl_reads.reads(), 2);
  EXPECT_EQ(openssl_reads.unlocked_reads(), 0);
  for (const char* name : {"UDF_SMTPHOST", "UDF_SMTPUSER", "UDF_SMTPPASSWORD", "UDF_SMTPPORT",
                           "UDF_SMTPSECURITY", "UDF_SMTPCAFILE"})
    ::unsetenv(name);
}

}  // namespace
