#include "ui/settings/TermsOfServiceView.hpp"

#include "QtTestEnvironment.hpp"
#include "platform/settings/UserDefaults.hpp"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace pd::ui {
namespace {

class UrlRecorder : public QObject {
  Q_OBJECT

public:
  QList<QUrl> opened;

public Q_SLOTS:
  void open(const QUrl& url) { opened.push_back(url); }
};

class TermsOfServiceViewTest : public ::testing::Test {
protected:
  platform::UserDefaults defaults;
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  TermsOfServiceView view{2};

  QLabel* labelNamed(const QString& name) {
    for (auto* label : view.findChildren<QLabel*>()) {
      if (label->accessibleName() == name) {
        return label;
      }
    }
    return nullptr;
  }
};

TEST_F(TermsOfServiceViewTest, SectionsAreNumberedExactlyAsWritten) {
  std::vector<std::pair<QString, QString>> sections;
  for (auto* section : view.findChildren<TermsSection*>()) {
    sections.emplace_back(section->number(), section->title());
  }
  const std::vector<std::pair<QString, QString>> expected = {
      {"1", "はじめに"},
      {"2", "サービス概要"},
      {"3", "コンテンツの利用と著作権"},
      {"4", "免責事項・責任の制限"},
      {"5", "禁止事項"},
      {"6〜8", "サービス変更・規約変更・準拠法"},
      {"9", "お問い合わせ"},
  };
  EXPECT_EQ(sections, expected);
  auto* combined = view.findChildren<TermsSection*>().at(5)->findChild<QLabel*>("sectionHeading");
  ASSERT_NE(combined, nullptr);
  EXPECT_EQ(combined->text(), QStringLiteral("6〜8. サービス変更・規約変更・準拠法"));
}

TEST_F(TermsOfServiceViewTest, LayoutTextsAndSize) {
  EXPECT_EQ(view.size(), QSize(560, 560));
  QStringList texts;
  for (auto* label : view.findChildren<QLabel*>()) {
    texts << label->text();
  }
  EXPECT_TRUE(texts.contains(QStringLiteral("利用規約")));
  EXPECT_TRUE(texts.contains(QStringLiteral("最終更新日：2026年10月7日")));
  // A bold lead phrase is bold, and no emphasis marker shows through.
  EXPECT_TRUE(texts.join('\n').contains(QStringLiteral("<b>コンテンツの利用は利用者の責任で行ってください。</b>")));
  EXPECT_FALSE(texts.join('\n').contains(QStringLiteral("**")));
  EXPECT_EQ(view.acceptButton()->text(), QStringLiteral("同意してはじめる"));
}

TEST_F(TermsOfServiceViewTest, ParagraphsUseTheFullWidthAndAreNeverCutOff) {
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  int widest = 0;
  std::vector<QLabel*> paragraphs;
  for (auto* label : view.findChildren<QLabel*>()) {
    if (label->wordWrap()) {
      paragraphs.push_back(label);
      widest = std::max(widest, label->width());
    }
  }
  ASSERT_GE(paragraphs.size(), 10u);
  for (auto* label : paragraphs) {
    // A paragraph in a nested stack once kept its size hint's narrow width and lost its last lines.
    EXPECT_GE(label->width(), widest * 9 / 10) << label->accessibleName().toStdString();
    EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->accessibleName().toStdString();
  }
}

TEST_F(TermsOfServiceViewTest, AcceptingStoresTheCurrentVersion) {
  EXPECT_EQ(TermsOfServiceView::acceptedTermsVersion(), 0);
  defaults.set(TermsOfServiceView::kAcceptedTermsVersionKey, 1);
  EXPECT_EQ(TermsOfServiceView::acceptedTermsVersion(), 1);
  view.acceptButton()->click();
  EXPECT_EQ(defaults.integer(TermsOfServiceView::kAcceptedTermsVersionKey), 2);
  // Out-of-range stored values do not wrap into a small accepted version.
  defaults.set(TermsOfServiceView::kAcceptedTermsVersionKey, std::int64_t{1} << 40);
  EXPECT_GE(TermsOfServiceView::acceptedTermsVersion(), 2);
}

TEST_F(TermsOfServiceViewTest, ReturnInTheHostingDialogAccepts) {
  QDialog host;
  auto* layout = new QVBoxLayout(&host);
  auto* hosted = new TermsOfServiceView(2);
  layout->addWidget(hosted);
  host.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&host));
  QTest::keyClick(&host, Qt::Key_Return);
  EXPECT_EQ(defaults.integer(TermsOfServiceView::kAcceptedTermsVersionKey), 2);
}

TEST_F(TermsOfServiceViewTest, LinksOpenThroughTheDesktop) {
  UrlRecorder recorder;
  QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
  QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &recorder, "open");
  const QRegularExpression href(QStringLiteral("href=\"([^\"]+)\""));
  for (const QString& name : {QStringLiteral("最新の規約を確認する"), QStringLiteral("support@quelbo.tech")}) {
    QLabel* link = labelNamed(name);
    ASSERT_NE(link, nullptr) << name.toStdString();
    const auto match = href.match(link->text());
    ASSERT_TRUE(match.hasMatch());
    Q_EMIT link->linkActivated(match.captured(1));
  }
  QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
  QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
  EXPECT_EQ(recorder.opened, (QList<QUrl>{QUrl(QStringLiteral("https://quelbo.tech/palendrix/terms")),
                                          QUrl(QStringLiteral("mailto:support@quelbo.tech"))}));
}

TEST_F(TermsOfServiceViewTest, EveryInteractiveWidgetHasANameForScreenReaders) {
  for (auto* button : view.findChildren<QAbstractButton*>()) {
    EXPECT_FALSE(button->text().isEmpty() && button->accessibleName().isEmpty());
  }
  int links = 0;
  for (auto* label : view.findChildren<QLabel*>()) {
    if (label->textInteractionFlags().testFlag(Qt::LinksAccessibleByKeyboard)) {
      ++links;
      EXPECT_FALSE(label->accessibleName().isEmpty());
    }
  }
  EXPECT_EQ(links, 2);
}

} // namespace
} // namespace pd::ui

#include "TermsOfServiceViewTest.moc"
