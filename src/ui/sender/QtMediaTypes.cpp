#include "ui/sender/QtMediaTypes.hpp"

#include <QMimeDatabase>
#include <QMimeType>

namespace pd::ui {

namespace {

QString fromView(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

} // namespace

std::optional<std::string> QtMediaTypes::typeForFileName(std::string_view fileName) const {
  const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(fromView(fileName), QMimeDatabase::MatchExtension);
  // The database answers the default type when the extension names none.
  if (!type.isValid() || type.isDefault()) return std::nullopt;
  return type.name().toStdString();
}

bool QtMediaTypes::isVideo(std::string_view typeName) const {
  const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForName(fromView(typeName));
  if (!type.isValid()) return false;
  if (type.name().startsWith(QLatin1String("video/"))) return true;
  for (const QString& ancestor : type.allAncestors()) {
    if (ancestor.startsWith(QLatin1String("video/"))) return true;
  }
  return false;
}

std::string QtMediaTypes::preferredSuffix(std::string_view typeName) const {
  const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForName(fromView(typeName));
  return type.isValid() ? type.preferredSuffix().toStdString() : std::string();
}

} // namespace pd::ui
