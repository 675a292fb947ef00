// A client connection to the throwaway server, inside the benchmark's own
// database.
#pragma once

#include <memory>
#include <string>

#include "mariadb_server.h"

namespace quarn::bench {

inline std::unique_ptr<quarn::test::Connection> bench_connection(const quarn::test::MariaDbServer& server) {
  auto connection = std::make_unique<quarn::test::Connection>(server.socket_path());
  connection->rows("CREATE DATABASE IF NOT EXISTS bench");
  connection->rows("USE bench");
  return connection;
}

}  // namespace quarn::bench
