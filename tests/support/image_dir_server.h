// A suite's throwaway server whose UDF_IMAGEDIR is a fresh temporary
// directory, with one connection per test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "mariadb_server.h"
#include "test_util.h"

namespace quarn::test {

class ImageDirServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    server_ = std::make_unique<MariaDbServer>(
        std::map<std::string, std::string>{{"UDF_IMAGEDIR", dir_->path()}});
    server_->install_functions();
  }
  static void TearDownTestSuite() {
    server_.reset();
    dir_.reset();
  }
  void SetUp() override { db_ = std::make_unique<Connection>(server_->socket_path()); }

  static inline std::unique_ptr<TempDir> dir_;
  static inline std::unique_ptr<MariaDbServer> server_;
  std::unique_ptr<Connection> db_;
};

}  // namespace quarn::test
