#include "test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quarn::test {

StderrCapture::StderrCapture() {
  char name[] = "/tmp/quarn-stderr-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  path_ = name;
  std::fflush(stderr);
  saved_fd_ = dup(2);
  dup2(fd, 2);
  close(fd);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_fd_, 2);
  close(saved_fd_);
  unlink(path_.c_str());
}

std::string StderrCapture::text() {
  std::fflush(stderr);
  return read_file(path_);
}

std::string StderrCapture::messages(const char* function) { return log_messages(text(), function); }

std::optional<LogLine> parse_log_line(const std::string& line) {
  // d a digit, h the hour's first place: padded with a blank, as the server
  // writes it.
  static constexpr char kForm[] = "dddd-dd-dd hd:dd:dd 0 [";
  constexpr std::size_t kFormSize = sizeof kForm - 1;
  if (line.size() < kFormSize) return std::nullopt;
  for (std::size_t i = 0; i < kFormSize; ++i) {
    const char c = line[i];
    const bool fits = kForm[i] == 'd'   ? c >= '0' && c <= '9'
                      : kForm[i] == 'h' ? c == ' ' || c == '1' || c == '2'
                                        : c == kForm[i];
    if (!fits) return std::nullopt;
  }
  const std::size_t close = line.find("] ", kFormSize);
  if (close == std::string::npos) return std::nullopt;
  LogLine parsed{};
  parsed.severity = line.substr(kFormSize, close - kFormSize);
  if (parsed.severity != "ERROR" && parsed.severity != "Warning" && parsed.severity != "Note")
    return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t size) {
    return std::stoi(line.substr(at, size));
  };
  parsed.time = {number(17, 2), number(14, 2), number(11, 2), number(8, 2),
                 number(5, 2) - 1, number(0, 4) - 1900, 0, 0, -1, 0, nullptr};
  parsed.text = line.substr(close + 2);
  return parsed;
}

namespace {

// The length of "<time> 0 [<severity>] name: " at the start of line, where
// name is function (any lower-case name for nullptr); 0 when it is not there.
std::size_t log_prefix(const std::string& line, const char* function) {
  const std::optional<LogLine> parsed = parse_log_line(line);
  if (!parsed) return 0;
  const std::size_t start = line.size() - parsed->text.size();
  std::size_t end = start;
  if (function != nullptr) {
    if (line.compare(start, std::strlen(function), function) != 0) return 0;
    end += std::strlen(function);
  } else {
    while (end < line.size() && ((line[end] >= 'a' && line[end] <= 'z') || line[end] == '_')) ++end;
    if (end == start) return 0;
  }
  return line.compare(end, 2, ": ") == 0 ? end + 2 : 0;
}

}  // namespace

std::string log_messages(const std::string& log, const char* function) {
  std::string kept;
  for (std::size_t start = 0; start < log.size();) {
    const std::size_t end = std::min(log.find('\n', start), log.size());
    const std::string line = log.substr(start, end - start);
    kept += line.substr(log_prefix(line, function)) + (end < log.size() ? "\n" : "");
    start = end + 1;
  }
  return kept;
}

TempDir::TempDir() {
  char name[] = "/tmp/quarn-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool wait_until_blocked(pid_t tid, std::chrono::milliseconds limit) {
  const std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    // The first field is the number of the system call the thread sleeps
    // in, or "running".
    std::ifstream in(file);
    long number = -1;
    if (in >> number && number == SYS_futex) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

void reap_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace quarn::test
