#include "smtp_sink.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace quarn::test {

SmtpSink::SmtpSink(const std::string& user, const std::string& password, const std::string& tls,
                   const std::string& cert_dir)
    : process_("tests/mail/smtp_sink.py",
               {"--dir", dir_.path(), "--user", user, "--password", password, "--lifetime", "600",
                "--tls", tls, "--cert", cert_dir + "/good.pem", "--key", cert_dir + "/server.key"}) {
  const auto line = process_.read_line(std::chrono::seconds(30));
  port_ = line ? static_cast<std::uint16_t>(std::atoi(line->c_str())) : 0;
  if (port_ == 0)
    throw std::runtime_error("smtp_sink.py did not start (is python3-aiosmtpd installed?)");
}

std::vector<StoredMessage> SmtpSink::messages() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() == ".msg") names.push_back(entry.path().string());
  }
  std::sort(names.begin(), names.end());
  std::vector<StoredMessage> stored;
  for (const auto& name : names) stored.push_back(read_stored(name));
  return stored;
}

std::vector<StoredMessage> SmtpSink::wait_for(std::size_t count,
                                              std::chrono::seconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto stored = messages();
  while (stored.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stored = messages();
  }
  return stored;
}

}  // namespace quarn::test
