// SmtpSession on its own: every address is tried, and the close wait is the
// constructor's to set.
#include <gtest/gtest.h>

#include <chrono>

#include "capture_server.h"
#include "smtp_session.h"

namespace {

using quarn::mail::SmtpSession;
using tcp = boost::asio::ip::tcp;

quarn::mail::OutgoingMessage message() {
  return quarn::mail::outgoing_message({"f@x.test", "t@x.test", "s", "b", false},
                                      {"Thu, 01 Jan 2026 00:00:00 +0000", "<1@x.test>"});
}

tcp::endpoint loopback(const char* address, std::uint16_t port) {
  return {boost::asio::ip::make_address(address), port};
}

TEST(Session, TriesEveryAddressUntilOneAnswers) {
  // As "localhost" often resolves: ::1 first, where nothing listens.
  quarn::test::DeadPort dead;
  quarn::test::CaptureServer server;
  const std::vector<tcp::endpoint> endpoints = {loopback("::1", dead.port()),
                                                loopback("127.0.0.1", dead.port()),
                                                loopback("127.0.0.1", server.port())};
  SmtpSession session(tcp::resolver::results_type::create(endpoints.begin(), endpoints.end(),
                                                          "localhost", "25"),
                      "localhost", "u", "p");
  const auto sent = message();
  session.send(sent);
  EXPECT_FALSE(session.failed()) << session.failure_text();
  EXPECT_EQ(server.wait_for(1)[0].received.substr(0, 16), "EHLO localhost\r\n");
}

TEST(Session, TheCloseWaitIsBoundedByTheConstructorsValue) {
  // The server answers everything but never closes: the outcome is known
  // at its reply to the data, and the wait for its close ends on time.
  quarn::test::CaptureServer server(quarn::test::CaptureServer::Mode::kHold);
  const std::vector<tcp::endpoint> endpoints = {loopback("127.0.0.1", server.port())};
  SmtpSession session(tcp::resolver::results_type::create(endpoints.begin(), endpoints.end(),
                                                          "127.0.0.1", "25"),
                      "127.0.0.1", "u", "p", std::chrono::seconds(5),
                      std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  const auto sent = message();
  session.send(sent);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(session.failed()) << session.failure_text();
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::seconds(2));
}

}  // namespace
