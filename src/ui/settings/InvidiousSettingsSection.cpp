#include "ui/settings/InvidiousSettingsSection.hpp"

#include "platform/settings/UserDefaults.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Task.hpp"
#include "ui/settings/MiddleElidedLabel.hpp"
#include "ui/settings/Typography.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace pd::ui {

using remotesource::InvidiousInstance;
using remotesource::InvidiousInstanceManager;
using remotesource::ProxyPolicy;

// The most recently scheduled save; each new one waits for it before it calls the manager.
struct InvidiousSettingsSection::SaveChain {
  std::optional<runtime::Task<void>> lastSave;
  // Saves scheduled so far: a load that sees it move knows the user changed something meanwhile.
  std::uint64_t scheduled = 0;
};

namespace {

QString blankTrimmed(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

} // namespace

QString InvidiousSettingsSection::policyLabel(ProxyPolicy policy) {
  switch (policy) {
  case ProxyPolicy::automatic: return QStringLiteral("自動（直リンク優先）");
  case ProxyPolicy::directOnly: return QStringLiteral("直リンクのみ");
  case ProxyPolicy::proxyOnly: return QStringLiteral("プロキシ経由のみ");
  }
  return {};
}

QString InvidiousSettingsSection::policyHelp(ProxyPolicy policy) {
  switch (policy) {
  case ProxyPolicy::automatic:
    return QStringLiteral(
        "まず YouTube 直リンクで再生し、失敗したら Invidious プロキシ経由に切り替えます。通常はこれで問題あり"
        "ません。");
  case ProxyPolicy::directOnly:
    return QStringLiteral(
        "常に YouTube 直リンクで再生します。プロキシへは切り替えないため、直リンクが弾かれるインスタンスでは"
        "再生に失敗します。");
  case ProxyPolicy::proxyOnly:
    return QStringLiteral(
        "常に Invidious プロキシ経由で再生します。直リンクが IP 制限などで弾かれるインスタンス向け。帯域は"
        "インスタンス依存になります。");
  }
  return {};
}

InvidiousSettingsSection::InvidiousSettingsSection(std::weak_ptr<InvidiousInstanceManager> manager, QWidget* parent)
    : QWidget(parent), manager_(std::move(manager)), saveChain_(std::make_unique<SaveChain>()) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 14, 0, 0);
  layout->setSpacing(6);

  auto* header = new QLabel(QStringLiteral("動画ソース（Invidious）"), this);
  header->setTextFormat(Qt::PlainText);
  header->setObjectName(QStringLiteral("sectionHeader"));
  applyTextStyle(header, TextStyle::headline);
  layout->addWidget(header);

  rowsLayout_ = new QVBoxLayout;
  rowsLayout_->setSpacing(4);
  layout->addLayout(rowsLayout_);

  auto* addRow = new QHBoxLayout;
  hostField_ = new QLineEdit(this);
  hostField_->setPlaceholderText(QString::fromUtf8(kExampleHost));
  hostField_->setAccessibleName(QStringLiteral("追加"));
  connect(hostField_, &QLineEdit::returnPressed, this, [this] { addInstance(); });
  addRow->addWidget(hostField_, 1, Qt::AlignVCenter);
  newPolicyPicker_ = makePolicyPicker(this);
  newPolicyPicker_->setAccessibleName(QStringLiteral("追加するインスタンスのプロキシ"));
  addRow->addWidget(newPolicyPicker_, 0, Qt::AlignVCenter);
  addButton_ = new QPushButton(QStringLiteral("追加"), this);
  addButton_->setAutoDefault(false);
  addButton_->setEnabled(false);
  connect(addButton_, &QPushButton::clicked, this, [this] { addInstance(); });
  connect(hostField_, &QLineEdit::textChanged, this,
          [this](const QString& text) { addButton_->setEnabled(!blankTrimmed(text).isEmpty()); });
  addRow->addWidget(addButton_, 0, Qt::AlignVCenter);
  layout->addLayout(addRow);

  errorLabel_ = new QLabel(this);
  errorLabel_->setTextFormat(Qt::PlainText);
  errorLabel_->setObjectName(QStringLiteral("invidiousError"));
  applyTextStyle(errorLabel_, TextStyle::caption);
  QPalette red = errorLabel_->palette();
  red.setColor(QPalette::WindowText, Qt::red);
  errorLabel_->setPalette(red);
  errorLabel_->setVisible(false);
  layout->addWidget(errorLabel_);

  fallbackToggle_ =
      new QCheckBox(QStringLiteral("追加したインスタンスが使えないときは標準のインスタンスへ切り替える"), this);
  fallbackToggle_->setChecked(fallbackEnabled_);
  // The load's assignment is made quietly: it is no change of the user's.
  connect(fallbackToggle_, &QCheckBox::toggled, this, [this](bool checked) {
    if (checked == fallbackEnabled_) return;
    fallbackEnabled_ = checked;
    fallbackChanged(checked);
  });
  layout->addWidget(fallbackToggle_);

  auto* footer = new QLabel(
      QStringLiteral(
          "「iPad へ送る」の YouTube 検索と再生に使うインスタンスです。追加したインスタンスを上から順に使い、つながらな"
          "ければ次へ切り替えます。何も追加しなければ標準のインスタンスを使います。プロキシの使い方はインスタンスごと"
          "に選べます（直リンクが弾かれるネットワークでは「プロキシ経由のみ」）。"),
      this);
  footer->setTextFormat(Qt::PlainText);
  footer->setObjectName(QStringLiteral("sectionFooter"));
  footer->setWordWrap(true);
  applyTextStyle(footer, TextStyle::caption);
  applySecondaryStyle(footer);
  layout->addWidget(footer);
}

InvidiousSettingsSection::~InvidiousSettingsSection() = default;

QComboBox* InvidiousSettingsSection::makePolicyPicker(QWidget* parent) const {
  auto* picker = new QComboBox(parent);
  for (const ProxyPolicy policy : remotesource::kAllProxyPolicies) {
    picker->addItem(policyLabel(policy), static_cast<int>(policy));
    picker->setItemData(picker->count() - 1, policyHelp(policy), Qt::ToolTipRole);
  }
  picker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  return picker;
}

QWidget* InvidiousSettingsSection::row(const QString& host) const {
  for (int i = 0; i < rowsLayout_->count(); ++i) {
    QWidget* widget = rowsLayout_->itemAt(i)->widget();
    if (widget != nullptr && widget->property("host").toString() == host) return widget;
  }
  return nullptr;
}

void InvidiousSettingsSection::rebuildRows() {
  while (QLayoutItem* item = rowsLayout_->takeAt(0)) {
    if (QWidget* widget = item->widget()) {
      widget->hide();
      widget->deleteLater();
    }
    delete item;
  }
  for (const InvidiousInstance& entry : instances_) {
    const QString host = QString::fromStdString(entry.host);
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("instanceRow"));
    row->setProperty("host", host);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);

    auto* hostLabel = new MiddleElidedLabel(row);
    hostLabel->setObjectName(QStringLiteral("instanceHost"));
    hostLabel->setFullText(host);
    rowLayout->addWidget(hostLabel, 1);

    auto* picker = makePolicyPicker(row);
    picker->setCurrentIndex(picker->findData(static_cast<int>(entry.proxy)));
    picker->setToolTip(policyHelp(entry.proxy));
    picker->setAccessibleName(host + QStringLiteral(" のプロキシ"));
    connect(picker, qOverload<int>(&QComboBox::currentIndexChanged), this, [this, picker, key = entry.host](int index) {
      if (index < 0) return;
      const auto policy = static_cast<ProxyPolicy>(picker->itemData(index).toInt());
      picker->setToolTip(policyHelp(policy));
      const auto found = std::find_if(instances_.begin(), instances_.end(),
                                      [&key](const InvidiousInstance& candidate) { return candidate.host == key; });
      if (found == instances_.end() || found->proxy == policy) return;
      found->proxy = policy;
      policyChanged(*found);
    });
    rowLayout->addWidget(picker);

    auto* remove = new QToolButton(row);
    remove->setObjectName(QStringLiteral("removeInstance"));
    remove->setIcon(
        QIcon::fromTheme(QStringLiteral("list-remove"), style()->standardIcon(QStyle::SP_DialogDiscardButton)));
    remove->setAutoRaise(true);
    remove->setToolTip(QStringLiteral("このインスタンスを外す"));
    remove->setAccessibleName(QStringLiteral("このインスタンスを外す"));
    remove->setAccessibleDescription(host);
    connect(remove, &QToolButton::clicked, this, [this, entry] { removeInstance(entry); });
    rowLayout->addWidget(remove);

    rowsLayout_->addWidget(row);
    row->show();
  }
}

void InvidiousSettingsSection::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  load();
}

void InvidiousSettingsSection::load() {
  runtime::MainThread::assertMainThread();
  auto manager = manager_.lock();
  if (!manager) return;
  // The manager answers reads while a save waits for its health check, so a read made now could
  // miss the saves still queued and put back what the user already changed. The read waits for
  // them to land, and what the user changes meanwhile stays on screen.
  auto pending = saveChain_->lastSave;
  const std::uint64_t saves = saveChain_->scheduled;
  runtime::spawnDetached(
      runtime::MainThread::executor(),
      [self = QPointer(this), manager, pending = std::move(pending), saves]() -> runtime::Awaitable<void> {
        if (pending) {
          try {
            co_await pending->value();
          } catch (...) {
            // A save that did not finish leaves the manager's list as it is.
          }
        }
        auto list = co_await manager->userInstances();
        if (!showLoadedList(self, std::move(list), saves)) co_return;
        const bool fallback = co_await manager->defaultFallbackEnabled();
        finishLoad(self, fallback, saves);
      });
}

bool InvidiousSettingsSection::showLoadedList(const QPointer<InvidiousSettingsSection>& self,
                                              std::vector<InvidiousInstance> list, std::uint64_t saves) {
  InvidiousSettingsSection* section = self.data();
  if (section == nullptr) return false;
  if (section->saveChain_->scheduled != saves) return true;
  section->instances_ = std::move(list);
  section->rebuildRows();
  return true;
}

void InvidiousSettingsSection::finishLoad(const QPointer<InvidiousSettingsSection>& self, bool fallback,
                                          std::uint64_t saves) {
  InvidiousSettingsSection* section = self.data();
  if (section == nullptr) return;
  if (section->saveChain_->scheduled == saves) {
    section->fallbackEnabled_ = fallback;
    const QSignalBlocker quiet(section->fallbackToggle_);
    section->fallbackToggle_->setChecked(fallback);
  }
  section->isLoaded_ = true;
}

void InvidiousSettingsSection::addInstance() {
  runtime::MainThread::assertMainThread();
  const std::string host = InvidiousInstanceManager::normalizeHost(hostField_->text().toStdString());
  std::optional<QString> refusal;
  if (!InvidiousInstanceManager::isValidHost(host)) {
    refusal = QStringLiteral("ホスト名の形式が正しくありません（例: ") + QString::fromUtf8(kExampleHost) +
              QStringLiteral("、host:port も可）");
  } else if (std::ranges::any_of(InvidiousInstanceManager::defaultInstances(),
                                 [&host](const InvidiousInstance& builtIn) { return builtIn.host == host; })) {
    refusal = QStringLiteral("標準のインスタンスです（追加しなくても使われます）");
  } else if (std::ranges::any_of(instances_, [&host](const InvidiousInstance& entry) { return entry.host == host; })) {
    refusal = QStringLiteral("すでに追加されています");
  }
  if (refusal) {
    // Stays until an add succeeds; what was typed and picked stays too.
    inputError_ = refusal;
    errorLabel_->setText(*refusal);
    errorLabel_->setVisible(true);
    return;
  }
  const auto policy = static_cast<ProxyPolicy>(newPolicyPicker_->currentData().toInt());
  instances_.push_back({host, policy});
  hostField_->clear();
  newPolicyPicker_->setCurrentIndex(newPolicyPicker_->findData(static_cast<int>(ProxyPolicy::automatic)));
  inputError_.reset();
  errorLabel_->setVisible(false);
  rebuildRows();
  if (isLoaded_) scheduleSave(Save::userInstances);
}

void InvidiousSettingsSection::removeInstance(const InvidiousInstance& entry) {
  runtime::MainThread::assertMainThread();
  std::erase_if(instances_, [&entry](const InvidiousInstance& candidate) { return candidate.host == entry.host; });
  rebuildRows();
  if (isLoaded_) scheduleSave(Save::userInstances);
}

void InvidiousSettingsSection::policyChanged(const InvidiousInstance&) {
  runtime::MainThread::assertMainThread();
  if (isLoaded_) scheduleSave(Save::userInstances);
}

void InvidiousSettingsSection::fallbackChanged(bool enabled) {
  runtime::MainThread::assertMainThread();
  fallbackEnabled_ = enabled;
  {
    const QSignalBlocker quiet(fallbackToggle_);
    fallbackToggle_->setChecked(enabled);
  }
  if (isLoaded_) scheduleSave(Save::fallback);
}

void InvidiousSettingsSection::scheduleSave(Save what) {
  auto manager = manager_.lock();
  if (!manager) return;
  // The value as it is now, not as it is when the save's turn comes.
  auto list = instances_;
  const bool fallback = fallbackEnabled_;
  auto predecessor = saveChain_->lastSave;
  ++saveChain_->scheduled;
  // The saves own the manager and run to the end, also after the section is gone.
  saveChain_->lastSave =
      runtime::spawn(runtime::MainThread::executor(),
                     [predecessor = std::move(predecessor), manager = std::move(manager), what, list = std::move(list),
                      fallback]() -> runtime::Awaitable<void> {
                       if (predecessor) {
                         try {
                           co_await predecessor->value();
                         } catch (...) {
                           // A save that did not finish does not stop the ones after it.
                         }
                       }
                       if (what == Save::userInstances) {
                         co_await manager->setUserInstances(list, platform::UserDefaults::standard());
                       } else {
                         co_await manager->setDefaultFallbackEnabled(fallback, platform::UserDefaults::standard());
                       }
                     });
}

} // namespace pd::ui
