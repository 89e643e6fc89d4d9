#include "ui/sender/ThumbnailLoader.hpp"

#include "platform/http/HttpClient.hpp"
#include "platform/text/Ascii.hpp"
#include "runtime/Executor.hpp"
#include "runtime/ThreadPools.hpp"

#include <QApplication>
#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include <algorithm>

namespace pd::ui {

namespace {

// Cancels the load, and stops its delivery, when the row that asked for it goes.
struct LoadHandle {
  runtime::Task<void> task;
  std::shared_ptr<std::function<void(QImage)>> done;
  ~LoadHandle() { task.cancel(); }
};

class HttpThumbnailLoader final : public ThumbnailLoader {
public:
  HttpThumbnailLoader(std::shared_ptr<platform::http::Client> client, ThumbnailLimits limits)
      : client_(std::move(client)), limits_(limits) {}

  std::shared_ptr<void> load(const std::string& url, QSize fill, std::function<void(QImage)> done) override {
    if (!isFetchableThumbnailURL(url) || !client_) return {};
    auto handle = std::make_shared<LoadHandle>();
    handle->done = std::make_shared<std::function<void(QImage)>>(std::move(done));
    std::weak_ptr<std::function<void(QImage)>> weakDone = handle->done;
    handle->task =
        runtime::spawn(runtime::sharedPool().executor(),
                       [client = client_, limits = limits_, url, fill, weakDone]() -> runtime::Awaitable<void> {
                         platform::http::Request request;
                         request.url = url;
                         request.totalTimeout = limits.totalTimeout;
                         request.idleTimeout = limits.idleTimeout;
                         platform::http::Response response;
                         try {
                           response = co_await client->fetch(std::move(request), limits.maxBytes);
                         } catch (const runtime::CancellationError&) {
                           throw;
                         } catch (const std::exception&) {
                           co_return; // the placeholder stays
                         }
                         if (response.status != 200) co_return;
                         QImage image = decodeThumbnail(response.body, fill, limits.maxPixels);
                         if (image.isNull()) co_return;
                         QMetaObject::invokeMethod(
                             qApp,
                             [weakDone, image = std::move(image)]() mutable {
                               if (auto deliver = weakDone.lock(); deliver && *deliver) (*deliver)(std::move(image));
                             },
                             Qt::QueuedConnection);
                       });
    return handle;
  }

private:
  std::shared_ptr<platform::http::Client> client_;
  ThumbnailLimits limits_;
};

} // namespace

std::shared_ptr<ThumbnailLoader> makeHttpThumbnailLoader(std::shared_ptr<platform::http::Client> client,
                                                         ThumbnailLimits limits) {
  return std::make_shared<HttpThumbnailLoader>(std::move(client), limits);
}

bool isFetchableThumbnailURL(const std::string& url) {
  std::size_t rest = 0;
  if (platform::text::asciiStartsWithIgnoreCase(url, "https://")) rest = 8;
  else if (platform::text::asciiStartsWithIgnoreCase(url, "http://")) rest = 7;
  else return false;
  // A host must follow, and nothing a request line cannot carry.
  if (rest >= url.size() || url[rest] == '/' || url[rest] == '?' || url[rest] == '#') return false;
  return std::none_of(url.begin(), url.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; });
}

QImage decodeThumbnail(const std::string& bytes, QSize fill, int maxPixels) {
  if (bytes.empty() || fill.isEmpty()) return {};
  QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  const QSize size = reader.size();
  if (!size.isValid() || size.isEmpty()) return {};
  if (static_cast<std::int64_t>(size.width()) * size.height() > maxPixels) return {};
  // The middle of the picture in the fill's shape is cut out first and only that is scaled: the
  // whole picture scaled to cover the fill grows with how far its shape is from the fill's, to
  // gigabytes for a sliver the pixel bound lets through.
  const QSize region = fill.scaled(size, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)).boundedTo(size);
  reader.setClipRect(QRect((size.width() - region.width()) / 2, (size.height() - region.height()) / 2, region.width(),
                           region.height()));
  reader.setScaledSize(fill);
  return reader.read();
}

} // namespace pd::ui
