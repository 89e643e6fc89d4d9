#pragma once

// The catalogue of the user's own video files in the chosen search folder: search by words in
// file names, stable file ids with content versions, the check that a served file is unchanged,
// thumbnails and durations. Every operation runs behind per-volume and global gates and is
// shared by key (SharedJobs.hpp).

#include "runtime/Error.hpp"
#include "runtime/Task.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::mediaserver {

class LocalSearchError : public Error {
public:
  enum class Code : std::int64_t { folderNotSet = 0, folderUnreadable = 1 };
  explicit LocalSearchError(Code code);
  Code searchCode() const noexcept { return static_cast<Code>(code()); }
};

class MacLocalVideoLibrary : public std::enable_shared_from_this<MacLocalVideoLibrary> {
public:
  // Seconds since 2001-01-01 UTC.
  using Date = double;

  struct ContentVersion {
    std::optional<std::uint64_t> fileNumber;
    std::optional<std::int64_t> size;
    std::optional<Date> modified;
    std::optional<Date> changed;
    // Keyed per process: comparable only within one run, never stored.
    std::optional<std::int64_t> extendedAttributes;

    bool operator==(const ContentVersion&) const = default;

    // includeExtendedAttributes: the stable read, which brackets the attribute hash between two
    // equal metadata reads. None for anything but a readable regular file (links not followed).
    static std::optional<ContentVersion> read(const std::filesystem::path& path, bool includeExtendedAttributes);
  };

  struct Entry {
    std::string id;
    std::filesystem::path url;
    std::optional<ContentVersion> content;
  };

  // Attached by the server's user to a file it serves, so that serving stops once the file changed.
  class ServingVersionGuard {
  public:
    explicit ServingVersionGuard(ContentVersion baseline) : baseline_(std::move(baseline)) {}
    // True while the file keeps the baseline's content; a change of extended attributes alone
    // moves the baseline. Any thread.
    bool matches(const std::filesystem::path& path);
    ContentVersion baseline() const;

  private:
    mutable std::mutex lock_;
    ContentVersion baseline_;
  };

  struct Limits {
    std::int64_t maxVisited = 200'000;
    std::size_t maxFound = 5'000;
    std::chrono::steady_clock::duration scanDeadline = std::chrono::seconds(10);
  };

  struct Dependencies {
    // "ipadSearchFolder" and "ipadSearchSource", read afresh at each use.
    std::function<std::optional<std::string>()> searchFolderSetting;
    std::function<std::optional<std::string>()> searchSourceSetting;
    // Where our caches live; none: the private temporary folder.
    std::optional<std::filesystem::path> cachesDirectory;
    Limits limits;
    // Test seam: runs on a library thread before each blocking file operation (scan, lookup,
    // check, thumbnail, duration), so a test can stand in for a hung mount.
    std::function<void()> beforeFileWork;
  };

  // Makes the thumbnail folder and purges it before returning.
  static std::shared_ptr<MacLocalVideoLibrary> create(Dependencies dependencies);
  ~MacLocalVideoLibrary();

  bool searchSourceIsLocalFiles() const;
  static bool isLocalID(std::string_view id);
  static bool isInside(const std::filesystem::path& file, const std::filesystem::path& folder);

  // At most 50 entries without content version, in scan order.
  runtime::Awaitable<std::vector<Entry>> search(std::string query);
  // The entry of the current folder with that id, with a content version.
  runtime::Awaitable<std::optional<Entry>> entry(std::string id);
  // Throws only runtime::CancellationError.
  runtime::Awaitable<bool> check(std::string key, std::filesystem::path url,
                                 std::shared_ptr<ServingVersionGuard> guard);
  runtime::Awaitable<std::optional<std::filesystem::path>> thumbnail(Entry entry);
  // What thumbnail() answers at once from the files it already made, for many entries in one
  // go: each slot holds the file or none, and for none thumbnail() has to make (or make again)
  // the file. Touches the files it answers, as thumbnail() does.
  runtime::Awaitable<std::vector<std::optional<std::filesystem::path>>> keptThumbnails(std::vector<Entry> entries);
  runtime::Awaitable<std::optional<double>> duration(Entry entry);

  const std::filesystem::path& thumbnailDirectory() const noexcept;
  // Scans that ran to completion; for the tests that show a lookup answers without one.
  std::int64_t scansRun() const noexcept;

  // The id derivation and the single-file probe, shared with the scan.
  static std::string fileID(const std::filesystem::path& standardizedPath, std::optional<std::int64_t> size,
                            std::optional<Date> modified, std::optional<Date> created, std::optional<Date> changed,
                            std::optional<std::uint64_t> fileNumber);
  static std::string dateText(std::optional<Date> date);
  static std::optional<ContentVersion> probe(const std::filesystem::path& path, std::string_view id);
  static std::optional<std::int64_t> extendedAttributesHash(const std::filesystem::path& path);
  static std::filesystem::path standardized(const std::filesystem::path& path);
  // Query terms: split on white space, full-width forms folded, lower-cased, composed.
  static std::vector<std::string> searchTerms(std::string_view query);
  // Whether the file name (with its extension) holds every term.
  static bool nameMatches(std::string_view name, const std::vector<std::string>& terms);

  struct Impl;

private:
  explicit MacLocalVideoLibrary(Dependencies dependencies);
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::mediaserver
