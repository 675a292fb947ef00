// One thumbnail in a fresh process, for the memory test: prints what the
// image stage reserved for it and how far the peak resident size rose over
// the size before the call, in bytes; fails without a thumbnail.
//   thumbnail_memory_probe IMAGE BOX [THREADS]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "image_stage.h"

long status_kib(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  return -1;
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto box = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const auto threads = argc == 4 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1u;
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long before = status_kib("VmRSS");
  const quarn::thumb::Thumbnail made =
      quarn::thumb::run_image_stage(bytes.data(), bytes.size(), box, box, {std::uint64_t{1} << 40}, {}, threads);
  const long peak = status_kib("VmHWM");
  if (made.result.stage != quarn::thumb::Stage::kDone || before < 0 || peak < 0) return 1;
  std::printf("%llu %lld\n", static_cast<unsigned long long>(made.memory), (peak - before) * 1024LL);
  return 0;
}
