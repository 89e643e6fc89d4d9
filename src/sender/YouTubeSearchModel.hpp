#pragma once

// The model behind the YouTube search panel: the typed text or pasted link, the last result list
// and the last failure's message. A pasted link to one video is looked up alone; anything else is
// searched as words. At most one search is current: a new one cancels the one before, and a
// cancelled search never writes. Main thread only.

#include "remotesource/VideoSearchItem.hpp"
#include "runtime/Published.hpp"
#include "runtime/Task.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pd::remotesource {
class InvidiousVideoSource;
}

namespace pd::sender {

class YouTubeSearchModel final : public runtime::ObservableObject,
                                 public std::enable_shared_from_this<YouTubeSearchModel> {
public:
  explicit YouTubeSearchModel(std::shared_ptr<const remotesource::InvidiousVideoSource> source);
  ~YouTubeSearchModel();
  YouTubeSearchModel(const YouTubeSearchModel&) = delete;
  YouTubeSearchModel& operator=(const YouTubeSearchModel&) = delete;

  runtime::Published<std::string> query{*this};
  runtime::Published<std::vector<remotesource::VideoSearchItem>> results{*this};
  runtime::Published<bool> isSearching{*this, false};
  runtime::Published<std::optional<std::string>> errorMessage{*this};
  runtime::Published<bool> searchedWithoutResults{*this, false};

  // Searches the trimmed query; a blank one does nothing. The model must be owned by a shared_ptr.
  void search();

  static std::string errorText(const std::exception_ptr& error);

private:
  std::shared_ptr<const remotesource::InvidiousVideoSource> source_;
  runtime::Task<void> searchTask_;
};

} // namespace pd::sender
