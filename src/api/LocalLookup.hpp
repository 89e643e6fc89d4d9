#pragma once

#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/ReceiverAPIResponse.hpp"

#include <variant>

namespace pd::api {

// How looking up a local id ended: the library's entry, or a finished answer that the route sends
// unchanged.
struct LocalLookup {
  std::variant<mediaserver::MacLocalVideoLibrary::Entry, mediaserver::ReceiverAPIResponse> value;

  const mediaserver::MacLocalVideoLibrary::Entry* found() const {
    return std::get_if<mediaserver::MacLocalVideoLibrary::Entry>(&value);
  }
  const mediaserver::ReceiverAPIResponse* failed() const {
    return std::get_if<mediaserver::ReceiverAPIResponse>(&value);
  }
};

} // namespace pd::api
