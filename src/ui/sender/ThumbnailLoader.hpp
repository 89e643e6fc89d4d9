#pragma once

// Loads the result rows' thumbnails. Their addresses come from the Invidious instance, so they
// are outside input: http(s) only, a time limit and a size cap on the download, a bound on the
// decoded size, and the decoding off the GUI thread. No cache of our own: each row asks once, when
// it is built.

#include <QImage>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace pd::platform::http {
class Client;
}

namespace pd::ui {

class ThumbnailLoader {
public:
  virtual ~ThumbnailLoader() = default;
  // Starts loading; `done` runs later on the GUI thread with the image cropped to fill the given
  // size, or never when the load fails or the returned handle is dropped first.
  [[nodiscard]] virtual std::shared_ptr<void> load(const std::string& url, QSize fill,
                                                   std::function<void(QImage)> done) = 0;
};

struct ThumbnailLimits {
  std::size_t maxBytes = 2u * 1024u * 1024u;
  std::chrono::milliseconds totalTimeout{15000};
  std::chrono::milliseconds idleTimeout{5000};
  int maxPixels = 4096 * 4096; // a larger picture is not decoded
};

std::shared_ptr<ThumbnailLoader> makeHttpThumbnailLoader(std::shared_ptr<platform::http::Client> client,
                                                         ThumbnailLimits limits = {});

// Whether an address may be fetched: an http or https address with a host.
bool isFetchableThumbnailURL(const std::string& url);
// Decodes an image and crops it to fill `fill` (centred, aspect kept); null when it cannot be
// decoded or is larger than maxPixels. Safe on any thread.
QImage decodeThumbnail(const std::string& bytes, QSize fill, int maxPixels);

} // namespace pd::ui
