// A throwaway MariaDB server for tests: own data dir, socket and plugin dir,
// no network port unless a test asks for one on loopback. Started once per
// test program, stopped at its end.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct st_mysql;

namespace quarn::test {

using Row = std::vector<std::optional<std::string>>;

struct QueryResult {
  bool ok;
  unsigned int error_code;
  std::string error;  // the server's error text when !ok
  std::vector<Row> rows;
};

class Connection {
 public:
  explicit Connection(const std::string& socket_path);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  QueryResult query(const std::string& sql);
  // Runs the statement and requires success; returns the rows.
  std::vector<Row> rows(const std::string& sql);
  // The single value of a one-row, one-column statement.
  std::optional<std::string> value(const std::string& sql);
  // A SQL literal (X'..') holding exactly these bytes.
  static std::string hex_literal(const std::string& bytes);
  static std::string quote(const std::string& text);

 private:
  st_mysql* mysql_;
};

class MariaDbServer {
 public:
  // Starts a server whose process environment gets these extra variables
  // and whose command line ends in these options, which win over the usual
  // ones (a replication primary: "--log-bin", "--server-id=1" and, on
  // loopback only, "--skip-networking=0", "--bind-address=127.0.0.1",
  // "--port=N"). A first option "--defaults-file=F" takes the place of
  // "--no-defaults": the server reads F, and so do the scripts it runs.
  // `prepare`, when given, runs once the data directory is made, before the
  // server first starts.
  explicit MariaDbServer(const std::map<std::string, std::string>& environment = {},
                         const std::vector<std::string>& options = {},
                         const std::function<void(const MariaDbServer&)>& prepare = nullptr);
  ~MariaDbServer();
  MariaDbServer(const MariaDbServer&) = delete;
  MariaDbServer& operator=(const MariaDbServer&) = delete;

  // The program's one shared server, started on first use with the
  // functions of every built plug-in registered.
  static MariaDbServer& shared();

  const std::string& data_dir() const { return data_dir_; }  // its working directory
  const std::string& root_dir() const { return root_; }  // holds the data directory, socket, log
  const std::string& socket_path() const { return socket_; }
  std::string error_log() const;  // what the server wrote to standard error
  bool alive() const;
  // Registers the functions of sql/install.sql.
  void install_functions();
  // Stops the server (as at shutdown) and starts it again on the same data
  // directory, with a fresh process environment from this program's.
  void restart();

  struct ClientRun {
    int status;          // the mariadb client's exit status
    std::string output;  // its standard output and error
  };
  // Feeds the text to the mariadb command-line client, as an administrator
  // would; extra_options e.g. "--table".
  ClientRun client(const std::string& input, const std::string& extra_options = "") const;

 private:
  void start();
  void stop();
  std::map<std::string, std::string> environment_;
  std::vector<std::string> argv_text_;
  std::string root_;
  std::string data_dir_;
  std::string socket_;
  std::string log_;
  mutable int pid_ = -1;
};

std::string source_dir();

// A loopback port that was free a moment ago, for a server to listen on.
int free_loopback_port();

}  // namespace quarn::test
