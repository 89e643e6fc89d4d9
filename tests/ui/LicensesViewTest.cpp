#include "ui/settings/LicensesView.hpp"

#include "QtTestEnvironment.hpp"

#include <QLabel>

#include <gtest/gtest.h>

namespace pd::ui {
namespace {

TEST(LicensesView, OneSectionWithHeaderRowsInOrderAndFooter) {
  LicensesView view;
  EXPECT_EQ(view.size(), QSize(420, 300));
  QStringList names;
  for (auto* row : view.findChildren<LicenseRow*>()) {
    names << row->name();
  }
  EXPECT_EQ(names, (QStringList{"Qt", "FFmpeg", "Avahi", "PipeWire", "curl", "OpenSSL", "ICU", "Boost", "FFTW",
                                "libjpeg-turbo", "nlohmann-json"}));
  auto* header = view.findChild<QLabel*>("sectionHeader");
  auto* footer = view.findChild<QLabel*>("sectionFooter");
  ASSERT_NE(header, nullptr);
  ASSERT_NE(footer, nullptr);
  EXPECT_EQ(header->text(), QStringLiteral("サードパーティライブラリ"));
  EXPECT_EQ(footer->text(), QStringLiteral("本アプリは上記のオープンソースソフトウェアを使用しています。"));
  // Header above the first row, footer below the last.
  const auto rows = view.findChildren<LicenseRow*>();
  EXPECT_LT(header->y(), rows.front()->y());
  view.show();
  EXPECT_LT(header->geometry().bottom(), rows.front()->geometry().top());
  EXPECT_GT(footer->geometry().top(), rows.back()->geometry().bottom());
}

TEST(LicensesView, EachRowShowsLicenceHolderAndTheBareHostOfItsProject) {
  LicensesView view;
  for (auto* row : view.findChildren<LicenseRow*>()) {
    EXPECT_FALSE(row->licenseType().isEmpty());
    EXPECT_EQ(row->url().scheme(), QStringLiteral("https"));
    auto* link = row->findChild<QLabel*>("licenseLink");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->accessibleName(), row->url().host());
    EXPECT_FALSE(link->text().contains(QStringLiteral(">https://")));
    auto* badge = row->findChild<QLabel*>("licenseBadge");
    ASSERT_NE(badge, nullptr);
    EXPECT_EQ(badge->text(), row->licenseType());
    bool copyrightShown = false;
    for (auto* label : row->findChildren<QLabel*>()) {
      copyrightShown = copyrightShown || label->text() == QStringLiteral("Copyright © ") + row->copyright();
    }
    EXPECT_TRUE(copyrightShown) << row->name().toStdString();
  }
}

TEST(LicensesView, LinkTextIsTheHostOrTheWholeAddress) {
  EXPECT_EQ(LicenseRow::linkText(QUrl(QStringLiteral("https://github.com/nlohmann/json"))),
            QStringLiteral("github.com"));
  EXPECT_EQ(LicenseRow::linkText(QUrl(QStringLiteral("https://www.qt.io/"))), QStringLiteral("www.qt.io"));
  EXPECT_EQ(LicenseRow::linkText(QUrl(QStringLiteral("mailto:someone@example.org"))),
            QStringLiteral("mailto:someone@example.org"));
}

} // namespace
} // namespace pd::ui
