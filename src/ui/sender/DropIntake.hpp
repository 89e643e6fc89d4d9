#pragma once

// What a drop on a deck card turns into, without Qt: the gate, the choice between the file-URL
// road and the copy road, the file URL's local path and type, and the name and place of a copy.
// The widgets wrap the drag's MIME data into a DropOffer and the MIME database into MediaTypes;
// every line of the intake is written here, in the `localvideo` category.

#include "sender/TemporaryCopies.hpp"
#include "ui/sender/SenderPresentation.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::ui {

inline constexpr std::string_view kUriListFormat = "text/uri-list";
inline constexpr std::string_view kSuggestedNameFormat = "application/x-kde-suggestedfilename";
using sender::kDropFolderPrefix;

// The type facts the intake needs, answered by the platform's MIME database.
class MediaTypes {
public:
  virtual ~MediaTypes() = default;
  // The type the file name's extension names; none when no type is known for it.
  virtual std::optional<std::string> typeForFileName(std::string_view fileName) const = 0;
  // Whether the name is a known type that inherits a video type.
  virtual bool isVideo(std::string_view typeName) const = 0;
  // The type's preferred file suffix without the dot; empty when it has none.
  virtual std::string preferredSuffix(std::string_view typeName) const = 0;
};

// What a drop offers, taken during the drop event.
struct DropOffer {
  std::vector<std::string> formats; // in the source's order
  std::string uriList; // the "text/uri-list" bytes, when offered
  std::string suggestedName; // the "application/x-kde-suggestedfilename" bytes, when offered
};

struct DropPlan {
  enum class Road : std::uint8_t {
    refused, // the drop is refused
    dropped, // accepted, then nothing to do (the line is written)
    fileURL, // send `file` in place
    notVideo, // report `fileName` as not a video
    copy, // copy the bytes of `format` into a new drop folder under `fileName`, then send the copy
  };
  Road road = Road::refused;
  std::filesystem::path file;
  std::string fileName;
  std::string format;

  bool accepted() const noexcept { return road != Road::refused; }
};

// A file's type from its name's extension, as drops and the file chooser judge a file: the type
// (none when the extension names none) and whether it is a video.
struct NamedType {
  std::optional<std::string> type;
  bool isVideo = false;
};
NamedType typeOfFileName(std::string_view fileName, const MediaTypes& types);

// The last non-empty component of a path ("Clips" for "/d/Clips/"); the path itself when it has
// none.
std::string lastPathComponent(std::string_view path);

// Runs the gate, chooses the road and, for a file URL, resolves it. Main thread: the gate reads
// the peer's state of the moment.
DropPlan planDrop(const SendGate& gate, const DropOffer& offer, Deck target, const MediaTypes& types);

// The local path of the first item of a uri-list, when that item is a file URL of this computer;
// comment lines are skipped. Percent escapes are decoded; a malformed escape, a NUL or a host
// other than "localhost" gives none.
std::optional<std::filesystem::path> firstLocalFile(std::string_view uriList);
// The first item of a uri-list as offered, for the log ("" when there is none).
std::string firstUriListItem(std::string_view uriList);

// The copy's file name: the last component of the suggested name, else "video" with the type's
// preferred suffix. Never empty, ".", "..", and never holding "/" or NUL: the copy stays inside its
// folder.
std::string copyFileName(std::string_view suggestedName, std::string_view preferredSuffix);

// Whether a copy of `size` bytes is refused: above sender::kLargestTemporaryVideoBytes, or above
// what its folder has free (`available`; none: not known). A refusal is logged
// "dnd_reject reason=too_large|no_space size_b=%lld limit_b=%lld".
std::optional<sender::CopyRefusal> refuseCopy(std::int64_t size, std::optional<std::int64_t> available);

// Writes the bytes into a new "PalendrixDrop-<UUID>" folder in `temporaryFolder` under
// `fileName`; the path of the copy, or none after a logged failure (empty bytes:
// "dnd_resolve_fail reason=file_representation", a failed write: "temp_copy_fail", and the new
// folder is removed with what was written of it). Blocks on the file system: call it off the
// main thread.
std::optional<std::filesystem::path> writeTemporaryCopy(const std::filesystem::path& temporaryFolder,
                                                        const std::string& fileName, std::string_view bytes);

} // namespace pd::ui
