// A file written beside its target and renamed over it only when complete,
// so that a reader of the target sees the old file or the new one, never a
// part, and a failed write leaves the old file as it was.
#pragma once

#include <cstdio>
#include <string>

namespace quarn::thumb {

class ReplacingFile {
 public:
  // Creates a new hidden file in the target's directory: "." followed by a
  // random part, so that no name ending in ".jpg" can meet it. Its mode is
  // 0666 less the process's umask, as for any file the server creates.
  explicit ReplacingFile(const std::string& target);
  // Removes the new file unless it was committed.
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Where to write; nullptr when the file could not be created (a missing
  // or unwritable directory).
  std::FILE* stream() const { return stream_; }

  enum class Commit { kDone, kWriteFailed, kRenameFailed };

  // Flushes the data to the disk, closes the file and renames it over the
  // target; a symbolic link there is replaced, not followed. kWriteFailed
  // when the data could not be written whole, kRenameFailed when the target
  // cannot be replaced (a directory, a protected file in a sticky directory).
  Commit commit();

 private:
  std::string target_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  bool committed_ = false;
};

}  // namespace quarn::thumb
