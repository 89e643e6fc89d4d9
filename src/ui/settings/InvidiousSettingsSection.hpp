#pragma once

// The settings window's section of video-API instances: an editor over a copy of the user's
// list and the fallback switch, loaded from the instance manager each time it comes on screen
// and written back through the manager's setters, one save after another in the order the
// user made the changes. It keeps nothing across launches and writes no log line itself.

#include "remotesource/InvidiousInstance.hpp"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;
class QVBoxLayout;

namespace pd::remotesource {
class InvidiousInstanceManager;
}

namespace pd::ui {

class InvidiousSettingsSection : public QWidget {
  Q_OBJECT

public:
  // The example shown as the add field's prompt and inside the format message.
  static constexpr const char* kExampleHost = "invidious.example.org";

  // The manager is held weakly: the saves hold it while they run, never the section.
  explicit InvidiousSettingsSection(std::weak_ptr<remotesource::InvidiousInstanceManager> manager,
                                    QWidget* parent = nullptr);
  ~InvidiousSettingsSection() override;

  // The label and the help text of a policy, as every picker shows them.
  static QString policyLabel(remotesource::ProxyPolicy policy);
  static QString policyHelp(remotesource::ProxyPolicy policy);

  // Reads the user's list and the switch on the manager's executor and shows them.
  void load();
  // The add button and Return in the add field.
  void addInstance();
  // Removes every entry with the entry's host.
  void removeInstance(const remotesource::InvidiousInstance& entry);
  // A row's picker has written a new policy into its entry.
  void policyChanged(const remotesource::InvidiousInstance& entry);
  void fallbackChanged(bool enabled);

  const std::vector<remotesource::InvidiousInstance>& instances() const noexcept { return instances_; }
  bool fallbackEnabled() const noexcept { return fallbackEnabled_; }
  bool isLoaded() const noexcept { return isLoaded_; }
  const std::optional<QString>& inputError() const noexcept { return inputError_; }

  QLineEdit* hostField() const noexcept { return hostField_; }
  QComboBox* newPolicyPicker() const noexcept { return newPolicyPicker_; }
  QPushButton* addButton() const noexcept { return addButton_; }
  QLabel* errorLabel() const noexcept { return errorLabel_; }
  QCheckBox* fallbackToggle() const noexcept { return fallbackToggle_; }
  // The row of the entry with this host; null when there is none.
  QWidget* row(const QString& host) const;

protected:
  void showEvent(QShowEvent* event) override;

private:
  struct SaveChain;
  enum class Save { userInstances, fallback };

  // The load's two main-thread steps; nothing happens once the section is gone, and nothing is
  // shown over the user's own change when a save was scheduled after the load began (`saves`).
  static bool showLoadedList(const QPointer<InvidiousSettingsSection>& self,
                             std::vector<remotesource::InvidiousInstance> list, std::uint64_t saves);
  static void finishLoad(const QPointer<InvidiousSettingsSection>& self, bool fallback, std::uint64_t saves);
  void rebuildRows();
  void scheduleSave(Save what);
  QComboBox* makePolicyPicker(QWidget* parent) const;

  std::weak_ptr<remotesource::InvidiousInstanceManager> manager_;
  std::vector<remotesource::InvidiousInstance> instances_;
  bool fallbackEnabled_ = true;
  bool isLoaded_ = false;
  std::optional<QString> inputError_;
  std::unique_ptr<SaveChain> saveChain_;

  QVBoxLayout* rowsLayout_ = nullptr;
  QLineEdit* hostField_ = nullptr;
  QComboBox* newPolicyPicker_ = nullptr;
  QPushButton* addButton_ = nullptr;
  QLabel* errorLabel_ = nullptr;
  QCheckBox* fallbackToggle_ = nullptr;
};

} // namespace pd::ui
