#include "ui/settings/AppSettingsView.hpp"

#include <QFormLayout>

namespace pd::ui {

AppSettingsView::AppSettingsView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                                 QWidget* parent)
    : QWidget(parent), connectionManager_(connectionManager), oscViewModel_(oscViewModel) {
  setWindowTitle(QStringLiteral("設定"));
  setFixedWidth(kWidth);
  form_ = new QFormLayout(this);
  form_->setContentsMargins(20, 20, 20, 20);
  form_->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
  setMinimumHeight(120);
}

} // namespace pd::ui
