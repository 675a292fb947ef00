// Any settings file publishes every variable consistently: the numbers as
// decimal text, every other value as inih's INIReader gives it when it reads
// the file itself (the loader parses its own copy in memory), empty ones
// unset.
#include <INIReader.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "env.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = "/dev/shm/quarn-fuzz-" + std::to_string(getpid()) + ".ini";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  using namespace quarn::settings;
  if (load_settings(true, nullptr, file) != LoadOutcome::kPublished) std::abort();

  const INIReader reader(file);
  for (const auto& [variable, expected] : read_settings(reader)) {
    const auto published = quarn::env_get(variable);
    if (expected.empty() != !published.has_value()) std::abort();
    // setenv stores the value up to its first NUL.
    if (published && *published != expected.substr(0, expected.find('\0'))) std::abort();
  }
  const auto port = quarn::env_get("UDF_SMTPPORT");
  if (!port || port->empty()) std::abort();
  for (std::size_t i = 0; i < port->size(); ++i)
    if (!((*port)[i] >= '0' && (*port)[i] <= '9') && !(i == 0 && (*port)[i] == '-')) std::abort();
  return 0;
}
