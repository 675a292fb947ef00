#include "smtp_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace quarn::test {

SmtpSink::SmtpSink(const std::string& user, const std::string& password) {
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  const std::string script = std::string(QUARN_SOURCE_DIR) + "/tests/mail/smtp_sink.py";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    // Debian's interpreter: the one that has aiosmtpd.
    execl("/usr/bin/python3", "python3", script.c_str(), "--dir", dir_.path().c_str(),
          "--user", user.c_str(), "--password", password.c_str(), "--lifetime", "600",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  stdin_fd_ = to_child[1];

  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{from_child[0], POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[64];
    const ssize_t n = read(from_child[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  close(from_child[0]);
  port_ = static_cast<std::uint16_t>(std::atoi(line.c_str()));
  if (port_ == 0) {
    close(stdin_fd_);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("smtp_sink.py did not start (is python3-aiosmtpd installed?)");
  }
}

SmtpSink::~SmtpSink() {
  close(stdin_fd_);  // the script ends when its input closes
  reap_within(pid_, std::chrono::seconds(10));
}

std::vector<StoredMessage> SmtpSink::messages() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() == ".msg") names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<StoredMessage> stored;
  for (const auto& name : names) {
    const std::string bytes = read_file(name);
    const auto first = bytes.find('\n');
    const auto second = bytes.find('\n', first + 1);
    stored.push_back({bytes.substr(0, first), bytes.substr(first + 1, second - first - 1),
                      bytes.substr(second + 1)});
  }
  return stored;
}

std::vector<StoredMessage> SmtpSink::wait_for(std::size_t count,
                                              std::chrono::seconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto stored = messages();
  while (stored.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stored = messages();
  }
  return stored;
}

}  // namespace quarn::test
