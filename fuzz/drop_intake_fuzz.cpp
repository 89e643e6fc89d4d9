// Feeds arbitrary drops to the sender's drop intake: offered formats, a uri-list and a suggested
// name. Whatever is offered, a copy is named inside its new folder, a file URL resolves to an
// absolute path without NUL, and an accepted drop leaves one road.

#include "platform/log/Logger.hpp"
#include "ui/sender/DropIntake.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

// A small stand-in for the MIME database: a few video names and extensions.
class Types final : public pd::ui::MediaTypes {
public:
  std::optional<std::string> typeForFileName(std::string_view name) const override {
    if (name.ends_with(".mp4")) return "video/mp4";
    if (name.ends_with(".txt")) return "text/plain";
    return std::nullopt;
  }
  bool isVideo(std::string_view type) const override { return type.starts_with("video/"); }
  std::string preferredSuffix(std::string_view type) const override {
    // Whatever follows "video/" stands for the suffix, so odd suffixes reach the naming too.
    return type.size() > 6 ? std::string(type.substr(6)) : std::string();
  }
};

// Splits the input at NUL bytes into formats, uri-list and suggested name.
std::string_view take(std::string_view& rest) {
  const auto end = rest.find('\0');
  const auto part = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  return part;
}

void checkName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    __builtin_trap();
  }
  const std::filesystem::path folder = "/drops/PalendrixDrop-X";
  if ((folder / name).parent_path() != folder) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    pd::platform::log::setStderrEnabled(false);
    return true;
  }();
  (void)quiet;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const auto gateByte = size > 0 ? data[0] : std::uint8_t{0};
  if (!rest.empty()) rest.remove_prefix(1);

  pd::ui::DropOffer offer;
  std::string_view formats = take(rest);
  while (!formats.empty()) {
    const auto end = formats.find('\n');
    offer.formats.emplace_back(formats.substr(0, end));
    formats = end == std::string_view::npos ? std::string_view() : formats.substr(end + 1);
  }
  offer.uriList = std::string(take(rest));
  offer.suggestedName = std::string(take(rest));

  const pd::ui::SendGate gate{(gateByte & 1) != 0, (gateByte & 2) != 0, (gateByte & 4) != 0};
  const Types types;
  const auto plan = pd::ui::planDrop(gate, offer, (gateByte & 8) != 0 ? pd::ui::Deck::a : pd::ui::Deck::b, types);
  if (plan.accepted() != gate.isSendingAllowed() && plan.accepted()) __builtin_trap();
  switch (plan.road) {
  case pd::ui::DropPlan::Road::copy: checkName(plan.fileName); break;
  case pd::ui::DropPlan::Road::fileURL:
  case pd::ui::DropPlan::Road::notVideo:
    if (!plan.file.is_absolute() || plan.file.string().find('\0') != std::string::npos) __builtin_trap();
    // The deck's status names the file: never with an empty name, a folder's address included.
    if (plan.fileName.empty()) __builtin_trap();
    break;
  default: break;
  }
  checkName(pd::ui::copyFileName(offer.suggestedName, offer.uriList));
  return 0;
}
