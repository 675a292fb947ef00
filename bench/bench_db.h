// A client connection to the throwaway server, inside the benchmark's own
// database.
#pragma once

#include <memory>
#include <string>

#include "bench_util.h"
#include "mariadb_server.h"

namespace quarn::bench {

inline std::unique_ptr<quarn::test::Connection> bench_connection(const quarn::test::MariaDbServer& server) {
  auto connection = std::make_unique<quarn::test::Connection>(server.socket_path());
  connection->rows("CREATE DATABASE IF NOT EXISTS bench");
  connection->rows("USE bench");
  return connection;
}

// The server's process id, for its CPU time and resident size.
inline long server_pid(quarn::test::Connection& connection) {
  return std::stol(read_bytes(*connection.value("SELECT @@pid_file")));
}

// A table ids holding 1..n or more (doubling), to call a function n times
// with "FROM ids WHERE id <= n".
inline void make_ids_table(quarn::test::Connection& connection, long n) {
  connection.rows("CREATE TABLE ids (id INT PRIMARY KEY) ENGINE=InnoDB");
  connection.rows("INSERT INTO ids VALUES (1)");
  for (long have = 1; have < n; have *= 2)
    connection.rows("INSERT INTO ids SELECT id + " + std::to_string(have) + " FROM ids");
}

}  // namespace quarn::bench
