#pragma once

// The card of the main window from which the user sends videos to the tablet: the header with
// the gate's state word, the warning banner, the source picker, the YouTube search panel, and the
// two deck cards with their drop zones and the file chooser. It shows the broadcaster's decks and
// calls its sends; it keeps no deck state of its own. Main thread only.

#include "ui/sender/SenderPresentation.hpp"

#include <QWidget>

#include <boost/signals2/connection.hpp>

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QButtonGroup;
class QFileDialog;
class QLabel;
class QMimeData;
class QPushButton;

namespace pd::link {
class NetworkManagerForMac;
}
namespace pd::platform::http {
class Client;
}
namespace pd::remotesource {
class InvidiousInstanceManager;
}
namespace pd::sender {
class LocalVideoBroadcaster;
class YouTubeSearchModel;
} // namespace pd::sender

namespace pd::ui {

class DeckCard;
class ThumbnailLoader;
class YouTubeSearchPanel;

// What the section builds its search on: the process's instance manager and HTTP client (with
// the environment's test hooks); the thumbnail loader defaults to one over that client. A
// dropped video's bytes are written by writeTemporaryCopy unless a test puts another writer here.
struct SenderServices {
  using CopyWriter = std::function<std::optional<std::filesystem::path>(
      const std::filesystem::path& temporaryFolder, const std::string& fileName, std::string_view bytes)>;
  std::shared_ptr<remotesource::InvidiousInstanceManager> instanceManager;
  std::shared_ptr<platform::http::Client> httpClient;
  std::shared_ptr<ThumbnailLoader> thumbnails;
  CopyWriter writeCopy;
};

class LocalVideoSenderSection : public QWidget {
public:
  LocalVideoSenderSection(sender::LocalVideoBroadcaster& broadcaster, link::NetworkManagerForMac& connectionManager,
                          const SenderServices& services, QWidget* parent = nullptr);
  ~LocalVideoSenderSection() override;

  // Given by the main window: whether the link has a connected tablet.
  void setIPadConnected(bool connected);
  bool isIPadConnected() const noexcept { return isIPadConnected_; }
  // Redraws from the link's and the broadcaster's current values.
  void refresh();

  SendGate gate() const;
  bool isLoadVideoUnsupported() const;

  SourceTab tab() const noexcept { return tab_; }
  // As choosing a segment does: writes "sendToIPadTab" at once.
  void chooseTab(SourceTab tab);

  // A drop on a deck's card: true when a load was started. Main thread.
  bool handleDrop(const QMimeData& mime, Deck target);
  // The file chooser's answer. A file whose name names no video type is refused as a drop is.
  void handleFileImport(const std::vector<std::filesystem::path>& files);
  void handleFileImportError(const std::exception& error);
  // Called with the file chooser each time one opens, modal over the window.
  void setOnModalWindow(std::function<void(QWidget*)> hook) { onModalWindow_ = std::move(hook); }

  const std::shared_ptr<sender::YouTubeSearchModel>& searchModel() const noexcept { return searchModel_; }
  YouTubeSearchPanel* searchPanel() const noexcept { return panel_; }
  DeckCard* card(Deck deck) const noexcept { return deck == Deck::a ? cardA_ : cardB_; }
  QLabel* stateWord() const noexcept { return stateWord_; }
  QWidget* banner() const noexcept { return banner_; }
  QLabel* bannerLabel() const noexcept { return bannerText_; }
  QPushButton* tabButton(SourceTab tab) const noexcept;
  Deck pendingTarget() const noexcept { return pendingTarget_; }
  // The open file chooser, while it is shown.
  QFileDialog* importer() const noexcept { return importer_; }

private:
  void showImporter(Deck target);
  void applyTab(SourceTab tab);

  sender::LocalVideoBroadcaster& broadcaster_;
  link::NetworkManagerForMac& connectionManager_;
  std::shared_ptr<sender::YouTubeSearchModel> searchModel_;
  SenderServices::CopyWriter writeCopy_;
  bool isIPadConnected_ = false;
  SourceTab tab_ = SourceTab::youtube;
  Deck pendingTarget_ = Deck::a;
  bool applyingTab_ = false;

  QLabel* stateWord_;
  QWidget* banner_;
  QLabel* bannerText_;
  QButtonGroup* tabs_;
  QPushButton* youtubeTab_;
  QPushButton* localTab_;
  YouTubeSearchPanel* panel_;
  DeckCard* cardA_;
  DeckCard* cardB_;
  QFileDialog* importer_ = nullptr;
  std::function<void(QWidget*)> onModalWindow_;
  std::vector<boost::signals2::scoped_connection> subscriptions_;
  boost::signals2::scoped_connection defaultsChanged_;
};

} // namespace pd::ui
