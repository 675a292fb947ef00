#include "smtp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace quarn::test {

PythonProcess::PythonProcess(const std::string& script, const std::vector<std::string>& args) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> argv_text = {"python3", std::string(QUARN_SOURCE_DIR) + "/" + script};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    execv("/usr/bin/python3", argv.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  input_ = to_child[1];
  output_ = from_child[0];
}

PythonProcess::~PythonProcess() {
  close(input_);
  reap_within(pid_, std::chrono::seconds(10));
  close(output_);
}

std::optional<std::string> PythonProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pending_.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{output_, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
      return std::nullopt;
    char buffer[256];
    const ssize_t n = read(output_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  const auto end = pending_.find('\n');
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

void PythonProcess::write_line(const std::string& line) {
  const std::string bytes = line + "\n";
  if (write(input_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("cannot write to the Python server");
}

StoredMessage read_stored(const std::string& path) {
  const std::string bytes = read_file(path);
  const auto first = bytes.find('\n');
  const auto second = bytes.find('\n', first + 1);
  return {bytes.substr(0, first), bytes.substr(first + 1, second - first - 1),
          bytes.substr(second + 1)};
}

namespace {

// Each character of value is of the kind its place in form names: '9' a
// digit, 'x' a lower-case hex digit, 'a' a letter, '+' a sign; any other
// stands for itself.
bool fits(const std::string& value, const std::string& form) {
  if (value.size() != form.size()) return false;
  for (std::size_t i = 0; i < form.size(); ++i) {
    const char c = value[i];
    const bool ok = form[i] == '9'   ? std::isdigit(static_cast<unsigned char>(c)) != 0
                    : form[i] == 'x' ? (std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'))
                    : form[i] == 'a' ? std::isalpha(static_cast<unsigned char>(c)) != 0
                    : form[i] == '+' ? c == '+' || c == '-'
                                     : c == form[i];
    if (!ok) return false;
  }
  return true;
}

bool message_id_form(const std::string& value) {
  const std::size_t at = 33;
  if (value.size() < at + 3 || !fits(value.substr(0, at + 1), "<" + std::string(32, 'x') + "@") ||
      value.back() != '>')
    return false;
  const std::string domain = value.substr(at + 1, value.size() - at - 2);
  return domain.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
         std::string::npos;
}

}  // namespace

std::string masked_stamp(std::string data) {
  const auto mask = [&data](const std::string& name, auto has_form, const char* shown) {
    const std::string start = "\r\n" + name + ": ";
    const auto at = data.find(start);
    if (at == std::string::npos) return;
    const auto value = at + start.size();
    const auto end = data.find("\r\n", value);
    if (end == std::string::npos || !has_form(data.substr(value, end - value))) return;
    data.replace(value, end - value, shown);
  };
  mask("Date", [](const std::string& v) { return fits(v, "aaa, 99 aaa 9999 99:99:99 +9999"); },
       "(date)");
  mask("Message-ID", message_id_form, "(id)");
  return data;
}

std::string velmar_header(const std::string& subject, const std::string& from,
                          const std::string& to, const std::string& type) {
  const auto line = [](const std::string& name, const std::string& value) {
    return name + (value.empty() ? ":" : ": " + value) + "\r\n";
  };
  return line("Subject", subject) + line("From", from) + line("To", to) +
         "Date: (date)\r\nMessage-ID: (id)\r\nMIME-Version: 1.0\r\nContent-Type: text/" + type +
         "; charset=utf-8\r\n";
}

TestCertificates::TestCertificates() {
  const std::string command = "bash '" + std::string(QUARN_SOURCE_DIR) +
                              "/tests/support/make_test_certs.sh' '" + dir_.path() + "'";
  if (std::system(command.c_str()) != 0)
    throw std::runtime_error("make_test_certs.sh failed (is openssl installed?)");
}

ScriptedSmtpServer::ScriptedSmtpServer(const std::string& user, const std::string& password,
                                       const std::string& tls_dir, const std::string& address)
    : process_("tests/support/smtp_server.py",
               {"--dir", dir_.path(), "--user", user, "--password", password, "--tls-dir",
                tls_dir, "--address", address}) {
  const auto line = process_.read_line(std::chrono::seconds(30));
  if (!line || line->rfind("port ", 0) != 0)
    throw std::runtime_error("smtp_server.py did not start");
  port_ = static_cast<std::uint16_t>(std::stoi(line->substr(5)));
}

std::string ScriptedSmtpServer::answer(const std::string& line) {
  process_.write_line(line);
  for (;;) {
    const auto reply = process_.read_line(std::chrono::seconds(10));
    if (!reply) throw std::runtime_error("smtp_server.py did not answer: " + line);
    if (reply->rfind("end ", 0) != 0) return *reply;
    ended_.push_back(*reply);
  }
}

void ScriptedSmtpServer::behave(const std::string& json) {
  if (answer(json) != "ok") throw std::runtime_error("smtp_server.py did not take: " + json);
}

int ScriptedSmtpServer::accepted() {
  const std::string reply = answer("accepted");
  if (reply.rfind("accepted ", 0) != 0) throw std::runtime_error("smtp_server.py: " + reply);
  return std::stoi(reply.substr(9));
}

ScriptedSmtpServer::Session ScriptedSmtpServer::next_session(std::chrono::seconds timeout) {
  if (!ended_.empty()) {
    const std::string line = ended_.front();
    ended_.pop_front();
    return session(line);
  }
  const auto line = process_.read_line(timeout);
  if (!line || line->rfind("end ", 0) != 0)
    throw std::runtime_error("smtp_server.py: no connection ended in time");
  return session(*line);
}

ScriptedSmtpServer::Session ScriptedSmtpServer::session(const std::string& end_line) const {
  char name[16];
  std::snprintf(name, sizeof name, "%04d", std::stoi(end_line.substr(4)));
  const std::string base = dir_.file(name);
  Session session{read_file(base + ".wire"), read_file(base + ".clear"), read_file(base + ".sni"),
                  std::nullopt, end_line.size() > 8 &&
                                    end_line.compare(end_line.size() - 8, 8, " orderly") == 0,
                  {}, 0};
  for (int m = 1;; ++m) {
    char message[16];
    std::snprintf(message, sizeof message, "-%03d.msg", m);
    if (!file_exists(base + message)) break;
    session.all.push_back(read_stored(base + message));
  }
  if (!session.all.empty()) session.stored = session.all.front();
  session.pipelined_groups = std::stoi("0" + read_file(base + ".groups"));
  session.quit_answered = read_file(base + ".quit") == "1";
  return session;
}

std::vector<StoredMessage> ScriptedSmtpServer::messages() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
    if (entry.path().extension() == ".msg") names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  std::vector<StoredMessage> stored;
  for (const auto& name : names) stored.push_back(read_stored(name));
  return stored;
}

DeadPort::DeadPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("cannot reserve a loopback port");
  port_ = ntohs(address.sin_port);
}

DeadPort::~DeadPort() { close(fd_); }

}  // namespace quarn::test
