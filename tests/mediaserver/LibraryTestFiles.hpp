#pragma once

// Folders and files the library tests make and remove.

#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "platform/log/LogStore.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

namespace pd::mediaserver::test {

class TempFolder {
public:
  explicit TempFolder(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
    std::string pattern = (base / "pd-library-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp");
    }
    path_ = pattern;
    std::filesystem::permissions(path_, std::filesystem::perms(0755));
  }
  ~TempFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path file(const std::string& relative, const std::string& contents = "x") const {
    const auto at = path_ / relative;
    std::filesystem::create_directories(at.parent_path());
    std::ofstream(at, std::ios::binary) << contents;
    return at;
  }

private:
  std::filesystem::path path_;
};

// The setting the library reads afresh at each use.
class FolderSetting {
public:
  void set(std::optional<std::string> value) {
    std::scoped_lock guard(lock_);
    value_ = std::move(value);
  }
  std::function<std::optional<std::string>()> getter() {
    return [this] {
      std::scoped_lock guard(lock_);
      return value_;
    };
  }

private:
  std::mutex lock_;
  std::optional<std::string> value_;
};

// Messages of a log category written since construction.
class CategoryLines {
public:
  explicit CategoryLines(std::string category)
      : category_(std::move(category)), from_(platform::log::LogStore::shared().lastSequence()) {}
  std::vector<std::string> all() const {
    std::vector<std::string> lines;
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(from_)) {
      if (entry.category == category_) lines.push_back(entry.message);
    }
    return lines;
  }

private:
  std::string category_;
  std::uint64_t from_;
};

} // namespace pd::mediaserver::test
