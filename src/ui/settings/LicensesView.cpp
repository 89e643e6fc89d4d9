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
  // What the executable links (its direct libraries, the C and C++ runtimes aside) and what it
  // compiles in, as Debian describes each: the licence of the package as a whole, its home
  // page, and as holder the project's own authorship line where the copyright file lists one
  // among the holders of the whole package (else the first of them), "et al." when there are
  // more. FFmpeg is shown under the licence it reports for the build, which Debian configures
  // with its GPL parts.
  static const std::vector<Entry> list = {
      {"Qt", "LGPL-3 or GPL-2", "2016-2022 The Qt Company Ltd.", "https://www.qt.io/developers/", "qt6-base"},
      {"FFmpeg", "GPL version 2 or later", "2001-2019, The FFmpeg project et al.", "https://ffmpeg.org/", "ffmpeg"},
      {"Avahi", "LGPL-2.1+", "the Avahi developers et al.", "https://avahi.org/", "avahi"},
      {"PipeWire", "Expat", "2009 Lennart Poettering et al.", "https://pipewire.org/", "pipewire"},
      {"curl", "curl", "1997-2022, Daniel Stenberg, <daniel@haxx.se>, et al.", "https://curl.se/", "curl"},
      {"OpenSSL", "Apache-2.0", "1995-2020, The OpenSSL Project Authors et al.", "https://www.openssl.org/", "openssl"},
      {"ICU", "MIT", "1991-2022 Unicode, Inc.", "https://icu.unicode.org/", "icu"},
      {"Boost", "BSL-1.0", "Boost project contributors", "https://www.boost.org/", "boost1.81"},
      {"FFTW", "GPL-2+", "2003, 2007-14 Matteo Frigo et al.", "https://fftw.org", "fftw3"},
      {"libjpeg-turbo", "BSD-BY-LC-NE", "1991-2020, Thomas G. Lane, Guido Vollbeding et al.",
       "https://www.libjpeg-turbo.org/", "libjpeg-turbo"},
      {"nlohmann-json", "Expat", "2013-2022 Niels Lohmann", "https://nlohmann.github.io/json/", "nlohmann-json3"},
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
