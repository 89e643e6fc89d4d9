#pragma once

#include "../runtime/TestSupport.hpp"

#include "platform/log/LogStore.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pd::deckinput::test {

using runtime::test::MainLoop;

// Runs the main loop for a while, whatever happens.
inline void runFor(MainLoop& loop, std::chrono::milliseconds duration) {
  const auto until = std::chrono::steady_clock::now() + duration;
  loop.runUntil([&] { return std::chrono::steady_clock::now() >= until; }, duration + std::chrono::seconds(5));
}

// The "osc" lines written since construction.
class LogCapture {
public:
  LogCapture() : start_(platform::log::LogStore::shared().lastSequence()) {}

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    for (auto& entry : platform::log::LogStore::shared().entriesAfter(start_)) {
      if (entry.category == "osc") {
        result.push_back(std::move(entry.message));
      }
    }
    return result;
  }

  std::size_t count(std::string_view prefix) const {
    const auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
  }

  // The first line that starts with prefix, or "".
  std::string first(std::string_view prefix) const {
    for (const auto& line : lines()) {
      if (line.starts_with(prefix)) {
        return line;
      }
    }
    return {};
  }

private:
  std::uint64_t start_;
};

// A sender on its own loopback port.
class UdpSender {
public:
  UdpSender() : socket_(context_, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0)) {}

  void send(std::span<const std::uint8_t> bytes, std::uint16_t port) {
    socket_.send_to(boost::asio::buffer(bytes.data(), bytes.size()),
                    boost::asio::ip::udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port));
  }

private:
  boost::asio::io_context context_;
  boost::asio::ip::udp::socket socket_;
};

} // namespace pd::deckinput::test
