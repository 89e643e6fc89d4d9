#pragma once

// The drop intake's type facts from Qt's MIME database (shared-mime-info).

#include "ui/sender/DropIntake.hpp"

namespace pd::ui {

class QtMediaTypes final : public MediaTypes {
public:
  std::optional<std::string> typeForFileName(std::string_view fileName) const override;
  bool isVideo(std::string_view typeName) const override;
  std::string preferredSuffix(std::string_view typeName) const override;
};

} // namespace pd::ui
