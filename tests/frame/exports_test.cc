// Each plug-in exports its entry points and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "test_util.h"

namespace {

struct ExportCase {
  const char* plugin;
  std::set<std::string> entry_points;
};

std::set<std::string> defined_dynamic_symbols(const std::string& path) {
  FILE* pipe = popen(("nm -D --defined-only " + path + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << output;
  std::set<std::string> names;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (fields >> address >> kind >> name) names.insert(name);
  }
  return names;
}

class Exports : public ::testing::TestWithParam<ExportCase> {};

TEST_P(Exports, OnlyEntryPoints) {
  const std::string path = std::string(QUARN_PLUGIN_DIR) + "/" + GetParam().plugin + ".so";
  ASSERT_TRUE(quarn::test::file_exists(path)) << path;
  EXPECT_EQ(defined_dynamic_symbols(path), GetParam().entry_points);
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, Exports,
    ::testing::Values(ExportCase{"tarvik",
                                 {"tarvik_init", "tarvik", "tarvik_deinit", "tarvik_jpeg_init",
                                  "tarvik_jpeg", "tarvik_jpeg_deinit", "tarvik_status_init",
                                  "tarvik_status", "tarvik_status_deinit"}},
                      ExportCase{"velmar",
                                 {"velmar_init", "velmar", "velmar_deinit", "velmar_status_init",
                                  "velmar_status", "velmar_status_deinit"}},
                      ExportCase{"ostrel",
                                 {"udf_loadini_init", "udf_loadini", "udf_loadini_deinit",
                                  "udf_getenvvar_init", "udf_getenvvar", "udf_getenvvar_deinit",
                                  "udf_settings_init", "udf_settings", "udf_settings_deinit"}}),
    [](const auto& info) { return std::string(info.param.plugin); });

}  // namespace
