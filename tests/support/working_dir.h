// Runs a test inside a fresh temporary working directory, where udf_loadini
// looks for its settings file, and restores the old one afterwards.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "test_util.h"

namespace quarn::test {

class WorkingDir {
 public:
  WorkingDir() {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) throw std::runtime_error("getcwd failed");
    old_ = buffer;
    if (::chdir(dir_.path().c_str()) != 0) throw std::runtime_error("chdir failed");
  }
  ~WorkingDir() {
    if (::chdir(old_.c_str()) != 0) std::abort();
  }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

  const std::string& path() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  // Replaces the settings file at once, so a concurrent reader sees the old
  // or the new file, never a half-written one.
  void write_settings(const std::string& text, const std::string& tag = "") const {
    const std::string temporary = dir_.file(".settings" + tag);
    write_file(temporary, text);
    if (::rename(temporary.c_str(), dir_.file("quarn_udf.ini").c_str()) != 0)
      throw std::runtime_error("rename failed");
  }

 private:
  TempDir dir_;
  std::string old_;
};

inline constexpr const char* kSettingsVariables[] = {
    "UDF_IMAGEDIR",   "UDF_THUMBNAILMEMORY", "UDF_SMTPHOST",       "UDF_SMTPUSER",
    "UDF_SMTPPASSWORD", "UDF_SMTPPORT",      "UDF_SMTPTIMEOUT",    "UDF_SMTPSECURITY",
    "UDF_SMTPCAFILE", "UDF_GETENVVARNAMES",  "UDF_ERRORLOG",
    "UDF_THUMBNAILTIMEOUT", "UDF_THUMBNAILTHREADS", "UDF_SMTPHELO",  "UDF_SMTPAUTH"};

inline void clear_settings() {
  for (const char* name : kSettingsVariables) ::unsetenv(name);
}

}  // namespace quarn::test
