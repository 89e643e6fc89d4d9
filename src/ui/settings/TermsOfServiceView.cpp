#include "ui/settings/TermsOfServiceView.hpp"

#include "platform/settings/UserDefaults.hpp"
#include "ui/settings/Typography.hpp"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace pd::ui {

namespace {

// Section texts mark a bold lead phrase with "**"; everything else is shown as written.
QString emphasisToRichText(const QString& text) {
  QString out;
  bool bold = false;
  const QStringList pieces = text.split(QStringLiteral("**"));
  for (qsizetype i = 0; i < pieces.size(); ++i) {
    if (i > 0) {
      out += bold ? QStringLiteral("</b>") : QStringLiteral("<b>");
      bold = !bold;
    }
    out += pieces[i].toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>"));
  }
  if (bold) {
    out += QStringLiteral("</b>");
  }
  return out;
}

QLabel* bodyLabel(const QString& text) {
  auto* label = new QLabel;
  label->setTextFormat(Qt::RichText);
  label->setText(emphasisToRichText(text));
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeading | Qt::AlignTop);
  label->setAccessibleName(QString(text).remove(QStringLiteral("**")));
  applyTextStyle(label, TextStyle::callout);
  applySecondaryStyle(label);
  return label;
}

QLabel* linkLabel(const QString& caption, const QString& target) {
  auto* label = new QLabel;
  label->setTextFormat(Qt::RichText);
  label->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(target.toHtmlEscaped(), caption.toHtmlEscaped()));
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setOpenExternalLinks(false);
  label->setAccessibleName(caption);
  applyTextStyle(label, TextStyle::callout);
  QObject::connect(label, &QLabel::linkActivated, [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
  return label;
}

QWidget* stack(int spacing, std::initializer_list<QWidget*> items) {
  auto* widget = new QWidget;
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(spacing);
  // No alignment: an aligned item gets only its size hint's width, and a wrapping label then
  // keeps a narrow column and is cut off below.
  for (QWidget* item : items) {
    layout->addWidget(item);
  }
  return widget;
}

QWidget* makeSections() {
  auto* container = new QWidget;
  auto* layout = new QVBoxLayout(container);
  // The right gutter keeps text clear of the scroll indicator.
  layout->setContentsMargins(0, 0, 12, 8);
  layout->setSpacing(24);

  layout->addWidget(new TermsSection(
      QStringLiteral("1"), QStringLiteral("はじめに"),
      bodyLabel(QStringLiteral(
          "本利用規約（以下「本規約」）は、Quelbo（以下「運営者」）が提供するデスクトップアプリケーション"
          "「Palendrix Display」（以下「本アプリ」）の利用条件を定めるものです。本アプリを利用するには本規約への同意が"
          "必要です。「同意してはじめる」を押した時点で、本規約に同意したものとみなします。"))));

  layout->addWidget(new TermsSection(
      QStringLiteral("2"), QStringLiteral("サービス概要"),
      stack(6,
            {bodyLabel(QStringLiteral(
                 "本アプリは、iPad 用アプリが送る映像をこのコンピューターで受信して表示し、ほかの映像アプリケーションへ"
                 "出力するための受信アプリです。DJ ソフトウェアのデッキ情報の中継や、動画を iPad "
                 "へ送る機能も備えています。")),
             bodyLabel(QStringLiteral(
                 "• iPad 用アプリは iPad のアプリ配信サービスから、本アプリは運営者の配布ページまたはお使いのシステムの"
                 "パッケージから入手できます。\n"
                 "• iPad 用アプリと本アプリは、どちらも無料でご利用いただけます。"))})));

  layout->addWidget(new TermsSection(
      QStringLiteral("3"), QStringLiteral("コンテンツの利用と著作権"),
      stack(10, {bodyLabel(QStringLiteral(
                     "本アプリで表示・送信・中継する映像、音楽、画像などのコンテンツの著作権は、それぞれの権利者に帰属"
                     "します。"
                     "運営者は、利用者が本アプリで扱うコンテンツについて、いかなる権利も取得しません。")),
                 bodyLabel(QStringLiteral(
                     "**コンテンツの利用は利用者の責任で行ってください。**第三者の著作物を上映・配信・録画するときは、"
                     "著作権法などの法令と各サービスの利用規約に従い、必要な許諾を利用者自身で得てください。")),
                 bodyLabel(QStringLiteral(
                     "オンライン動画の検索と再生には、第三者が運営するサービスを利用します。これらのサービスの内容や"
                     "提供の継続について、運営者は保証しません。"))})));

  layout->addWidget(new TermsSection(
      QStringLiteral("4"), QStringLiteral("免責事項・責任の制限"),
      stack(
          8,
          {bodyLabel(QStringLiteral(
               "本アプリは現状のまま提供されます。特定の目的への適合性、動作の継続性、不具合がないことについて、"
               "運営者は明示・黙示を問わず保証しません。")),
           bodyLabel(QStringLiteral(
               "**ライブでの利用について。**本番の上映や配信の前に、機材、ネットワーク、映像出力の動作を十分に確認して"
               "ください。通信の途絶や映像の遅延・欠落によって生じた損害について、運営者は責任を負いません。")),
           bodyLabel(QStringLiteral(
               "法令により運営者の責任が免除されない場合も、運営者の故意または重大な過失によるときを除き、運営者の"
               "責任は直接かつ通常の損害に限られます。"))})));

  layout->addWidget(new TermsSection(
      QStringLiteral("5"), QStringLiteral("禁止事項"),
      bodyLabel(QStringLiteral(
          "法令または公序良俗に反する行為、第三者の権利を侵害する行為、本アプリや関連するサービスの運営を妨げる行為、"
          "その他運営者が不適切と判断する行為を禁止します。"))));

  layout->addWidget(new TermsSection(
      QStringLiteral("6〜8"), QStringLiteral("サービス変更・規約変更・準拠法"),
      stack(8,
            {bodyLabel(QStringLiteral(
                 "運営者は、事前の通知なく本アプリの内容を変更し、または提供を終了することがあります。本規約を変更した"
                 "ときは、本アプリの中で改めて同意をお願いします。本規約は日本法に準拠し、本アプリに関する紛争は、"
                 "運営者の所在地を管轄する裁判所を第一審の専属的合意管轄裁判所とします。")),
             linkLabel(QStringLiteral("最新の規約を確認する"), TermsOfServiceView::termsPageURL())})));

  auto* operatorName = new QLabel(QStringLiteral("Quelbo"));
  operatorName->setTextFormat(Qt::PlainText);
  applyTextStyle(operatorName, TextStyle::callout, true);
  layout->addWidget(new TermsSection(
      QStringLiteral("9"), QStringLiteral("お問い合わせ"),
      stack(4, {operatorName, linkLabel(TermsOfServiceView::supportMailAddress(),
                                        QStringLiteral("mailto:") + TermsOfServiceView::supportMailAddress())})));
  layout->addStretch(1);
  return container;
}

} // namespace

TermsSection::TermsSection(const QString& number, const QString& title, QWidget* content, QWidget* parent)
    : QWidget(parent), number_(number), title_(title) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(6);
  auto* heading = new QLabel(number + QStringLiteral(". ") + title);
  heading->setTextFormat(Qt::PlainText);
  heading->setObjectName(QStringLiteral("sectionHeading"));
  applyTextStyle(heading, TextStyle::headline);
  layout->addWidget(heading);
  layout->addWidget(content);
}

QString TermsOfServiceView::termsPageURL() { return QStringLiteral("https://quelbo.tech/palendrix/terms"); }

QString TermsOfServiceView::supportMailAddress() { return QStringLiteral("support@quelbo.tech"); }

TermsOfServiceView::TermsOfServiceView(int currentTermsVersion, QWidget* parent)
    : QWidget(parent), currentTermsVersion_(currentTermsVersion) {
  setFixedSize(kWidth, kHeight);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(28, 28, 28, 28);
  layout->setSpacing(0);

  auto* heading = new QLabel(QStringLiteral("利用規約"));
  heading->setTextFormat(Qt::PlainText);
  applyTextStyle(heading, TextStyle::largeTitle, true);
  layout->addWidget(heading);
  layout->addSpacing(2);

  auto* date = new QLabel(QStringLiteral("最終更新日：2026年10月7日"));
  date->setTextFormat(Qt::PlainText);
  applyTextStyle(date, TextStyle::caption);
  applySecondaryStyle(date);
  layout->addWidget(date);
  layout->addSpacing(20);

  auto* scroll = new QScrollArea;
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroll->setAccessibleName(QStringLiteral("利用規約の本文"));
  scroll->setWidget(makeSections());
  layout->addWidget(scroll, 1);

  layout->addSpacing(16);
  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  layout->addWidget(divider);
  layout->addSpacing(16);

  auto* row = new QHBoxLayout;
  row->addStretch(1);
  acceptButton_ = new QPushButton(QStringLiteral("同意してはじめる"));
  acceptButton_->setDefault(true);
  acceptButton_->setAutoDefault(true);
  acceptButton_->setMinimumHeight(32);
  acceptButton_->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
  row->addWidget(acceptButton_, 0, Qt::AlignVCenter);
  layout->addLayout(row);

  connect(acceptButton_, &QPushButton::clicked, this, [this] { accept(); });
  setFocusProxy(acceptButton_);
}

int TermsOfServiceView::acceptedTermsVersion() {
  const std::int64_t stored = platform::UserDefaults::standard().integer(kAcceptedTermsVersionKey);
  return static_cast<int>(
      std::clamp<std::int64_t>(stored, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

void TermsOfServiceView::accept() {
  platform::UserDefaults::standard().set(kAcceptedTermsVersionKey, currentTermsVersion_);
}

} // namespace pd::ui
