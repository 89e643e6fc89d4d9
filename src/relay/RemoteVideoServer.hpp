#pragma once

// What the remote video preparer uses of the local HTTP server, as a port: the composition root
// connects the real server, which the relay library must not link.

#include "runtime/Task.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pd::relay {

class RemoteMedia;

class RemoteVideoServer {
public:
  virtual ~RemoteVideoServer() = default;

  // A fresh token whose requests the relay answers with the media's bytes. Never fails.
  virtual runtime::Awaitable<std::string> registerRemote(std::shared_ptr<const RemoteMedia> media) = 0;
  // A fresh token under which the text is served, followed by ".m3u8". Never fails.
  virtual std::string registerPlaylist(std::string_view text) = 0;
  // Releases a token of any kind; an unknown one is harmless.
  virtual void unregister(const std::string& token) = 0;
  // One of the server's allowed types, else "application/octet-stream".
  virtual std::string sanitizedContentType(const std::optional<std::string>& mimeType) const = 0;
};

} // namespace pd::relay
