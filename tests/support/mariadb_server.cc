#include "mariadb_server.h"
#include "test_util.h"

#include <mysql.h>  // Connector/C (the client side); never in the plug-ins
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quarn::test {
namespace {

std::string run_output(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  *status = pclose(pipe);
  return output;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

std::string source_dir() { return QUARN_SOURCE_DIR; }

int free_loopback_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) ::close(fd);
  if (!bound) throw std::runtime_error("no free loopback port");
  return ntohs(address.sin_port);
}

Connection::Connection(const std::string& socket_path) : mysql_(mysql_init(nullptr)) {
  if (mysql_ == nullptr) throw std::runtime_error("mysql_init failed");
  if (mysql_real_connect(mysql_, nullptr, "root", "", nullptr, 0, socket_path.c_str(),
                         CLIENT_MULTI_STATEMENTS) == nullptr) {
    const std::string error = mysql_error(mysql_);
    mysql_close(mysql_);
    throw std::runtime_error("cannot connect: " + error);
  }
}

Connection::~Connection() { mysql_close(mysql_); }

QueryResult Connection::query(const std::string& sql) {
  QueryResult result{true, 0, {}, {}};
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    return {false, mysql_errno(mysql_), mysql_error(mysql_), {}};
  }
  do {
    MYSQL_RES* res = mysql_store_result(mysql_);
    if (res != nullptr) {
      const unsigned int columns = mysql_num_fields(res);
      while (MYSQL_ROW row = mysql_fetch_row(res)) {
        unsigned long* lengths = mysql_fetch_lengths(res);
        Row values;
        for (unsigned int i = 0; i < columns; ++i) {
          if (row[i] == nullptr)
            values.push_back(std::nullopt);
          else
            values.push_back(std::string(row[i], lengths[i]));
        }
        result.rows.push_back(std::move(values));
      }
      mysql_free_result(res);
    } else if (mysql_field_count(mysql_) != 0 || mysql_errno(mysql_) != 0) {
      return {false, mysql_errno(mysql_), mysql_error(mysql_), {}};
    }
    const int next = mysql_next_result(mysql_);
    if (next > 0) return {false, mysql_errno(mysql_), mysql_error(mysql_), {}};
    if (next < 0) break;
  } while (true);
  return result;
}

std::vector<Row> Connection::rows(const std::string& sql) {
  QueryResult result = query(sql);
  if (!result.ok) throw std::runtime_error("query failed: " + result.error + "\n" + sql.substr(0, 300));
  return result.rows;
}

std::optional<std::string> Connection::value(const std::string& sql) {
  auto result = rows(sql);
  if (result.size() != 1 || result[0].size() != 1)
    throw std::runtime_error("expected one value from " + sql.substr(0, 300));
  return result[0][0];
}

std::string Connection::hex_literal(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "X'";
  out.reserve(bytes.size() * 2 + 3);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out + "'";
}

std::string Connection::quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

MariaDbServer::MariaDbServer(const std::map<std::string, std::string>& environment,
                             const std::vector<std::string>& options,
                             const std::function<void(const MariaDbServer&)>& prepare) {
  char name[] = "/tmp/quarn-mariadb-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = name;
  data_dir_ = root_ + "/data";
  socket_ = root_ + "/mysqld.sock";
  log_ = root_ + "/error.log";
  const bool as_root = geteuid() == 0;
  // A private temporary directory: servers of parallel tests must not meet
  // over their temporary tables in /tmp.
  const std::string tmp = root_ + "/tmp";
  std::filesystem::create_directory(tmp);
  const std::string user = as_root ? " --user=root" : "";

  int status = 0;
  const std::string install = "mariadb-install-db --no-defaults --datadir=" + data_dir_ +
                              " --auth-root-authentication-method=normal --skip-test-db" +
                              user + " --skip-name-resolve --tmpdir=" + tmp;
  const std::string install_output = run_output(install, &status);
  if (status != 0) throw std::runtime_error("mariadb-install-db failed:\n" + install_output);

  environment_ = environment;
  argv_text_ = {
      "mariadbd",
      "--no-defaults",
      "--datadir=" + data_dir_,
      "--socket=" + socket_,
      "--tmpdir=" + tmp,
      "--skip-networking",
      "--plugin-dir=" QUARN_PLUGIN_DIR,
      "--log-error=" + log_,
      "--pid-file=" + root_ + "/mysqld.pid",
      "--innodb-buffer-pool-size=32M",
      "--innodb-log-file-size=8M",
      "--skip-log-bin",
      "--max-allowed-packet=64M",
  };
  if (as_root) argv_text_.push_back("--user=root");
  auto extra = options.begin();
  if (extra != options.end() && extra->rfind("--defaults-file=", 0) == 0) argv_text_[1] = *extra++;
  argv_text_.insert(argv_text_.end(), extra, options.end());
  if (prepare) prepare(*this);
  start();
}

void MariaDbServer::restart() {
  stop();
  start();
}

void MariaDbServer::start() {
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    for (const auto& [key, value] : environment_) setenv(key.c_str(), value.c_str(), 1);
    // What the server says before its log file is open goes there too.
    const int log_fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (log_fd >= 0) {
      dup2(log_fd, 1);
      dup2(log_fd, 2);
      close(log_fd);
    }
    std::vector<char*> argv;
    for (auto& arg : argv_text_) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp("mariadbd", argv.data());
    _exit(127);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!alive()) throw std::runtime_error("mariadbd exited at start:\n" + error_log());
    try {
      Connection probe(socket_);
      return;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  stop();
  throw std::runtime_error("mariadbd did not start:\n" + error_log());
}

MariaDbServer::~MariaDbServer() {
  stop();
  if (std::getenv("QUARN_KEEP_SERVER_DIR") == nullptr) {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
}

void MariaDbServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  reap_within(pid_, std::chrono::seconds(30));
  pid_ = -1;
}

bool MariaDbServer::alive() const {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;  // reaped: never signal a pid that may be reused
  return false;
}

std::string MariaDbServer::error_log() const { return slurp(log_); }

void MariaDbServer::install_functions() {
  Connection connection(socket_);
  // Statement by statement, so a tree that builds only some plug-ins still
  // registers those it has.
  std::istringstream script(slurp(source_dir() + "/sql/install.sql"));
  std::string statement;
  while (std::getline(script, statement, ';')) {
    const auto soname = statement.find("SONAME '");
    if (soname != std::string::npos) {
      const auto start = soname + 8;
      const std::string file = statement.substr(start, statement.find('\'', start) - start);
      if (!std::filesystem::exists(std::string(QUARN_PLUGIN_DIR) + "/" + file)) continue;
    }
    if (statement.find_first_not_of(" \t\r\n") == std::string::npos) continue;
    connection.rows(statement);
  }
}

MariaDbServer::ClientRun MariaDbServer::client(const std::string& input,
                                               const std::string& extra_options) const {
  const std::string script = root_ + "/client-input.sql";
  {
    std::ofstream out(script, std::ios::binary | std::ios::trunc);
    out << input;
  }
  int status = 0;
  const std::string output = run_output("mariadb --no-defaults -S " + socket_ + " -uroot " +
                                            extra_options + " < " + script, &status);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

MariaDbServer& MariaDbServer::shared() {
  static MariaDbServer server;
  static bool installed = false;
  if (!installed) {
    server.install_functions();
    installed = true;
  }
  return server;
}

}  // namespace quarn::test
