#pragma once

// The third-party libraries the application uses, each with its licence, its copyright
// holder and a link to its project. Hosted in the licences window; holds no state.

#include <QString>
#include <QUrl>
#include <QWidget>

#include <vector>

namespace pd::ui {

class LicenseRow : public QWidget {
  Q_OBJECT

public:
  LicenseRow(QString name, QString licenseType, QString copyright, QUrl url, QWidget* parent = nullptr);

  const QString& name() const noexcept { return name_; }
  const QString& licenseType() const noexcept { return licenseType_; }
  const QString& copyright() const noexcept { return copyright_; }
  const QUrl& url() const noexcept { return url_; }

  // What the link shows: the address's host, or the whole address when it has none.
  static QString linkText(const QUrl& url);

private:
  QString name_;
  QString licenseType_;
  QString copyright_;
  QUrl url_;
};

class LicensesView : public QWidget {
  Q_OBJECT

public:
  static constexpr int kWidth = 420;
  static constexpr int kHeight = 300;

  struct Entry {
    const char* name;
    const char* licenseType;
    const char* copyright;
    const char* url;
    const char* sourcePackage; // the Debian source package the row stands for
  };
  // The libraries, in the order shown.
  static const std::vector<Entry>& entries();

  explicit LicensesView(QWidget* parent = nullptr);
};

} // namespace pd::ui
