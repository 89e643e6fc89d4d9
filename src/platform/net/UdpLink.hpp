#pragma once

// The UDP link: a connected datagram socket to one peer, bound to one interface.
//
// start() resolves the peer (a Bonjour service through the given resolver, or a numeric host),
// opens a socket of the peer's family, binds it to the required interface, sets the traffic
// class and connects it, so the kernel delivers only the peer's datagrams. A link-local IPv6
// peer is given the interface as its scope. A service that cannot be resolved leaves the link
// waiting, and it is asked for again a second after each failure until it resolves or the link
// is cancelled. Receive errors that leave the socket usable (an ICMP refusal, a full buffer) are
// reported to the receive completion and the link stays ready; an error after which the socket
// is useless moves the link to failed before the completion runs, so a receive loop that re-arms
// only while ready ends instead of spinning.
//
// No Asio in this header: the socket lives in the implementation.

#include "platform/net/DatagramLink.hpp"
#include "platform/net/ServiceResolver.hpp"

#include <cstddef>
#include <memory>

namespace pd::platform::net {

class UdpLink final : public DatagramLink {
public:
  // The largest datagram received whole; larger ones cannot occur over IPv4 or IPv6 UDP.
  static constexpr std::size_t kMaxDatagramBytes = 65'535;
  // The socket's receive buffer asked for (the kernel may grant less).
  static constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
  // Datagrams handed to send() before the link is ready wait for it, up to this many.
  static constexpr std::size_t kMaxQueuedSends = 64;

  // `resolver` is needed only when `remote` is a service.
  UdpLink(Endpoint remote, LinkParameters parameters, std::shared_ptr<ServiceResolver> resolver = nullptr);
  // Cancels the link.
  ~UdpLink() override;
  UdpLink(const UdpLink&) = delete;
  UdpLink& operator=(const UdpLink&) = delete;

  void setStateHandler(StateHandler handler) override;
  void start(runtime::Executor queue) override;
  void cancel() override;
  LinkState state() const override;
  void receiveMessage(ReceiveCompletion completion) override;
  void send(std::vector<std::uint8_t> content, SendCompletion completion) override;
  std::optional<LinkPath> currentPath() const override;

  // True for an errno after which a socket cannot carry datagrams again (it was closed, its
  // interface vanished, ...); false for conditions that pass (refusals, unreachable hosts,
  // full buffers, interrupted calls).
  static bool isFatalSocketError(int errnum) noexcept;

private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

} // namespace pd::platform::net
