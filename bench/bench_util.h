// Small helpers shared by the benchmark programs: clocks, medians, settings
// from the environment, tables and a JSON writer.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace quarn::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Runs work(t) for t in 0..k-1, each on its own thread; returns the wall
// time of all and, in elapsed, each one's own. The first failure is thrown
// once all have ended.
template <typename Work>
double run_concurrently(int k, Work work, std::vector<double>& elapsed) {
  std::vector<std::thread> threads;
  std::vector<std::string> errors(static_cast<std::size_t>(k));
  elapsed.assign(static_cast<std::size_t>(k), 0.0);
  const auto start = Clock::now();
  for (int t = 0; t < k; ++t) {
    threads.emplace_back([&, t] {
      try {
        const auto mine = Clock::now();
        work(t);
        elapsed[static_cast<std::size_t>(t)] = seconds_since(mine);
      } catch (const std::exception& e) {
        errors[static_cast<std::size_t>(t)] = e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double wall = seconds_since(start);
  for (const auto& e : errors)
    if (!e.empty()) throw std::runtime_error(e);
  return wall;
}

inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t index = static_cast<std::size_t>(p * (values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// A positive count from the environment, else the default.
inline long env_count(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value <= 0) throw std::runtime_error(std::string("bad value for ") + name);
  return value;
}

// The whole file in one allocation: the peak size of a process that makes
// one thumbnail of a large image counts the bytes once.
inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  in.clear();
  in.seekg(0);
  if (size <= 0) {  // files under /proc tell no size
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("cannot read " + path);
  return bytes;
}

inline std::string fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

// A plain text table with right-aligned columns after the first.
class Table {
 public:
  explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void print(const std::string& title) const {
    std::vector<std::size_t> width(rows_[0].size(), 0);
    for (const auto& row : rows_)
      for (std::size_t i = 0; i < row.size() && i < width.size(); ++i)
        width[i] = std::max(width[i], row[i].size());
    std::printf("\n%s\n", title.c_str());
    for (std::size_t r = 0; r < rows_.size(); ++r) {
      std::string line;
      for (std::size_t i = 0; i < rows_[r].size() && i < width.size(); ++i) {
        const std::string& cell = rows_[r][i];
        const std::string pad(width[i] - cell.size(), ' ');
        line += i == 0 ? cell + pad : "  " + pad + cell;
      }
      std::printf("  %s\n", line.c_str());
      if (r == 0) {
        std::size_t total = 0;
        for (std::size_t w : width) total += w + 2;
        std::printf("  %s\n", std::string(total - 2, '-').c_str());
      }
    }
    std::fflush(stdout);
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

// Just enough JSON for the summaries: objects, arrays, numbers, strings.
class Json {
 public:
  static Json number(double value) {
    Json j;
    std::ostringstream out;
    out.precision(6);
    out << value;
    j.text_ = out.str();
    return j;
  }
  static Json integer(long long value) {
    Json j;
    j.text_ = std::to_string(value);
    return j;
  }
  static Json boolean(bool value) {
    Json j;
    j.text_ = value ? "true" : "false";
    return j;
  }
  static Json string(const std::string& value) {
    Json j;
    j.text_ = "\"";
    for (const char c : value) {
      if (c == '"' || c == '\\') {
        j.text_ += '\\';
        j.text_ += c;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", c);
        j.text_ += escape;
      } else {
        j.text_ += c;
      }
    }
    j.text_ += "\"";
    return j;
  }
  static Json array(const std::vector<Json>& items) {
    Json j;
    j.text_ = "[";
    for (std::size_t i = 0; i < items.size(); ++i) j.text_ += (i ? ", " : "") + items[i].text_;
    j.text_ += "]";
    return j;
  }
  static Json numbers(const std::vector<double>& values) {
    std::vector<Json> items;
    for (double v : values) items.push_back(number(v));
    return array(items);
  }
  // Keys keep their insertion order.
  static Json object(const std::vector<std::pair<std::string, Json>>& members) {
    Json j;
    j.text_ = "{";
    for (std::size_t i = 0; i < members.size(); ++i)
      j.text_ += (i ? ", " : "") + string(members[i].first).text_ + ": " + members[i].second.text_;
    j.text_ += "}";
    return j;
  }
  const std::string& text() const { return text_; }
  void write(const std::string& path) const {
    std::ofstream out(path, std::ios::trunc);
    out << text_ << "\n";
    if (!out) throw std::runtime_error("cannot write " + path);
  }

 private:
  std::string text_ = "null";
};

// Load average, so every summary says how busy the machine was.
inline std::vector<double> load_average() {
  double values[3] = {0, 0, 0};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &values[0], &values[1], &values[2]) != 3)
      values[0] = values[1] = values[2] = -1;
    std::fclose(f);
  }
  return {values[0], values[1], values[2]};
}

// Resident set size of a process in KiB, from /proc/<pid>/status; with
// "VmHWM:" its peak.
inline long rss_kib(long pid, const std::string& field = "VmRSS:") {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
  }
  throw std::runtime_error("no " + field + " for pid " + std::to_string(pid));
}

// Sets a process's peak resident size (VmHWM) back to its resident size now
// (Linux 4.0 and later), so that a peak can be measured from here on.
inline void reset_peak(long pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5" << std::flush;
  if (!clear) throw std::runtime_error("cannot reset VmHWM of pid " + std::to_string(pid));
}

}  // namespace quarn::bench
