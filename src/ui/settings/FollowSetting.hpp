#pragma once

// A view that follows one key of the user defaults.

#include "platform/settings/UserDefaults.hpp"

#include <boost/signals2/connection.hpp>

#include <QCoreApplication>
#include <QPointer>

#include <string>
#include <string_view>
#include <utility>

namespace pd::ui {

// Runs `apply(*view)` on the main thread after each change of `key`, while `view` lives. A change
// can be written from any thread. Off the main thread the view is never touched, not even to
// queue a call on it: it may be going meanwhile, and a disconnection does not wait for a
// notification already under way. The guard is read on the main thread, where the view ends; a
// change written there is applied at once.
template <class View, class Apply>
[[nodiscard]] boost::signals2::connection followSetting(View* view, std::string_view key, Apply apply) {
  return platform::UserDefaults::standard().connectChanged(
      [guard = QPointer<View>(view), key = std::string(key), apply = std::move(apply)](const std::string& changed) {
        if (changed != key) return;
        QMetaObject::invokeMethod(
            qApp,
            [guard, apply] {
              if (guard) apply(*guard);
            },
            Qt::AutoConnection);
      });
}

} // namespace pd::ui
