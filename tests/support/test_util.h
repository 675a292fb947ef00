// Small helpers shared by the unit tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace quarn::test {

// Collects what the process writes to standard error while it lives.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text();  // everything written so far
  // The log lines of one function written so far, without their time and
  // name, each with its line end; a line of another form stays whole.
  std::string messages(const char* function);

 private:
  int saved_fd_;
  std::string path_;
};

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Waits until the thread `tid` of this process sleeps in a futex wait (a
// lock or condition it cannot take yet); false when it has not within the
// limit. Lets a test know a call is blocked instead of guessing with sleeps.
bool wait_until_blocked(pid_t tid, std::chrono::milliseconds limit);

// Waits for the child to end; after the limit it is killed and reaped.
void reap_within(pid_t pid, std::chrono::milliseconds limit);

// A line of the server's error log: "2026-12-09  9:30:07 0 [Note] name: text"
// (the server's own lines have no "name: ").
struct LogLine {
  std::tm time;          // as written: local time
  std::string severity;  // ERROR, Warning or Note
  std::string text;      // after the severity
};
std::optional<LogLine> parse_log_line(const std::string& line);

// Our log lines "<time> 0 [<severity>] function: text" as their texts, each
// with its line end; function nullptr takes any name; other lines stay whole.
std::string log_messages(const std::string& log, const char* function = nullptr);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

}  // namespace quarn::test
