// One thumbnail in a fresh process, for the memory test: prints what the
// image stage reserved for it and how far the process's peak resident size
// rose above its size before the call (bytes), or fails.
//   thumbnail_memory_probe IMAGE BOX
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "image_stage.h"

namespace {

long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  const std::string name = std::string(field) + ":";
  for (std::string line; std::getline(in, line);)
    if (line.rfind(name, 0) == 0) return std::strtol(line.c_str() + name.size(), nullptr, 10);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto box = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  // The peak starts again from the present size ("5": reset the peak).
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = status_kib("VmRSS");
  const quarn::thumb::Thumbnail made = quarn::thumb::run_image_stage(
      bytes.data(), bytes.size(), box, box, {std::uint64_t{1} << 40});
  const long peak = status_kib("VmHWM");
  if (made.result.stage != quarn::thumb::Stage::kDone || before < 0 || peak < 0) return 1;
  std::printf("%llu %lld\n", static_cast<unsigned long long>(made.memory),
              static_cast<long long>(peak - before) * 1024);
  return 0;
}
