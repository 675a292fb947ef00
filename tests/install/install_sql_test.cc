// sql/install.sql and sql/uninstall.sql, run with the mariadb client.
#include <gtest/gtest.h>

#include <string>

#include "mariadb_server.h"
#include "test_util.h"

namespace {

using quarn::test::MariaDbServer;

TEST(InstallScripts, InstallTwiceUninstallTwiceAndInstallAgain) {
  MariaDbServer server;
  const std::string install = quarn::test::read_file(quarn::test::source_dir() + "/sql/install.sql");
  const std::string uninstall =
      quarn::test::read_file(quarn::test::source_dir() + "/sql/uninstall.sql");
  const std::string list = "SELECT name, ret, dl FROM mysql.func ORDER BY name";
  const std::string registered =
      "name\tret\tdl\n"
      "tarvik\t0\ttarvik.so\n"
      "tarvik_jpeg\t0\ttarvik.so\n"
      "tarvik_status\t0\ttarvik.so\n"
      "udf_getenvvar\t0\tostrel.so\n"
      "udf_loadini\t2\tostrel.so\n"
      "udf_settings\t0\tostrel.so\n"
      "velmar\t0\tvelmar.so\n"
      "velmar_status\t0\tvelmar.so\n";

  for (int round = 0; round < 2; ++round) {
    const auto run = server.client(install);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(server.client(list).output, registered) << "after install " << round;
  }
  const auto works = server.client(
      "SELECT udf_getenvvar('QUARN_NO_SUCH_VARIABLE') IS NULL AS unset, "
      "LEFT(velmar('', 'a', 's', 'b'), 6) AS mail, LEFT(tarvik('x', 'y', 1, 1), 5) AS thumb");
  EXPECT_EQ(works.output, "unset\tmail\tthumb\n1\tError:\tError\n");

  for (int round = 0; round < 2; ++round) {
    const auto run = server.client(uninstall);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(server.client(list).output, "") << "after uninstall " << round;
  }
  EXPECT_NE(server.client("SELECT udf_getenvvar('PATH')").status, 0);

  const auto again = server.client(install);
  ASSERT_EQ(again.status, 0) << again.output;
  EXPECT_EQ(server.client(list).output, registered);
  EXPECT_TRUE(server.alive());
}

}  // namespace
