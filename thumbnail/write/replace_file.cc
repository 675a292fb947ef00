#include "write/replace_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace quarn::thumb {
namespace {

// Letters and digits only: never a '.', so the name cannot end in ".jpg".
std::string random_part() {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr std::size_t kLength = 12;
  unsigned char bytes[kLength];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the kernel's randomness the name is only unlikely to be
    // taken; O_EXCL still refuses one that is.
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t mix = static_cast<std::uint64_t>(
                            std::chrono::steady_clock::now().time_since_epoch().count()) ^
                        (counter.fetch_add(1) * 0x9E3779B97F4A7C15ULL) ^
                        static_cast<std::uint64_t>(getpid());
    for (unsigned char& b : bytes) {
      mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
      b = static_cast<unsigned char>(mix >> 56);
    }
  }
  std::string part;
  for (unsigned char b : bytes) part += kAlphabet[b % (sizeof kAlphabet - 1)];
  return part;
}

// The directory part of a path, with its final '/'; empty for the working
// directory.
std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

ReplacingFile::ReplacingFile(const std::string& target) : target_(target) {
  const std::string directory = directory_of(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = directory + ".tarvik-" + random_part();
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return;
    }
    stream_ = ::fdopen(fd, "wb");
    if (stream_ == nullptr) {
      ::close(fd);
      ::unlink(name.c_str());
      return;
    }
    temporary_ = std::move(name);
    return;
  }
}

ReplacingFile::~ReplacingFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (!committed_ && !temporary_.empty()) ::unlink(temporary_.c_str());
}

ReplacingFile::Commit ReplacingFile::commit() {
  if (stream_ == nullptr) return Commit::kWriteFailed;
  // A write may fail only as the buffered tail is flushed, or as the data
  // reaches the disk (a full disk, a quota).
  bool whole = std::fflush(stream_) == 0 && ::fsync(fileno(stream_)) == 0;
  whole = std::fclose(stream_) == 0 && whole;
  stream_ = nullptr;
  if (!whole) return Commit::kWriteFailed;
  // The directory is not synced as well: that would cost a second wait for
  // the disk on every thumbnail, and a crash before the file system commits
  // the rename (ext4: within 5 s) brings back the previous thumbnail, whole.
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return Commit::kRenameFailed;
  committed_ = true;
  return Commit::kDone;
}

}  // namespace quarn::thumb
