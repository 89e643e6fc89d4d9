#include "sender/YouTubeSearchModel.hpp"

#include "api/ReceiverAPIService.hpp"
#include "diagnostics/Log.hpp"
#include "platform/text/Trim.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoID.hpp"
#include "remotesource/VideoSourceError.hpp"
#include "runtime/MainThread.hpp"

namespace pd::sender {

using diagnostics::Log;

YouTubeSearchModel::YouTubeSearchModel(std::shared_ptr<const remotesource::InvidiousVideoSource> source)
    : source_(std::move(source)) {}

YouTubeSearchModel::~YouTubeSearchModel() { searchTask_.cancel(); }

void YouTubeSearchModel::search() {
  runtime::MainThread::assertMainThread();
  auto text = platform::text::trimmingWhitespaceAndNewlines(query.get());
  if (text.empty()) return;
  searchTask_.cancel();
  isSearching.set(true);
  errorMessage.set(std::nullopt);
  searchedWithoutResults.set(false);
  auto op = api::ReceiverAPIService::makeOperationID();
  auto videoID = remotesource::extractVideoID(text);
  const std::string kind = videoID ? "url_fetch" : "search";
  Log::source().notice("search_start kind=%{public}s trigger=manual op=%{public}s", kind, op);
  searchTask_ =
      runtime::spawn(runtime::MainThread::executor(),
                     [weak = weak_from_this(), source = source_, text = std::move(text), videoID = std::move(videoID),
                      kind, op = std::move(op)]() -> runtime::Awaitable<void> {
                       std::vector<remotesource::VideoSearchItem> found;
                       std::exception_ptr failure;
                       try {
                         if (videoID) {
                           found.push_back(co_await source->fetchVideoItem(*videoID, op));
                         } else {
                           found = co_await source->search(text, op);
                         }
                       } catch (const runtime::CancellationError&) {
                         Log::source().debug("search_cancel kind=%{public}s op=%{public}s", kind, op);
                         co_return;
                       } catch (...) {
                         failure = std::current_exception();
                       }
                       const auto self = weak.lock();
                       if (!self || runtime::isCancelled()) co_return;
                       if (!failure) {
                         const bool isEmpty = found.empty();
                         self->results.set(std::move(found));
                         self->searchedWithoutResults.set(isEmpty);
                         self->isSearching.set(false);
                         co_return;
                       }
                       self->isSearching.set(false);
                       self->results.set({});
                       self->errorMessage.set(errorText(failure));
                       bool isSourceError = false;
                       try {
                         std::rethrow_exception(failure);
                       } catch (const remotesource::VideoSourceError&) {
                         isSourceError = true;
                       } catch (...) {}
                       Log::source().error("search_fail reason=%{public}s kind=%{public}s trigger=manual op=%{public}s",
                                           isSourceError ? "api_error" : "unknown", kind, op);
                     });
}

std::string YouTubeSearchModel::errorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const remotesource::VideoSourceError& sourceError) {
    switch (sourceError.errorCase()) {
    case remotesource::VideoSourceError::Case::invalidVideoID: return "YouTube の URL から動画を特定できませんでした";
    case remotesource::VideoSourceError::Case::allInstancesFailed:
      return "検索できませんでした（インスタンスに接続できません）";
    default: return "検索できませんでした";
    }
  } catch (...) {
    return "検索できませんでした（ネットワークを確認してください）";
  }
}

} // namespace pd::sender
