#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/MacLocalVideoLibraryImpl.hpp"

#include "diagnostics/Log.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/paths/Paths.hpp"
#include "platform/text/Ascii.hpp"
#include "platform/text/Trim.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <numeric>

namespace pd::mediaserver {
namespace {

constexpr std::size_t kMaxSearchResults = 50;
constexpr std::size_t kKnownFolders = 4;

bool isVideoName(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || name.size() - dot - 1 > 3) {
    return false;
  }
  const std::string extension = platform::text::asciiLowerCopy(name.substr(dot + 1));
  return extension == "mp4" || extension == "m4v" || extension == "mov";
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::string normalisedForMatch(std::string_view text) {
  auto folded = platform::text::fullwidthToHalfwidth(text);
  return platform::text::nfc(platform::text::lowercased(folded ? *folded : std::string(text)));
}

// Opens a folder below the walk's root without following a link on the way, so that a folder
// swapped for a link during the walk cannot lead it elsewhere.
int openBelow(int root, const std::string& relative) {
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const auto fd = ::syscall(SYS_openat2, root, relative.c_str(), &how, sizeof how);
  if (fd >= 0 || errno != ENOSYS) {
    return static_cast<int>(fd);
  }
  return ::openat(root, relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

struct Item {
  enum class Kind { other, folder, video };
  std::string name;
  Kind kind = Kind::other;
  FileFacts facts;
};

// One folder's items in byte order, dot-entries left out, so that caps and ties do not depend on
// the file system's order. Read whole while the folder is open, so that the walk holds no folder
// open while it is in another; only names of videos (and of entries of unknown type) are read
// further, since the name decides first.
std::optional<std::vector<Item>> readFolder(int fd) {
  DirHandle dir(::fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<std::pair<std::string, unsigned char>> names;
  errno = 0;
  while (const auto* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name, entry->d_type);
    }
  }
  if (errno != 0) {
    return std::nullopt;
  }
  std::sort(names.begin(), names.end());
  std::vector<Item> items;
  items.reserve(names.size());
  for (auto& [name, type] : names) {
    Item item{std::move(name), Item::Kind::other, {}};
    if (type == DT_DIR) {
      item.kind = Item::Kind::folder;
    } else if (type == DT_UNKNOWN || (type == DT_REG && isVideoName(item.name))) {
      const auto facts = FileFacts::at(::dirfd(dir.get()), item.name.c_str());
      if (facts && facts->directory) {
        item.kind = Item::Kind::folder;
      } else if (facts && facts->regular && isVideoName(item.name) &&
                 ::faccessat(::dirfd(dir.get()), item.name.c_str(), R_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        item.kind = Item::Kind::video;
        item.facts = *facts;
      }
    }
    items.push_back(std::move(item));
  }
  return items;
}

// The name without its extension, as a path's stem: "a.b.mp4" gives "a.b"; a name whose only
// dot leads it has no extension.
std::string_view stemOf(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 || name == ".." ? name : name.substr(0, dot);
}

// Depth first in name order, as a recursive enumeration visits, with a stack of read folders
// instead of recursion.
struct Walk {
  const MacLocalVideoLibrary::Limits& limits;
  const platform::text::FileNameOrder& order;
  std::chrono::steady_clock::time_point deadline;
  std::int64_t visited = 0;
  std::vector<MacLocalVideoLibrary::Entry> results;
  // Each result's sort key, by the name without its extension.
  std::vector<std::string> keys;
  std::map<std::string, KnownFile> known;

  struct Frame {
    std::string relative; // below the root; empty for the root
    std::vector<Item> items;
    std::size_t next = 0;
  };

  // False when the root itself cannot be read.
  bool run(int root, const std::string& rootPath) {
    auto top = readFolder(::dup(root));
    if (!top) {
      return false;
    }
    std::vector<Frame> stack;
    stack.push_back({std::string(), std::move(*top), 0});
    while (!stack.empty()) {
      auto& frame = stack.back();
      if (frame.next == frame.items.size()) {
        stack.pop_back();
        continue;
      }
      auto& item = frame.items[frame.next++];
      ++visited;
      runtime::checkCancellation();
      if (visited >= limits.maxVisited || std::chrono::steady_clock::now() >= deadline) {
        diagnostics::Log::source().notice("local_search_truncated visited=%ld found=%ld", visited,
                                          static_cast<std::int64_t>(results.size()));
        return true;
      }
      auto relative = frame.relative.empty() ? item.name : frame.relative + "/" + item.name;
      if (item.kind == Item::Kind::folder) {
        const int child = openBelow(root, relative);
        if (child >= 0) {
          if (auto items = readFolder(child)) {
            stack.push_back({std::move(relative), std::move(*items), 0});
          }
        }
        continue;
      }
      if (item.kind != Item::Kind::video) {
        continue;
      }
      const auto& facts = item.facts;
      auto itemPath = rootPath + "/" + relative;
      auto id = MacLocalVideoLibrary::fileID(itemPath, facts.size, facts.modified, facts.created, facts.changed,
                                             facts.fileNumber);
      keys.push_back(order.sortKey(stemOf(item.name)));
      known.insert_or_assign(id, KnownFile{itemPath, facts.size, facts.modified, facts.created, facts.fileNumber});
      results.push_back({std::move(id), std::move(itemPath), std::nullopt});
      if (results.size() >= limits.maxFound) {
        return true;
      }
    }
    return true;
  }
};

} // namespace

LocalSearchError::LocalSearchError(Code code)
    : Error("LocalSearchError", static_cast<std::int64_t>(code),
            code == Code::folderNotSet ? "folderNotSet" : "folderUnreadable") {}

MetadataJobs::MetadataJobs(std::int64_t perKeyLimit)
    : thumbnails(std::make_shared<SharedJobs<std::optional<std::filesystem::path>>>(
          JobPriority::utility, [](const std::optional<std::filesystem::path>& v) { return v.has_value(); },
          SharedJobs<std::optional<std::filesystem::path>>::kKeptLimit, RunThreads::shared)),
      durations(std::make_shared<SharedJobs<std::optional<double>>>(
          JobPriority::utility, [](const std::optional<double>& v) { return v.has_value(); },
          SharedJobs<std::optional<double>>::kKeptLimit, RunThreads::shared)),
      thumbnailGates(std::make_shared<FolderGates>(perKeyLimit)),
      durationGates(std::make_shared<FolderGates>(perKeyLimit)),
      thumbnailGlobal(ConcurrencyGate::create(kThumbnailGlobalLimit)),
      durationGlobal(ConcurrencyGate::create(kDurationGlobalLimit)) {}

runtime::ThreadPool& libraryPool(JobPriority priority) {
  // Never destroyed, like the runtime's pools: a thread may still sit in a hung mount at exit.
  static auto* const user = new runtime::ThreadPool("pd-library", kScanGlobalLimit + kProbeGlobalLimit);
  static auto* const utility = new runtime::ThreadPool("pd-library-media", kThumbnailGlobalLimit + kDurationGlobalLimit,
                                                       runtime::kBackgroundNiceIncrement);
  return priority == JobPriority::utility ? *utility : *user;
}

MacLocalVideoLibrary::Impl::Impl(Dependencies dependencies)
    : deps(std::move(dependencies)),
      scans(std::make_shared<SharedJobs<std::vector<Entry>>>(JobPriority::userInitiated,
                                                             [](const std::vector<Entry>&) { return false; })),
      probes(std::make_shared<SharedJobs<std::optional<Entry>>>(
          JobPriority::userInitiated, [](const std::optional<Entry>&) { return false; },
          SharedJobs<std::optional<Entry>>::kKeptLimit, RunThreads::shared)),
      checks(std::make_shared<SharedJobs<bool>>(
          JobPriority::userInitiated, [](const bool&) { return false; }, SharedJobs<bool>::kKeptLimit,
          RunThreads::shared)) {}

std::optional<std::filesystem::path> MacLocalVideoLibrary::Impl::searchFolder() const {
  auto value = deps.searchFolderSetting ? deps.searchFolderSetting() : std::nullopt;
  if (!value || value->empty()) {
    return std::nullopt;
  }
  return std::filesystem::path(*value);
}

std::vector<MacLocalVideoLibrary::Entry> MacLocalVideoLibrary::Impl::scanFolder(const std::string& folderKey) {
  const int root = ::open(folderKey.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0 || ::access(folderKey.c_str(), R_OK) != 0) {
    if (root >= 0) {
      ::close(root);
    }
    throw LocalSearchError(LocalSearchError::Code::folderUnreadable);
  }
  RootFailure rootFailure;
  Walk walk{deps.limits, nameOrder, std::chrono::steady_clock::now() + deps.limits.scanDeadline, 0, {}, {}, {}};
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } const closeRoot{root};
  if (!walk.run(root, folderKey == "/" ? std::string() : folderKey)) {
    rootFailure.set();
  }
  if (rootFailure.failed()) {
    throw LocalSearchError(LocalSearchError::Code::folderUnreadable);
  }
  {
    std::scoped_lock guard(lock);
    storeKnown(folderKey, std::move(walk.known));
  }
  // Stable: names that are alike keep the walk's order.
  std::vector<std::size_t> order(walk.results.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return walk.keys[a] < walk.keys[b]; });
  std::vector<Entry> sorted;
  sorted.reserve(order.size());
  for (const auto index : order) {
    sorted.push_back(std::move(walk.results[index]));
  }
  scansRun.fetch_add(1, std::memory_order_relaxed);
  return sorted;
}

void MacLocalVideoLibrary::Impl::storeKnown(const std::string& folderKey, std::map<std::string, KnownFile> files) {
  known.insert_or_assign(folderKey, std::move(files));
  knownOrder.erase(std::remove(knownOrder.begin(), knownOrder.end(), folderKey), knownOrder.end());
  knownOrder.push_back(folderKey);
  while (knownOrder.size() > kKnownFolders) {
    known.erase(knownOrder.front());
    knownOrder.pop_front();
  }
}

std::optional<KnownFile> MacLocalVideoLibrary::Impl::knownFile(const std::string& folderKey, const std::string& id) {
  auto folder = known.find(folderKey);
  if (folder == known.end()) {
    return std::nullopt;
  }
  auto file = folder->second.find(id);
  return file == folder->second.end() ? std::nullopt : std::optional<KnownFile>(file->second);
}

MacLocalVideoLibrary::MacLocalVideoLibrary(Dependencies dependencies)
    : impl_(std::make_unique<Impl>(std::move(dependencies))) {
  auto base = impl_->deps.cachesDirectory;
  if (!base) {
    try {
      base = platform::paths::privateTemporaryDirectory();
    } catch (const std::exception&) {
      return; // no safe folder: thumbnails fail one by one, the rest of the library works
    }
  }
  std::error_code error;
  impl_->thumbnailDirectory = *base / "MacLocalVideoThumbnails";
  platform::paths::createPrivateDirectories(impl_->thumbnailDirectory, error);
  Impl::logPurge(impl_->purgeThumbnails(impl_->thumbnailDirectory));
}

MacLocalVideoLibrary::~MacLocalVideoLibrary() = default;

std::shared_ptr<MacLocalVideoLibrary> MacLocalVideoLibrary::create(Dependencies dependencies) {
  return std::shared_ptr<MacLocalVideoLibrary>(new MacLocalVideoLibrary(std::move(dependencies)));
}

bool MacLocalVideoLibrary::searchSourceIsLocalFiles() const {
  const auto value = impl_->deps.searchSourceSetting ? impl_->deps.searchSourceSetting() : std::nullopt;
  return value && *value == "localFiles";
}

const std::filesystem::path& MacLocalVideoLibrary::thumbnailDirectory() const noexcept {
  return impl_->thumbnailDirectory;
}

std::int64_t MacLocalVideoLibrary::scansRun() const noexcept { return impl_->scansRun.load(std::memory_order_relaxed); }

std::vector<std::string> MacLocalVideoLibrary::searchTerms(std::string_view query) {
  auto terms = platform::text::splitOnWhitespace(query);
  for (auto& term : terms) {
    term = normalisedForMatch(term);
  }
  return terms;
}

bool MacLocalVideoLibrary::nameMatches(std::string_view name, const std::vector<std::string>& terms) {
  const auto normal = normalisedForMatch(name);
  return std::all_of(terms.begin(), terms.end(),
                     [&](const std::string& term) { return normal.find(term) != std::string::npos; });
}

namespace {

runtime::Awaitable<std::vector<MacLocalVideoLibrary::Entry>>
entriesIn(std::shared_ptr<MacLocalVideoLibrary> self, MacLocalVideoLibrary::Impl& impl, std::filesystem::path folder) {
  using Entries = std::vector<MacLocalVideoLibrary::Entry>;
  const auto key = MacLocalVideoLibrary::standardized(folder).string();
  auto gate = co_await impl.scanGates->gate(LocalVideoHTTPServer::volumeKey(key));
  auto global = impl.scanGlobal;
  SharedJobs<Entries>::Work work = [self, &impl, gate, global, key](MarkStarted) -> runtime::Awaitable<Entries> {
    auto scan = [&impl, key]() -> runtime::Awaitable<Entries> {
      impl.beforeFileWork();
      co_return impl.scanFolder(key);
    };
    co_return co_await runGated<Entries>(gate, global, nullptr, scan);
  };
  co_return co_await impl.scans->value(key, work);
}

} // namespace

runtime::Awaitable<std::vector<MacLocalVideoLibrary::Entry>> MacLocalVideoLibrary::search(std::string query) {
  auto self = shared_from_this();
  const auto folder = impl_->searchFolder();
  if (!folder) {
    throw LocalSearchError(LocalSearchError::Code::folderNotSet);
  }
  const auto terms = searchTerms(query);
  auto all = co_await entriesIn(self, *impl_, *folder);
  std::vector<Entry> found;
  for (auto& entry : all) {
    if (found.size() == kMaxSearchResults) {
      break;
    }
    if (nameMatches(entry.url.filename().string(), terms)) {
      found.push_back(std::move(entry));
    }
  }
  co_return found;
}

namespace {

runtime::Awaitable<std::optional<MacLocalVideoLibrary::Entry>>
resolve(std::shared_ptr<MacLocalVideoLibrary> self, MacLocalVideoLibrary::Impl& impl, std::string id) {
  using Library = MacLocalVideoLibrary;
  const auto folder = impl.searchFolder();
  if (!folder) {
    throw LocalSearchError(LocalSearchError::Code::folderNotSet);
  }
  const auto folderKey = Library::standardized(*folder).string();
  impl.beforeFileWork();
  std::optional<KnownFile> known;
  {
    std::scoped_lock guard(impl.lock);
    known = impl.knownFile(folderKey, id);
  }
  if (known && Library::isInside(known->url, *folder)) {
    if (auto version = Library::probe(known->url, id)) {
      co_return Library::Entry{id, known->url, version};
    }
    // The id also stands while only the attribute change date moved.
    auto full = Library::ContentVersion::read(known->url, true);
    const auto facts = FileFacts::at(AT_FDCWD, known->url.c_str());
    if (full && full->fileNumber == known->fileNumber && full->size == known->size &&
        full->modified == known->modified && facts && facts->created == known->created &&
        ::access(known->url.c_str(), R_OK) == 0) {
      co_return Library::Entry{id, known->url, full};
    }
  }
  auto all = co_await entriesIn(self, impl, *folder);
  for (const auto& entry : all) {
    if (entry.id == id) {
      if (auto version = Library::probe(entry.url, id)) {
        co_return Library::Entry{id, entry.url, version};
      }
      co_return std::nullopt;
    }
  }
  co_return std::nullopt;
}

} // namespace

runtime::Awaitable<std::optional<MacLocalVideoLibrary::Entry>> MacLocalVideoLibrary::entry(std::string id) {
  using Found = std::optional<Entry>;
  auto self = shared_from_this();
  auto& impl = *impl_;
  const auto folder = impl.searchFolder();
  if (!folder) {
    throw LocalSearchError(LocalSearchError::Code::folderNotSet);
  }
  const auto folderKey = standardized(*folder).string();
  auto gate = co_await impl.probeGates->gate(LocalVideoHTTPServer::volumeKey(folderKey));
  auto global = impl.probeGlobal;
  SharedJobs<Found>::Work work = [self, &impl, gate, global, id](MarkStarted markStarted) -> runtime::Awaitable<Found> {
    auto inner = [self, &impl, id]() -> runtime::Awaitable<Found> {
      auto task = runtime::spawn(executorFor(JobPriority::userInitiated),
                                 [self, &impl, id]() -> runtime::Awaitable<Found> { return resolve(self, impl, id); });
      co_return co_await task.value();
    };
    co_return co_await runGated<Found>(gate, global, &markStarted, inner);
  };
  auto found = co_await impl.probes->value(folderKey + std::string(1, '\0') + id, work);
  const auto now = impl.searchFolder();
  if (!now || !found || !isInside(found->url, *now)) {
    co_return std::nullopt;
  }
  co_return found;
}

runtime::Awaitable<bool> MacLocalVideoLibrary::check(std::string key, std::filesystem::path url,
                                                     std::shared_ptr<ServingVersionGuard> guard) {
  auto self = shared_from_this();
  auto& impl = *impl_;
  auto gate = co_await impl.probeGates->gate(LocalVideoHTTPServer::volumeKey(url));
  auto global = impl.probeGlobal;
  SharedJobs<bool>::Work work = [self, &impl, gate, global, url,
                                 guard](MarkStarted markStarted) -> runtime::Awaitable<bool> {
    auto inner = [self, &impl, url, guard]() {
      return inSeparateTask(JobPriority::userInitiated, [self, &impl, url, guard] {
        impl.beforeFileWork();
        return guard->matches(url);
      });
    };
    co_return co_await runGated<bool>(gate, global, &markStarted, inner);
  };
  co_return co_await impl.checks->value(std::move(key), work);
}

} // namespace pd::mediaserver
