#include "ui/settings/LicensesView.hpp"

#include "ui/settings/Typography.hpp"

#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QScrollArea>
#include <QVBoxLayout>

namespace pd::ui {

const std::vector<LicensesView::Entry>& LicensesView::entries() {
  static const std::vector<Entry> list = {
      {"Qt", "LGPL-3.0", "The Qt Company Ltd. and other contributors", "https://www.qt.io/"},
      {"Boost", "BSL-1.0", "Boost contributors", "https://www.boost.org/"},
      {"FFmpeg", "LGPL-2.1-or-later", "the FFmpeg developers", "https://ffmpeg.org/"},
      {"Avahi", "LGPL-2.1-or-later", "Avahi contributors", "https://avahi.org/"},
      {"PipeWire", "MIT", "PipeWire contributors", "https://pipewire.org/"},
      {"nlohmann-json", "MIT", "2013-2022 Niels Lohmann", "https://github.com/nlohmann/json"},
      {"OpenSSL", "Apache-2.0", "1998-2023 The OpenSSL Project Authors", "https://www.openssl.org/"},
      {"ICU", "Unicode-DFS-2016", "2016 and later Unicode, Inc. and others", "https://icu.unicode.org/"},
      {"libcurl", "curl", "1996-2023 Daniel Stenberg and many contributors", "https://curl.se/"},
      {"FFTW", "GPL-2.0-or-later", "2003, 2007-14 Matteo Frigo and Massachusetts Institute of Technology",
       "https://www.fftw.org/"},
  };
  return list;
}

QString LicenseRow::linkText(const QUrl& url) {
  const QString host = url.host();
  return host.isEmpty() ? url.toString() : host;
}

LicenseRow::LicenseRow(QString name, QString licenseType, QString copyright, QUrl url, QWidget* parent)
    : QWidget(parent),
      name_(std::move(name)),
      licenseType_(std::move(licenseType)),
      copyright_(std::move(copyright)),
      url_(std::move(url)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 2, 0, 2);
  layout->setSpacing(4);

  auto* firstLine = new QHBoxLayout;
  firstLine->setSpacing(6);
  auto* nameLabel = new QLabel(name_);
  nameLabel->setTextFormat(Qt::PlainText);
  applyTextStyle(nameLabel, TextStyle::headline);
  firstLine->addWidget(nameLabel, 0, Qt::AlignVCenter);

  auto* badge = new QLabel(licenseType_);
  badge->setObjectName(QStringLiteral("licenseBadge"));
  badge->setTextFormat(Qt::PlainText);
  applyTextStyle(badge, TextStyle::caption);
  const QColor accent = palette().color(QPalette::Highlight);
  const int radius = (badge->fontMetrics().height() + 6) / 2;
  badge->setStyleSheet(QStringLiteral("QLabel#licenseBadge { color: %1; background-color: rgba(%2, %3, %4, 31);"
                                      " padding: 3px 8px; border-radius: %5px; }")
                           .arg(accent.name())
                           .arg(accent.red())
                           .arg(accent.green())
                           .arg(accent.blue())
                           .arg(radius));
  firstLine->addWidget(badge, 0, Qt::AlignVCenter);
  firstLine->addStretch(1);
  layout->addLayout(firstLine);

  auto* copyrightLabel = new QLabel(QStringLiteral("Copyright © ") + copyright_);
  copyrightLabel->setTextFormat(Qt::PlainText);
  copyrightLabel->setWordWrap(true);
  applyTextStyle(copyrightLabel, TextStyle::caption);
  applySecondaryStyle(copyrightLabel);
  layout->addWidget(copyrightLabel);

  const QString shown = linkText(url_);
  auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>")
                              .arg(url_.toString(QUrl::FullyEncoded).toHtmlEscaped(), shown.toHtmlEscaped()));
  link->setObjectName(QStringLiteral("licenseLink"));
  link->setTextFormat(Qt::RichText);
  link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  link->setOpenExternalLinks(false);
  link->setAccessibleName(shown);
  applyTextStyle(link, TextStyle::caption);
  connect(link, &QLabel::linkActivated, this, [this](const QString&) { QDesktopServices::openUrl(url_); });
  layout->addWidget(link);
}

LicensesView::LicensesView(QWidget* parent) : QWidget(parent) {
  setFixedSize(kWidth, kHeight);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->setSpacing(0);

  auto* title = new QLabel(QStringLiteral("ライセンス"));
  title->setTextFormat(Qt::PlainText);
  applyTextStyle(title, TextStyle::title2, true);
  layout->addWidget(title);
  layout->addSpacing(16);

  // An inset list of one section: header, one row per library, footer.
  auto* list = new QWidget;
  auto* listLayout = new QVBoxLayout(list);
  listLayout->setContentsMargins(12, 8, 12, 8);
  listLayout->setSpacing(8);

  auto* header = new QLabel(QStringLiteral("サードパーティライブラリ"));
  header->setObjectName(QStringLiteral("sectionHeader"));
  header->setTextFormat(Qt::PlainText);
  applyTextStyle(header, TextStyle::caption, true);
  applySecondaryStyle(header);
  listLayout->addWidget(header);

  for (const Entry& entry : entries()) {
    listLayout->addWidget(new LicenseRow(QString::fromUtf8(entry.name), QString::fromUtf8(entry.licenseType),
                                         QString::fromUtf8(entry.copyright), QUrl(QString::fromUtf8(entry.url))));
  }

  auto* footer = new QLabel(QStringLiteral("本アプリは上記のオープンソースソフトウェアを使用しています。"));
  footer->setObjectName(QStringLiteral("sectionFooter"));
  footer->setTextFormat(Qt::PlainText);
  footer->setWordWrap(true);
  applyTextStyle(footer, TextStyle::caption);
  applySecondaryStyle(footer);
  listLayout->addWidget(footer);
  listLayout->addStretch(1);

  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setAccessibleName(QStringLiteral("サードパーティライブラリ"));
  scroll->setWidget(list);
  layout->addWidget(scroll, 1);
}

} // namespace pd::ui
