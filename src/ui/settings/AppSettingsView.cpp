#include "ui/settings/AppSettingsView.hpp"

#include "deckinput/OSCViewModel.hpp"
#include "diagnostics/Log.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "settings/AppSettings.hpp"
#include "settings/PortText.hpp"
#include "ui/settings/ConfigChangeLog.hpp"
#include "ui/settings/InvidiousSettingsSection.hpp"
#include "ui/settings/MiddleElidedLabel.hpp"
#include "ui/settings/SettingsDialogs.hpp"
#include "ui/settings/Typography.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <string>
#include <system_error>

namespace pd::ui {

namespace {

constexpr int kSectionSpacing = 14;
constexpr std::string_view kLocalFiles = "localFiles";
constexpr std::string_view kYouTube = "youtube";
constexpr std::int64_t kDefaultCacheLimitGB = 20;
constexpr int kCacheLimitMinimum = 5;
constexpr int kCacheLimitMaximum = 100;
constexpr int kCacheLimitStep = 5;

platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

// The field's binding: the stored text, or the default name while nothing is stored.
std::string storedSyphonServerName() {
  return defaults()
      .string(settings::SettingsKey::syphonServerName)
      .value_or(std::string(settings::AppSettings::kDefaultSyphonServerName));
}

// The bindings of this form, each with the default the form shows while nothing is stored.
std::int64_t storedPort() {
  return defaults().contains(settings::SettingsKey::oscPort) ? defaults().integer(settings::SettingsKey::oscPort)
                                                             : settings::AppSettings::kDefaultOSCPort;
}
std::string storedHost() {
  return defaults()
      .string(settings::SettingsKey::oscHost)
      .value_or(std::string(settings::AppSettings::kDefaultOSCHost));
}
std::string storedSearchSource() {
  return defaults().string(settings::SettingsKey::ipadSearchSource).value_or(std::string(kYouTube));
}
std::string storedSearchFolder() { return defaults().string(settings::SettingsKey::ipadSearchFolder).value_or(""); }
std::int64_t storedCacheLimit() {
  return defaults().contains(settings::SettingsKey::relayCacheLimitGB)
             ? defaults().integer(settings::SettingsKey::relayCacheLimitGB)
             : kDefaultCacheLimitGB;
}

// The limit is a whole number of steps from the minimum: the stepper shows and stores the step
// nearest to a value typed or stored between two, or beyond either end.
int nearestCacheLimitStep(std::int64_t value) {
  const std::int64_t inRange = std::clamp<std::int64_t>(value, kCacheLimitMinimum, kCacheLimitMaximum);
  const std::int64_t steps = (inRange - kCacheLimitMinimum + kCacheLimitStep / 2) / kCacheLimitStep;
  return static_cast<int>(kCacheLimitMinimum + steps * kCacheLimitStep);
}

class CacheLimitStepper final : public QSpinBox {
public:
  using QSpinBox::QSpinBox;

protected:
  int valueFromText(const QString& text) const override { return nearestCacheLimitStep(QSpinBox::valueFromText(text)); }
};

// The form's own widget: tells the view when its layout has taken in a change of content (rows
// shown, hidden, added), so that the window's height can follow.
class FormContent final : public QWidget {
public:
  explicit FormContent(std::function<void()> laidOut) : laidOut_(std::move(laidOut)) {}
  void forget() { laidOut_ = nullptr; }

protected:
  bool event(QEvent* event) override {
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::LayoutRequest && laidOut_) {
      const QSize before = size();
      laidOut_();
      // The pass that took in the change may place the rows by wrapped-text heights the form
      // layout measured earlier, for another width or height of the form: a footer squashed into
      // fewer lines than it needs, the spare height left at the form's end. One more pass from
      // scratch, at the size just fitted, gives every row its height. It runs here, at once:
      // under X a pass left to a posted request did not always come after the last change, and
      // the rows stayed squashed. Its own request finds the size unchanged and ends there.
      QLayout* form = layout();
      if (form != nullptr && size() != before) {
        form->invalidate();
        form->activate();
      }
    }
    return handled;
  }

private:
  std::function<void()> laidOut_;
};

QLabel* plainLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  return label;
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  widget->setPalette(palette);
}

// Why a chosen folder cannot be stored, or none. The defaults file holds text: a path that is
// not UTF-8 would come back with replacement characters and never name the folder again. Qt's
// dialogs hand over names already decoded, so a mangled name shows as one that does not exist.
std::optional<std::string_view> searchFolderProblem(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  if (!platform::log::isValidUtf8(bytes)) return "invalid_utf8";
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::error_code error;
  if (bytes.find(kReplacement) != std::string::npos && !std::filesystem::is_directory(path, error)) {
    return "invalid_utf8";
  }
  return std::nullopt;
}

} // namespace

AppSettingsView::AppSettingsView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                                 std::shared_ptr<remotesource::InvidiousInstanceManager> instanceManager,
                                 Dependencies dependencies, QWidget* parent)
    : QWidget(parent),
      connectionManager_(connectionManager),
      oscViewModel_(oscViewModel),
      dependencies_(std::move(dependencies)) {
  if (!dependencies_.chooseExportDestination) {
    dependencies_.chooseExportDestination = [this](QWidget* over, const QString& suggestedName) {
      return chooseExportDestinationDialog(over, suggestedName, onModalWindow_);
    };
  }
  if (!dependencies_.chooseSearchFolder) {
    dependencies_.chooseSearchFolder = [this](QWidget* over) { return chooseSearchFolderDialog(over, onModalWindow_); };
  }
  if (!dependencies_.reveal) dependencies_.reveal = &revealInFileManager;
  if (dependencies_.exportEnvironment.appVersion.empty()) {
    dependencies_.exportEnvironment.appVersion = settings::AppInfo::appVersion();
  }
  if (dependencies_.exportEnvironment.ring == nullptr) dependencies_.exportEnvironment.ring = dependencies_.logRing;

  setWindowTitle(QStringLiteral("設定"));
  setFixedWidth(kWidth);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  scrollArea_ = new QScrollArea(this);
  scrollArea_->setFrameShape(QFrame::NoFrame);
  scrollArea_->setWidgetResizable(true);
  scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  layout->addWidget(scrollArea_);
  auto* content = new FormContent([this] { fitHeightToContent(); });
  form_ = new QFormLayout(content);
  form_->setContentsMargins(20, 20, 20, 20);
  form_->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);

  // Sections in their order on screen.
  addOSCSection();
  addSyphonSection();
  addSearchSection();
  invidiousSection_ = new InvidiousSettingsSection(std::move(instanceManager), this);
  form_->addRow(invidiousSection_);
  addCacheSection();
  addDiagnosticsSection();
  scrollArea_->setWidget(content);
}

AppSettingsView::~AppSettingsView() {
  // The form goes with the base class, after this view's members.
  static_cast<FormContent*>(scrollArea_->widget())->forget();
}

void AppSettingsView::addSectionHeader(const QString& text) {
  auto* header = plainLabel(text, this);
  header->setObjectName(QStringLiteral("sectionHeader"));
  applyTextStyle(header, TextStyle::headline);
  if (form_->rowCount() > 0) header->setContentsMargins(0, kSectionSpacing, 0, 0);
  form_->addRow(header);
}

void AppSettingsView::addSectionFooter(const QString& text) {
  auto* footer = plainLabel(text, this);
  footer->setObjectName(QStringLiteral("sectionFooter"));
  footer->setWordWrap(true);
  applyTextStyle(footer, TextStyle::caption);
  applySecondaryStyle(footer);
  form_->addRow(footer);
}

// --- OSC server ---

void AppSettingsView::addOSCSection() {
  addSectionHeader(QStringLiteral("OSCサーバー"));

  portField_ = new QLineEdit(this);
  portField_->setPlaceholderText(QString::number(settings::AppSettings::kDefaultOSCPort));
  portField_->setAccessibleName(QStringLiteral("受信ポート"));
  form_->addRow(QStringLiteral("受信ポート"), portField_);
  connect(portField_, &QLineEdit::returnPressed, this, [this] { applyPortText(); });

  portErrorLabel_ = plainLabel(QString(), this);
  portErrorLabel_->setObjectName(QStringLiteral("portError"));
  applyTextStyle(portErrorLabel_, TextStyle::caption);
  setTextColor(portErrorLabel_, Qt::red);
  portErrorLabel_->setVisible(false);
  form_->addRow(portErrorLabel_);

  hostPicker_ = new QComboBox(this);
  hostPicker_->addItem(QStringLiteral("このMacのみ（127.0.0.1）"), QStringLiteral("127.0.0.1"));
  hostPicker_->addItem(QStringLiteral("すべてのインターフェース（0.0.0.0）"), QStringLiteral("0.0.0.0"));
  hostPicker_->setAccessibleName(QStringLiteral("受信ホスト"));
  form_->addRow(QStringLiteral("受信ホスト"), hostPicker_);
  // Any pick, by pointer, keys or an assistive tool; the view's own selection is made quietly.
  connect(hostPicker_, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int index) { hostPicked(index); });

  auto* row = new QWidget(this);
  auto* rowLayout = new QHBoxLayout(row);
  rowLayout->setContentsMargins(0, 0, 0, 0);
  restartButton_ = new QPushButton(QStringLiteral("適用してサーバー再起動"), row);
  restartButton_->setAutoDefault(false);
  connect(restartButton_, &QPushButton::clicked, this, [this] { applyAndRestartServer(); });
  rowLayout->addWidget(restartButton_);
  rowLayout->addStretch(1);
  statusDot_ = new QLabel(row);
  statusDot_->setObjectName(QStringLiteral("statusDot"));
  statusDot_->setFixedSize(8, 8);
  rowLayout->addWidget(statusDot_, 0, Qt::AlignVCenter);
  rowLayout->addSpacing(6);
  statusText_ = plainLabel(QString(), row);
  statusText_->setObjectName(QStringLiteral("statusText"));
  applyTextStyle(statusText_, TextStyle::caption);
  applySecondaryStyle(statusText_);
  rowLayout->addWidget(statusText_, 0, Qt::AlignVCenter);
  form_->addRow(row);

  addSectionFooter(
      QStringLiteral("別のマシンで動作するDJソフトからOSCを受信する場合は「すべてのインターフェース」を選択して"
                     "ください。設定は保存され、次回起動時にも適用されます。"));

  serverStateSubscription_ = oscViewModel_.serverState.changed().connect([this](const auto&) { updateServerStatus(); });
  refillPortText();
}

void AppSettingsView::refillPortText() {
  portField_->setText(QString::number(storedPort()));
  const QSignalBlocker quiet(hostPicker_);
  hostPicker_->setCurrentIndex(hostPicker_->findData(QString::fromStdString(storedHost())));
  updateServerStatus();
}

void AppSettingsView::applyPortText() {
  runtime::MainThread::assertMainThread();
  const std::string text = portField_->text().toStdString();
  const auto port = settings::parsePortText(text);
  if (!port) {
    portError_ = QStringLiteral("1〜65535の数値を入力してください");
    portErrorLabel_->setText(*portError_);
    portErrorLabel_->setVisible(true);
    portField_->setText(QString::number(storedPort()));
    return;
  }
  portError_.reset();
  portErrorLabel_->setVisible(false);
  const std::int64_t stored = storedPort();
  if (stored != *port) {
    logConfigChange<std::int64_t, std::uint16_t>("config_change key=oscPort from=%ld to=%hu snapshot_rev=%ld", stored,
                                                 *port);
  }
  defaults().set(settings::SettingsKey::oscPort, *port);
  updateServerStatus();
}

void AppSettingsView::applyAndRestartServer() {
  runtime::MainThread::assertMainThread();
  applyPortText();
  oscViewModel_.stopServer();
  oscViewModel_.startServer(settings::AppSettings::oscConfiguration());
}

void AppSettingsView::hostPicked(int index) {
  runtime::MainThread::assertMainThread();
  if (index < 0) return;
  const std::string host = hostPicker_->itemData(index).toString().toStdString();
  const std::string old = storedHost();
  if (host == old) return;
  defaults().set(settings::SettingsKey::oscHost, host);
  logConfigChange<std::string, std::string>("config_change key=oscHost from=%{public}s to=%{public}s snapshot_rev=%ld",
                                            old, host);
  updateServerStatus();
}

void AppSettingsView::updateServerStatus() {
  const bool running = oscViewModel_.serverState.get().isRunning();
  const QColor color = running ? QColor(Qt::green) : QColor(Qt::gray);
  statusDot_->setStyleSheet(
      QStringLiteral("QLabel#statusDot { background-color: %1; border-radius: 4px; }").arg(color.name()));
  statusDot_->setProperty("running", running);
  if (running) {
    const auto configuration = settings::AppSettings::oscConfiguration();
    statusText_->setText(QStringLiteral("稼働中 ") + QString::fromStdString(configuration.host) + QStringLiteral(":") +
                         QString::number(configuration.port));
  } else {
    statusText_->setText(QStringLiteral("停止中"));
  }
}

// --- frame sharing ---

void AppSettingsView::addSyphonSection() {
  // The output is a PipeWire node here, so the header names PipeWire; the stored key keeps its name.
  addSectionHeader(QStringLiteral("PipeWire出力"));

  const QString defaultName = QString::fromUtf8(settings::AppSettings::kDefaultSyphonServerName);
  syphonServerNameField_ = new QLineEdit(this);
  syphonServerNameField_->setPlaceholderText(defaultName);
  syphonServerNameField_->setAccessibleName(QStringLiteral("サーバー名"));
  syphonApplyButton_ = new QPushButton(QStringLiteral("適用"), this);
  syphonApplyButton_->setAutoDefault(false);

  auto* row = new QWidget(this);
  auto* rowLayout = new QHBoxLayout(row);
  rowLayout->setContentsMargins(0, 0, 0, 0);
  rowLayout->addWidget(syphonServerNameField_, 1);
  rowLayout->addWidget(syphonApplyButton_);
  form_->addRow(QStringLiteral("サーバー名"), row);
  if (auto* label = qobject_cast<QLabel*>(form_->labelForField(row))) label->setBuddy(syphonServerNameField_);

  reloadSyphonServerName();
  // Every edit is stored as typed; the running nodes take a new name only when applied.
  connect(syphonServerNameField_, &QLineEdit::textEdited, this,
          [](const QString& text) { defaults().set(settings::SettingsKey::syphonServerName, text.toStdString()); });
  connect(syphonServerNameField_, &QLineEdit::returnPressed, this, [this] { applySyphonServerName(); });
  connect(syphonApplyButton_, &QPushButton::clicked, this, [this] { applySyphonServerName(); });

  addSectionFooter(QStringLiteral("VJソフト側に表示されるサーバー名です。空欄にすると「") + defaultName +
                   QStringLiteral("」に戻ります。"));
}

void AppSettingsView::reloadSyphonServerName() {
  const QString stored = QString::fromStdString(storedSyphonServerName());
  // Left alone when equal, so the cursor stays where the user put it.
  if (syphonServerNameField_->text() != stored) syphonServerNameField_->setText(stored);
}

void AppSettingsView::applySyphonServerName() {
  runtime::MainThread::assertMainThread();
  defaults().set(settings::SettingsKey::syphonServerName,
                 settings::trimmingWhitespaceAndNewlines(storedSyphonServerName()));
  reloadSyphonServerName();

  const std::string effective = settings::AppSettings::syphonServerName();
  logConfigChange<std::string>("config_change key=syphonServerName to=%{public}s snapshot_rev=%ld", effective);
  connectionManager_.renameSyphonServers(effective);
}

// --- search from the tablet ---

void AppSettingsView::addSearchSection() {
  addSectionHeader(QStringLiteral("iPad からの検索"));

  searchSourcePicker_ = new QComboBox(this);
  searchSourcePicker_->addItem(QStringLiteral("YouTube"), QString::fromUtf8(kYouTube));
  searchSourcePicker_->addItem(QStringLiteral("Mac のローカルファイル"), QString::fromUtf8(kLocalFiles));
  searchSourcePicker_->setAccessibleName(QStringLiteral("iPad の検索窓で探すもの"));
  form_->addRow(QStringLiteral("iPad の検索窓で探すもの"), searchSourcePicker_);
  connect(searchSourcePicker_, qOverload<int>(&QComboBox::currentIndexChanged), this,
          [this](int index) { searchSourcePicked(index); });

  searchFolderRow_ = new QWidget(this);
  searchFolderRow_->setObjectName(QStringLiteral("searchFolderRow"));
  auto* rowLayout = new QHBoxLayout(searchFolderRow_);
  rowLayout->setContentsMargins(0, 0, 0, 0);
  searchFolderLabel_ = new MiddleElidedLabel(searchFolderRow_);
  searchFolderLabel_->setObjectName(QStringLiteral("searchFolder"));
  applyTextStyle(searchFolderLabel_, TextStyle::caption);
  rowLayout->addWidget(searchFolderLabel_, 1);
  searchFolderButton_ = new QPushButton(QStringLiteral("フォルダを選ぶ..."), searchFolderRow_);
  searchFolderButton_->setAutoDefault(false);
  connect(searchFolderButton_, &QPushButton::clicked, this, [this] { chooseSearchFolder(); });
  rowLayout->addWidget(searchFolderButton_);
  form_->addRow(searchFolderRow_);

  searchFolderError_ = plainLabel(QString(), this);
  searchFolderError_->setObjectName(QStringLiteral("searchFolderError"));
  applyTextStyle(searchFolderError_, TextStyle::caption);
  setTextColor(searchFolderError_, Qt::red);
  searchFolderError_->setVisible(false);
  form_->addRow(searchFolderError_);

  addSectionFooter(QStringLiteral(
      "iPad の検索窓で何を探すかを選びます。「Mac "
      "のローカルファイル」では、選んだフォルダ（サブフォルダを含む）の動画（mp4 / "
      "m4v / mov）をファイル名で探し、iPad で選んで Load するとこの Mac から配信します。BPM は Mac が解析します。"));
  updateSearchRows();
}

void AppSettingsView::searchSourcePicked(int index) {
  runtime::MainThread::assertMainThread();
  if (index < 0) return;
  const std::string source = searchSourcePicker_->itemData(index).toString().toStdString();
  const std::string old = storedSearchSource();
  if (source == old) return;
  defaults().set(settings::SettingsKey::ipadSearchSource, source);
  logConfigChange<std::string, std::string>(
      "config_change key=ipadSearchSource from=%{public}s to=%{public}s snapshot_rev=%ld", old, source);
  updateSearchRows();
}

void AppSettingsView::updateSearchRows() {
  const std::string source = storedSearchSource();
  {
    const QSignalBlocker quiet(searchSourcePicker_);
    searchSourcePicker_->setCurrentIndex(searchSourcePicker_->findData(QString::fromStdString(source)));
  }
  const bool local = source == kLocalFiles;
  searchFolderRow_->setVisible(local);
  if (!local) searchFolderError_->setVisible(false);

  const std::string folder = storedSearchFolder();
  MiddleElidedLabel* label = searchFolderLabel_;
  if (folder.empty()) {
    label->setFullText(QStringLiteral("フォルダが未選択です"));
    setTextColor(label, QColor(255, 149, 0));
  } else {
    label->setFullText(QString::fromStdString(folder));
    label->setPalette(QPalette());
    applySecondaryStyle(label);
  }
}

QLabel* AppSettingsView::searchFolderLabel() const noexcept { return searchFolderLabel_; }

void AppSettingsView::chooseSearchFolder() {
  runtime::MainThread::assertMainThread();
  const auto chosen = dependencies_.chooseSearchFolder(this);
  if (!chosen || chosen->empty()) return;
  const bool wasSet = !storedSearchFolder().empty();
  const std::string_view from = wasSet ? "set" : "unset";
  if (const auto problem = searchFolderProblem(*chosen)) {
    diagnostics::Log::app().error("config_change_fail key=ipadSearchFolder from=%{public}s reason=%{public}s",
                                  std::string(from), std::string(*problem));
    searchFolderError_->setText(QStringLiteral("フォルダ名に使えない文字が含まれています"));
    searchFolderError_->setVisible(true);
    return;
  }
  searchFolderError_->setVisible(false);
  defaults().set(settings::SettingsKey::ipadSearchFolder, chosen->native());
  logConfigChange<std::string>("config_change key=ipadSearchFolder from=%{public}s to=set snapshot_rev=%ld",
                               std::string(from));
  updateSearchRows();
}

// --- cache ---

void AppSettingsView::addCacheSection() {
  addSectionHeader(QStringLiteral("キャッシュ"));

  cacheToggle_ = new QCheckBox(QStringLiteral("YouTube の動画をディスクにキャッシュする"), this);
  form_->addRow(cacheToggle_);
  connect(cacheToggle_, &QCheckBox::toggled, this, [this](bool checked) { cacheToggled(checked); });

  cacheLimitStepper_ = new CacheLimitStepper(this);
  cacheLimitStepper_->setRange(kCacheLimitMinimum, kCacheLimitMaximum);
  cacheLimitStepper_->setSingleStep(kCacheLimitStep);
  cacheLimitStepper_->setPrefix(QStringLiteral("容量の上限: "));
  cacheLimitStepper_->setSuffix(QStringLiteral(" GB"));
  cacheLimitStepper_->setKeyboardTracking(false);
  cacheLimitStepper_->setAccessibleName(QStringLiteral("容量の上限"));
  form_->addRow(cacheLimitStepper_);
  connect(cacheLimitStepper_, qOverload<int>(&QSpinBox::valueChanged), this,
          [this](int value) { cacheLimitStepped(value); });

  addSectionFooter(QStringLiteral(
      "iPad へ送った YouTube の動画を再生しながらディスクに貯め、同じ起動中の再生し直しや A/B デッキ間で再利用します。"
      "キャッシュはアプリの終了時に消えます。ディスクの空きが 10 GB "
      "を切ると貯めません。次に送る動画から反映されます。"));
  reloadCacheRows();
}

void AppSettingsView::reloadCacheRows() {
  const bool enabled = settings::AppSettings::relayCacheEnabled();
  {
    const QSignalBlocker quietToggle(cacheToggle_);
    cacheToggle_->setChecked(enabled);
  }
  // A stored limit off the stepper's steps is shown at the nearest step; showing it is no change.
  const QSignalBlocker quiet(cacheLimitStepper_);
  cacheLimitStepper_->setValue(nearestCacheLimitStep(storedCacheLimit()));
  cacheLimitStepper_->setEnabled(enabled);
}

void AppSettingsView::cacheToggled(bool enabled) {
  runtime::MainThread::assertMainThread();
  const bool old = settings::AppSettings::relayCacheEnabled();
  if (enabled != old) {
    defaults().set(settings::SettingsKey::relayCacheEnabled, enabled);
    logConfigChange<bool, bool>("config_change key=relayCacheEnabled from=%{bool}d to=%{bool}d snapshot_rev=%ld", old,
                                enabled);
  }
  cacheLimitStepper_->setEnabled(enabled);
}

void AppSettingsView::cacheLimitStepped(int value) {
  runtime::MainThread::assertMainThread();
  const std::int64_t old = storedCacheLimit();
  if (value == old) return;
  defaults().set(settings::SettingsKey::relayCacheLimitGB, value);
  logConfigChange<std::int64_t, std::int64_t>("config_change key=relayCacheLimitGB from=%ld to=%ld snapshot_rev=%ld",
                                              old, std::int64_t{value});
}

bool AppSettingsView::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  // The window manager's frame is known once it has placed the window.
  if (event->type() == QEvent::Move) fitHeightToContent();
  if (event->type() == QEvent::Resize && event->spontaneous()) sizeReported();
  return handled;
}

void AppSettingsView::sizeReported() {
  // An X server's notice for a height asked for earlier can come after a later height was
  // fitted, and the window takes it as its size: the form would stay taller than the window, its
  // end out of reach with the scroll bar off. The fitted height is asked for once more; a window
  // manager that answers with its own height again is left with it.
  if (!isWindow() || minimumHeight() != maximumHeight() || height() == minimumHeight()) {
    heightAskedAgain_ = false;
    return;
  }
  if (heightAskedAgain_) return;
  heightAskedAgain_ = true;
  resize(width(), minimumHeight());
}

void AppSettingsView::fitHeightToContent() {
  // Wrapped texts need more height the narrower they are; the width is fixed, so the height
  // that fits everything is known exactly.
  const int fitted = form_->totalHeightForWidth(kWidth);
  const int needed = fitted > 0 ? fitted : form_->totalSizeHint().height();
  int height = needed;
  if (const QScreen* shown = screen()) {
    // The window manager's frame counts against the screen too.
    const int frame = isWindow() ? frameGeometry().height() - geometry().height() : 0;
    height = std::min(height, std::max(minimumSizeHint().height(), shown->availableGeometry().height() - frame));
  }
  // Whether the form needs to scroll is known here; left to itself, the area would keep a bar
  // it took while the window was lower, since the bar narrows the form and so lengthens it.
  scrollArea_->setVerticalScrollBarPolicy(height < needed ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  if (height == minimumHeight() && height == maximumHeight()) return;
  heightAskedAgain_ = false;
  setFixedHeight(height);
  // A window placed for its old height, or before its frame was known, may now reach past the
  // screen's edge: brought back within it. Only a change of height moves it, never a place the
  // user chose.
  if (const QScreen* shown = screen(); shown != nullptr && isWindow() && isVisible()) {
    const QRect available = shown->availableGeometry();
    const QRect frame = frameGeometry();
    const auto within = [](int start, int length, int first, int end) {
      return std::max(first, std::min(start, end - length));
    };
    const QPoint topLeft(within(frame.left(), frame.width(), available.left(), available.left() + available.width()),
                         within(frame.top(), frame.height(), available.top(), available.top() + available.height()));
    if (topLeft != frame.topLeft()) move(topLeft);
  }
}

void AppSettingsView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (QWindow* window = windowHandle()) {
    connect(window, &QWindow::screenChanged, this, &AppSettingsView::fitHeightToContent, Qt::UniqueConnection);
  }
  fitHeightToContent();
  refillPortText();
  reloadSyphonServerName();
  updateSearchRows();
  reloadCacheRows();
  loadPreviousExitState();
}

} // namespace pd::ui
