#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace pd::deckinput {

// The OSC server's state as the windows show it.
class ServerState {
public:
  enum class Case : std::uint8_t { failed, stopped, starting, running };

  static ServerState failed(std::string text) { return ServerState(Case::failed, std::move(text)); }
  static ServerState stopped() { return ServerState(Case::stopped, {}); }
  static ServerState starting() { return ServerState(Case::starting, {}); }
  static ServerState running() { return ServerState(Case::running, {}); }

  Case state() const noexcept { return case_; }
  // The error text of a failed state; empty otherwise.
  const std::string& failureText() const noexcept { return text_; }
  bool isRunning() const noexcept { return case_ == Case::running; }

  // "停止中", "起動中...", "実行中", or "エラー: " and the error text.
  std::string description() const;

  // By case, and for failed by text.
  friend bool operator==(const ServerState&, const ServerState&) = default;

private:
  ServerState(Case c, std::string text) : case_(c), text_(std::move(text)) {}

  Case case_;
  std::string text_;
};

} // namespace pd::deckinput
