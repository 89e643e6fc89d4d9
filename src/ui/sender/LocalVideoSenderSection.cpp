#include "ui/sender/LocalVideoSenderSection.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "relay/RelayDiskCache.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "runtime/Error.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "sender/TemporaryCopies.hpp"
#include "sender/YouTubeSearchModel.hpp"
#include "settings/AppSettings.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/sender/DeckCard.hpp"
#include "ui/sender/DropIntake.hpp"
#include "ui/sender/QtMediaTypes.hpp"
#include "ui/sender/ThumbnailLoader.hpp"
#include "ui/sender/YouTubeSearchPanel.hpp"
#include "ui/settings/FollowSetting.hpp"

#include <QApplication>
#include <QButtonGroup>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <unistd.h>

#include <cerrno>
#include <set>

namespace pd::ui {

namespace {

using diagnostics::Log;
using Broadcaster = sender::LocalVideoBroadcaster;

Broadcaster::Target target(Deck deck) noexcept {
  return deck == Deck::a ? Broadcaster::Target::a : Broadcaster::Target::b;
}

PlaybackCase playbackCase(const Broadcaster::PlaybackState& state) noexcept {
  using Case = Broadcaster::PlaybackState::Case;
  switch (state.state) {
  case Case::failed: return PlaybackCase::failed;
  case Case::none: return PlaybackCase::none;
  case Case::awaiting: return PlaybackCase::awaiting;
  case Case::noResponse: return PlaybackCase::noResponse;
  case Case::unconfirmed: return PlaybackCase::unconfirmed;
  case Case::ready: return PlaybackCase::ready;
  case Case::replaced: return PlaybackCase::replaced;
  }
  return PlaybackCase::none;
}

// Runs on the GUI thread later, with the broadcaster if it is still there.
void onMainThread(std::weak_ptr<Broadcaster> broadcaster, std::function<void(Broadcaster&)> work) {
  QMetaObject::invokeMethod(
      qApp,
      [weak = std::move(broadcaster), work = std::move(work)] {
        if (auto strong = weak.lock()) work(*strong);
      },
      Qt::QueuedConnection);
}

// The copy road's work on the background pool. It never holds the broadcaster, whose last
// reference must go on the main thread, also when the window closes during a long write.
void writeDroppedVideo(const std::weak_ptr<Broadcaster>& broadcaster,
                       const std::optional<std::filesystem::path>& cachesDirectory,
                       const SenderServices::CopyWriter& writeCopy, const std::string& name, const QByteArray& bytes,
                       Broadcaster::Target to) {
  if (broadcaster.expired()) return;
  std::filesystem::path folder;
  try {
    folder = sender::temporaryFolder(cachesDirectory);
  } catch (const std::exception& error) {
    const auto fields = diagnostics::LogErrorFields::fields(error, true);
    Log::localvideo().error("temp_copy_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                            fields.detail);
    return;
  }
  if (const auto refusal = refuseCopy(bytes.size(), relay::RelayDiskCache::availableCapacity(folder))) {
    onMainThread(broadcaster,
                 [name, to, refusal = *refusal](Broadcaster& b) { b.reportCopyRefused(name, to, refusal); });
    return;
  }
  const auto copy =
      writeCopy(folder, name, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  if (!copy) return;
  // Quitting meanwhile: nobody will send the copy, so it goes now rather than at the next launch.
  if (broadcaster.expired()) {
    sender::removeTemporaryItem(sender::removalTarget(*copy, folder));
    return;
  }
  onMainThread(broadcaster, [copy = *copy, to](Broadcaster& b) { b.sendLocalFile(copy, to, true); });
}

// The file chooser's filter: every type the MIME database counts as a video.
QString movieNameFilter() {
  const QMimeDatabase database;
  const QtMediaTypes types;
  std::set<QString> patterns;
  for (const QMimeType& type : database.allMimeTypes()) {
    if (!types.isVideo(type.name().toStdString())) continue;
    for (const QString& pattern : type.globPatterns()) patterns.insert(pattern);
  }
  QStringList list(patterns.begin(), patterns.end());
  return QStringLiteral("動画 (%1)").arg(list.join(QLatin1Char(' ')));
}

} // namespace

LocalVideoSenderSection::LocalVideoSenderSection(sender::LocalVideoBroadcaster& broadcaster,
                                                 link::NetworkManagerForMac& connectionManager,
                                                 const SenderServices& services, QWidget* parent)
    : QWidget(parent),
      broadcaster_(broadcaster),
      connectionManager_(connectionManager),
      writeCopy_(services.writeCopy ? services.writeCopy : SenderServices::CopyWriter(writeTemporaryCopy)) {
  runtime::MainThread::assertMainThread();
  setObjectName(QStringLiteral("localVideoSenderSection"));
  searchModel_ = std::make_shared<sender::YouTubeSearchModel>(
      std::make_shared<remotesource::InvidiousVideoSource>(services.instanceManager, services.httpClient));
  const auto thumbnails = services.thumbnails ? services.thumbnails : makeHttpThumbnailLoader(services.httpClient);

  auto* column = new QVBoxLayout(this);
  column->setSpacing(16);

  auto* header = new QHBoxLayout;
  header->addWidget(textLabel(qs(std::string(kSectionTitle)), TextStyle::headline, this));
  header->addWidget(tagLabel(qs(std::string(kSectionBadge)), Tint::blue, 0.15, this));
  header->addStretch(1);
  stateWord_ = textLabel(QString(), TextStyle::caption, this);
  stateWord_->setObjectName(QStringLiteral("senderStateWord"));
  setTextColor(stateWord_, tintColor(Tint::orange));
  header->addWidget(stateWord_);
  column->addLayout(header);

  banner_ = new QWidget(this);
  banner_->setObjectName(QStringLiteral("senderBanner"));
  auto* bannerRow = new QHBoxLayout(banner_);
  bannerRow->setContentsMargins(0, 0, 0, 0);
  bannerRow->setSpacing(6);
  bannerRow->addWidget(symbolLabel("exclamationmark.triangle.fill", 12, banner_), 0, Qt::AlignTop);
  bannerText_ = textLabel(QString(), TextStyle::caption, banner_);
  bannerText_->setWordWrap(true);
  applySecondaryStyle(bannerText_);
  bannerRow->addWidget(bannerText_, 1);
  column->addWidget(banner_);

  // A segmented picker: two exclusive toggle buttons in a group named "素材".
  auto* picker = new QWidget(this);
  picker->setAccessibleName(QStringLiteral("素材"));
  auto* pickerRow = new QHBoxLayout(picker);
  pickerRow->setContentsMargins(0, 0, 0, 0);
  pickerRow->setSpacing(0);
  tabs_ = new QButtonGroup(this);
  tabs_->setExclusive(true);
  youtubeTab_ = new QPushButton(qs(std::string(sourceTabTitle(SourceTab::youtube))), picker);
  localTab_ = new QPushButton(qs(std::string(sourceTabTitle(SourceTab::localFile))), picker);
  for (auto* button : {youtubeTab_, localTab_}) {
    button->setCheckable(true);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    tabs_->addButton(button);
    pickerRow->addWidget(button);
  }
  // Toggled rather than clicked: the accessibility bus toggles a checkable button without a click.
  for (const SourceTab tab : {SourceTab::youtube, SourceTab::localFile}) {
    connect(tabButton(tab), &QPushButton::toggled, this, [this, tab](bool on) {
      if (on && !applyingTab_) chooseTab(tab);
    });
  }
  column->addWidget(picker);

  panel_ = new YouTubeSearchPanel(
      searchModel_, thumbnails,
      [this](const remotesource::VideoSearchItem& item, Deck deck) {
        broadcaster_.sendRemoteVideo(item, target(deck));
      },
      this);
  column->addWidget(panel_);

  auto* decks = new QHBoxLayout;
  decks->setSpacing(16);
  const auto makeCard = [this](Deck deck) {
    return new DeckCard(
        deck, [this, deck] { showImporter(deck); },
        [this, deck](const QMimeData& mime) { return handleDrop(mime, deck); }, this);
  };
  cardA_ = makeCard(Deck::a);
  cardB_ = makeCard(Deck::b);
  decks->addWidget(cardA_, 1, Qt::AlignTop);
  decks->addWidget(cardB_, 1, Qt::AlignTop);
  column->addLayout(decks);

  auto& defaults = platform::UserDefaults::standard();
  tab_ = sourceTabFromStored(defaults.string(settings::SettingsKey::sendToIPadTab));
  // Another writer of the key (another window, the settings file) is followed at once.
  defaultsChanged_ = followSetting(this, settings::SettingsKey::sendToIPadTab, [](LocalVideoSenderSection& section) {
    section.applyTab(
        sourceTabFromStored(platform::UserDefaults::standard().string(settings::SettingsKey::sendToIPadTab)));
  });
  applyTab(tab_);
}

LocalVideoSenderSection::~LocalVideoSenderSection() {
  defaultsChanged_.disconnect();
  subscriptions_.clear();
  delete importer_;
}

QPushButton* LocalVideoSenderSection::tabButton(SourceTab tab) const noexcept {
  return tab == SourceTab::youtube ? youtubeTab_ : localTab_;
}

void LocalVideoSenderSection::setIPadConnected(bool connected) {
  isIPadConnected_ = connected;
  refresh();
}

SendGate LocalVideoSenderSection::gate() const {
  return SendGate::from(isIPadConnected_, connectionManager_.peerVersionState.get(),
                        connectionManager_.peerFeatures.get());
}

bool LocalVideoSenderSection::isLoadVideoUnsupported() const {
  return SendGate::isUnsupported(connectionManager_.peerFeatures.get());
}

void LocalVideoSenderSection::chooseTab(SourceTab tab) {
  runtime::MainThread::assertMainThread();
  platform::UserDefaults::standard().set(settings::SettingsKey::sendToIPadTab, rawValue(tab));
  applyTab(tab);
}

void LocalVideoSenderSection::applyTab(SourceTab tab) {
  tab_ = tab;
  applyingTab_ = true;
  tabButton(tab)->setChecked(true);
  applyingTab_ = false;
  refresh();
}

void LocalVideoSenderSection::refresh() {
  runtime::MainThread::assertMainThread();
  const SendGate current = gate();
  const auto word = current.headerWord();
  stateWord_->setVisible(word.has_value());
  stateWord_->setText(word ? qs(*word) : QString());
  const auto banner = current.bannerText();
  banner_->setVisible(banner.has_value());
  bannerText_->setText(banner ? qs(*banner) : QString());
  panel_->setVisible(tab_ == SourceTab::youtube);
  panel_->setSendDisabled(!current.isSendingAllowed());
  for (const Deck deck : {Deck::a, Deck::b}) {
    const auto& source = broadcaster_.deck(target(deck));
    DeckCardState state;
    state.fileName = source.fileName.get();
    state.status = source.status.get();
    state.bpm = source.bpm.get();
    state.isAnalyzing = source.isAnalyzing.get();
    state.playback = playbackCase(source.playback.get());
    state.failureReason = source.playback.get().reason;
    state.tab = tab_;
    state.isSendingAllowed = current.isSendingAllowed();
    card(deck)->update(state);
  }
}

bool LocalVideoSenderSection::handleDrop(const QMimeData& mime, Deck deck) {
  runtime::MainThread::assertMainThread();
  DropOffer offer;
  for (const QString& format : mime.formats()) offer.formats.push_back(format.toStdString());
  const QString uriList = QString::fromLatin1(kUriListFormat.data(), static_cast<qsizetype>(kUriListFormat.size()));
  if (mime.hasFormat(uriList)) offer.uriList = mime.data(uriList).toStdString();
  const QString suggested =
      QString::fromLatin1(kSuggestedNameFormat.data(), static_cast<qsizetype>(kSuggestedNameFormat.size()));
  if (mime.hasFormat(suggested)) offer.suggestedName = mime.data(suggested).toStdString();

  const DropPlan plan = planDrop(gate(), offer, deck, QtMediaTypes());
  const auto broadcaster = broadcaster_.weak_from_this();
  const auto to = target(deck);
  switch (plan.road) {
  case DropPlan::Road::refused: return false;
  case DropPlan::Road::dropped: break;
  case DropPlan::Road::fileURL:
    onMainThread(broadcaster, [file = plan.file, to](Broadcaster& b) { b.sendLocalFile(file, to, false); });
    break;
  case DropPlan::Road::notVideo:
    onMainThread(broadcaster, [name = plan.fileName, to](Broadcaster& b) { b.reportNotVideo(name, to); });
    break;
  case DropPlan::Road::copy: {
    // The bytes belong to the drag, which ends with this event: Qt hands them over whole, now.
    // The pool writes from that same buffer, shared rather than copied.
    QByteArray bytes = mime.data(QString::fromStdString(plan.format));
    if (const auto refusal = refuseCopy(bytes.size(), std::nullopt)) {
      broadcaster_.reportCopyRefused(plan.fileName, to, *refusal);
      return false;
    }
    runtime::backgroundPool().post([weak = std::weak_ptr<Broadcaster>(broadcaster),
                                    caches = broadcaster_.cachesDirectory(), writeCopy = writeCopy_,
                                    name = plan.fileName, bytes = std::move(bytes),
                                    to] { writeDroppedVideo(weak, caches, writeCopy, name, bytes, to); });
    break;
  }
  }
  return true;
}

void LocalVideoSenderSection::showImporter(Deck deck) {
  runtime::MainThread::assertMainThread();
  pendingTarget_ = deck;
  if (importer_ != nullptr) {
    importer_->raise();
    return;
  }
  // Qt's own dialog: the same on every desktop, and reachable through the accessibility bus.
  importer_ = new QFileDialog(window(), QStringLiteral("動画を選択"));
  importer_->setOption(QFileDialog::DontUseNativeDialog, true);
  importer_->setFileMode(QFileDialog::ExistingFile);
  importer_->setAcceptMode(QFileDialog::AcceptOpen);
  importer_->setNameFilter(movieNameFilter());
  importer_->setAttribute(Qt::WA_DeleteOnClose, false);
  connect(importer_, &QFileDialog::finished, this, [this](int result) {
    QFileDialog* dialog = importer_;
    importer_ = nullptr;
    const QList<QUrl> urls = result == QDialog::Accepted ? dialog->selectedUrls() : QList<QUrl>();
    dialog->deleteLater();
    std::vector<std::filesystem::path> files;
    for (const QUrl& url : urls) {
      // The chooser may hand back an address that is no readable file of this computer.
      const std::string local = url.toLocalFile().toStdString();
      int code = 0;
      std::error_code ignored;
      if (!url.isLocalFile() || local.empty()) code = EINVAL;
      else if (::access(local.c_str(), R_OK) != 0) code = errno;
      else if (!std::filesystem::is_regular_file(local, ignored)) code = EISDIR;
      if (code != 0) {
        handleFileImportError(PosixError(code, "chosen file"));
        return;
      }
      files.emplace_back(local);
    }
    handleFileImport(files);
  });
  if (onModalWindow_) onModalWindow_(importer_);
  importer_->open();
}

void LocalVideoSenderSection::handleFileImport(const std::vector<std::filesystem::path>& files) {
  runtime::MainThread::assertMainThread();
  if (files.empty()) return;
  // The chooser's filter does not hold for a typed name: the file is judged as a dropped one is.
  const std::string name = lastPathComponent(files.front().native());
  if (!typeOfFileName(name, QtMediaTypes()).isVideo) {
    handleFileImportError(PosixError(EINVAL, "chosen file is not a video"));
    broadcaster_.reportNotVideo(name, target(pendingTarget_));
    return;
  }
  broadcaster_.sendLocalFile(files.front(), target(pendingTarget_), false);
}

void LocalVideoSenderSection::handleFileImportError(const std::exception& error) {
  const auto fields = diagnostics::LogErrorFields::fields(error, true);
  Log::localvideo().error("file_import_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                          fields.detail);
}

} // namespace pd::ui
