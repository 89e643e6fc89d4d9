#include "HEVCFixture.hpp"

#include "tablet-emulator/AnnexB.hpp"
#include "tablet-emulator/VideoClip.hpp"

#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>

extern char** environ;

namespace pd::video::fixture {
namespace {

namespace tablet = pd::tools::tablet;

// Every clip of a run goes to one scratch folder, removed at exit.
class ScratchFolder {
public:
  ScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/pd-hevc-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

const std::filesystem::path& scratch() {
  static ScratchFolder folder;
  return folder.path();
}

bool run(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<Clip> readClip(const std::filesystem::path& file) {
  const tablet::Bytes stream = tablet::readFileBounded(file.string(), 256u * 1024u * 1024u);
  Clip clip;
  clip.file = file.string();
  for (const tablet::AccessUnit& unit : tablet::groupAccessUnits(tablet::splitAnnexB(stream))) {
    if (!unit.hasPicture) continue;
    clip.accessUnits.push_back(tablet::toLengthPrefixed(unit));
    clip.randomAccess.push_back(unit.isRandomAccess);
  }
  if (clip.accessUnits.empty()) return std::nullopt;
  return clip;
}

// Clips are made once per process and shared by the tests that ask for the same one.
template <typename Key, typename Make>
std::optional<Clip> cached(const Key& key, Make make) {
  static std::mutex mutex;
  static std::map<Key, std::optional<Clip>> clips;
  std::scoped_lock lock(mutex);
  auto found = clips.find(key);
  if (found == clips.end()) found = clips.emplace(key, make()).first;
  return found->second;
}

std::filesystem::path nextOutput() {
  static std::atomic<int> counter{0};
  return scratch() / ("clip-" + std::to_string(++counter) + ".hevc");
}

} // namespace

std::size_t Clip::nextRandomAccess(std::size_t index) const {
  while (index < randomAccess.size() && !randomAccess[index]) ++index;
  return index;
}

std::optional<Clip> testPattern(int width, int height, int frames, int fps, const PatternShape& shape) {
  return cached(std::make_tuple(width, height, frames, fps, shape), [&]() -> std::optional<Clip> {
    const std::filesystem::path out = nextOutput();
    std::vector<std::string> command{"sh", PD_HEVC_FIXTURE_SCRIPT};
    if (shape.singleKeyframe) command.emplace_back("--single-keyframe");
    if (!shape.matrix.empty()) command.insert(command.end(), {"--matrix", shape.matrix});
    command.insert(command.end(), {out.string(), std::to_string(width), std::to_string(height), std::to_string(frames),
                                   std::to_string(fps)});
    if (!run(std::move(command))) {
      std::cerr << "fixture: make-hevc-fixture.sh failed (is ffmpeg with libx265 installed?)\n";
      return std::nullopt;
    }
    return readClip(out);
  });
}

std::optional<Clip> encode(const std::string& source, const std::string& pixelFormat, int frames) {
  return cached(std::make_tuple(source, pixelFormat, frames), [&]() -> std::optional<Clip> {
    const std::filesystem::path out = nextOutput();
    if (!run({"ffmpeg",       "-nostdin",
              "-hide_banner", "-loglevel",
              "error",        "-y",
              "-f",           "lavfi",
              "-i",           source,
              "-frames:v",    std::to_string(frames),
              "-pix_fmt",     pixelFormat,
              "-c:v",         "libx265",
              "-preset",      "ultrafast",
              "-tune",        "zerolatency",
              "-x265-params", "bframes=0:repeat-headers=1:keyint=30:min-keyint=30:scenecut=0:log-level=error",
              "-f",           "hevc",
              out.string()})) {
      std::cerr << "fixture: ffmpeg failed for " << source << " " << pixelFormat << "\n";
      return std::nullopt;
    }
    return readClip(out);
  });
}

std::optional<Clip> withWindow(const Clip& clip, const Window& window) {
  const std::string bsf = "hevc_metadata=crop_left=" + std::to_string(window.left) +
                          ":crop_right=" + std::to_string(window.right) + ":crop_top=" + std::to_string(window.top) +
                          ":crop_bottom=" + std::to_string(window.bottom);
  return cached(std::make_tuple(clip.file, bsf), [&]() -> std::optional<Clip> {
    const std::filesystem::path out = nextOutput();
    if (!run({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", clip.file, "-c", "copy", "-bsf:v",
              bsf, "-f", "hevc", out.string()})) {
      std::cerr << "fixture: ffmpeg failed to set the window " << bsf << "\n";
      return std::nullopt;
    }
    return readClip(out);
  });
}

std::vector<std::uint8_t> lengthPrefixed(const std::vector<std::vector<std::uint8_t>>& units) {
  std::vector<std::uint8_t> out;
  for (const std::vector<std::uint8_t>& unit : units) {
    const auto n = static_cast<std::uint32_t>(unit.size());
    out.insert(out.end(), {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                           static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

bool encoderRequired() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

} // namespace pd::video::fixture
