#pragma once

// The terms of service that must be accepted once per terms version before the main window
// can be used. The application presents this view in a sheet it does not let the user
// dismiss; accepting stores the version under "acceptedTermsVersion", which ends the sheet.

#include "settings/AppSettings.hpp"

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

namespace pd::ui {

class TermsOfServiceView : public QWidget {
  Q_OBJECT

public:
  static constexpr std::string_view kAcceptedTermsVersionKey = settings::SettingsKey::acceptedTermsVersion;
  static constexpr int kWidth = 560;
  static constexpr int kHeight = 560;

  // Where "最新の規約を確認する" and the support address lead.
  static QString termsPageURL();
  static QString supportMailAddress();

  explicit TermsOfServiceView(int currentTermsVersion, QWidget* parent = nullptr);

  int currentTermsVersion() const noexcept { return currentTermsVersion_; }
  // The stored accepted version, 0 when none was stored.
  static int acceptedTermsVersion();

  // The button's action: stores the current version as accepted.
  void accept();

  QPushButton* acceptButton() const noexcept { return acceptButton_; }

private:
  int currentTermsVersion_;
  QPushButton* acceptButton_ = nullptr;
};

// One numbered section: "<number>. <title>" over its body.
class TermsSection : public QWidget {
  Q_OBJECT

public:
  TermsSection(const QString& number, const QString& title, QWidget* content, QWidget* parent = nullptr);

  const QString& number() const noexcept { return number_; }
  const QString& title() const noexcept { return title_; }

private:
  QString number_;
  QString title_;
};

} // namespace pd::ui
