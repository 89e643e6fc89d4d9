#pragma once

// The connection sheet's own status and the errors it can show, with their Japanese texts.

#include <cstdint>
#include <string>

namespace pd::ui {

struct ConnectionError {
  enum class Kind : std::uint8_t { connectionFailed, networkUnavailable, peerNotFound, timeout };

  Kind kind = Kind::timeout;
  std::string message; // connectionFailed only; empty otherwise

  static ConnectionError connectionFailed(std::string message) { return {Kind::connectionFailed, std::move(message)}; }
  static ConnectionError networkUnavailable() { return {Kind::networkUnavailable, {}}; }
  static ConnectionError peerNotFound() { return {Kind::peerNotFound, {}}; }
  static ConnectionError timeout() { return {Kind::timeout, {}}; }

  std::string description() const;

  friend bool operator==(const ConnectionError&, const ConnectionError&) = default;
};

struct ConnectionState {
  enum class Kind : std::uint8_t { error, idle, searching, connecting, connected, disconnected, timeout };

  Kind kind = Kind::idle;
  ConnectionError error; // meaningful for Kind::error only

  static ConnectionState failed(ConnectionError error) { return {Kind::error, std::move(error)}; }
  static ConnectionState idle() { return {Kind::idle, {}}; }
  static ConnectionState searching() { return {Kind::searching, {}}; }
  static ConnectionState connecting() { return {Kind::connecting, {}}; }
  static ConnectionState connected() { return {Kind::connected, {}}; }
  static ConnectionState disconnected() { return {Kind::disconnected, {}}; }
  static ConnectionState timedOut() { return {Kind::timeout, {}}; }

  bool isError() const noexcept { return kind == Kind::error; }
  // The status line of the sheet's header.
  std::string description() const;

  friend bool operator==(const ConnectionState&, const ConnectionState&) = default;
};

} // namespace pd::ui
