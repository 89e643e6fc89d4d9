#pragma once

// The user's settings: typed values under string keys, kept in one JSON object in
// "defaults.json" in the application's config folder.
//
// Reads convert between types the way the desktop platform's user defaults do, because the
// settings accessors rely on it (an absent key reads as 0 or false, a string "YES" reads as
// true, a number reads as its text). `object()` gives the value as stored, for callers that
// must tell the types apart.
//
// Thread-safe. The file is read lazily, once, on first use; every change replaces it
// atomically. Change notifications run on the writing thread, after the lock is released.
//
// A file that cannot be parsed is not lost: the defaults start empty, and just before the
// first write replaces it, the old file is renamed to "<name>.corrupt" (replacing an older
// copy), and an error line says so. If that rename fails, the write is not made.
//
// A file that cannot be opened or read at all (no access, no descriptor free, an I/O error)
// is left alone: the failure is logged, reads see only this process's changes, writes report
// failure, and each later access tries again. Once it reads, the changes made meanwhile apply
// on top of it and the next write (or synchronize()) stores them.

#include <boost/signals2/connection.hpp>
#include <nlohmann/json_fwd.hpp>

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pd::platform::settings {

class UserDefaults {
public:
  using Value = nlohmann::json; // include <nlohmann/json.hpp> to use object()/setObject()
  using ChangeSlot = std::function<void(const std::string& key)>;

  static constexpr std::string_view kFileName = "defaults.json";

  // Values kept in memory only: nothing is read or written.
  UserDefaults();
  // Values kept in `file`; its folder is created on the first write.
  explicit UserDefaults(std::filesystem::path file);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  // The process's defaults: configDirectory()/defaults.json, or memory only when there is no
  // config folder (no HOME and no XDG_CONFIG_HOME). A test may install another instance.
  static UserDefaults& standard();
  // Installs `defaults` (nullptr: back to the built-in one) and returns the previous one.
  // The installed instance must outlive every reader; use ScopedStandardUserDefaults.
  static UserDefaults* installStandard(UserDefaults* defaults) noexcept;

  // Empty when the defaults are memory only.
  const std::optional<std::filesystem::path>& file() const noexcept;

  bool contains(std::string_view key) const;
  // The stored value, whatever its type; none when absent.
  std::optional<Value> object(std::string_view key) const;

  // bool: true/false. Numbers: non-zero. Strings: "true"/"yes" in any case, or a leading
  // integer that is not zero. Anything else, or absent: false.
  bool boolean(std::string_view key) const;
  // Integers as stored. Doubles truncated toward zero, saturated at the int64 limits (NaN: 0).
  // bool: 0 or 1. Strings: a leading integer after blanks, with an optional sign, saturated;
  // 0 when there is none. Anything else, or absent: 0.
  std::int64_t integer(std::string_view key) const;
  // Numbers as stored; bool 0 or 1; strings their leading decimal number, else 0; else 0.
  double real(std::string_view key) const;
  // Strings as stored; numbers as their text ("8000", "0.5", a bool as "1" or "0");
  // arrays, objects and absent keys: none.
  std::optional<std::string> string(std::string_view key) const;
  // The stored value when it is an array, resp. an object; none otherwise.
  std::optional<Value> array(std::string_view key) const;
  std::optional<Value> dictionary(std::string_view key) const;

  // Each setter stores the value (replacing one of any type), writes the file and then
  // notifies. Setting a value equal to the stored one changes nothing and does not notify.
  // Returns false when the file could not be written: the value is kept in memory for this
  // process and the next successful write (or synchronize()) stores it too.
  bool set(std::string_view key, bool value);
  bool set(std::string_view key, double value); // throws std::invalid_argument for NaN/inf
  bool set(std::string_view key, std::string_view value); // invalid UTF-8 is replaced
  bool set(std::string_view key, const char* value) { return set(key, std::string_view(value)); }
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  bool set(std::string_view key, T value) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
      if (value > static_cast<T>(std::numeric_limits<std::int64_t>::max()))
        throw std::out_of_range("UserDefaults: integer beyond the int64 range");
    }
    return setInteger(key, static_cast<std::int64_t>(value));
  }
  // Any JSON value: arrays and objects (strings in it are made valid UTF-8; throws
  // std::invalid_argument for non-finite numbers). A null value removes the key.
  bool setObject(std::string_view key, const Value& value);
  // Removes the key; notifies only when it was present.
  bool remove(std::string_view key);
  // Writes the file when an earlier write failed. True when the file is up to date.
  bool synchronize();

  // Removes the temporary files of writes that a crash cut short, which nothing else removes:
  // only regular ones older than a minute, since another process using the same file (one that
  // could not take the single-instance lock) may be writing one now. For the start-up, after
  // the single-instance guard.
  void removeStaleTemporaryFiles();

  // Called with the key after each change, on the thread that made it, with no lock held.
  [[nodiscard]] boost::signals2::connection connectChanged(ChangeSlot slot);

private:
  struct Impl;
  bool setInteger(std::string_view key, std::int64_t value);
  std::unique_ptr<Impl> impl_;
};

// Installs a UserDefaults as the standard one for the life of the scope (tests).
class ScopedStandardUserDefaults {
public:
  explicit ScopedStandardUserDefaults(UserDefaults& defaults) : previous_(UserDefaults::installStandard(&defaults)) {}
  ~ScopedStandardUserDefaults() { UserDefaults::installStandard(previous_); }
  ScopedStandardUserDefaults(const ScopedStandardUserDefaults&) = delete;
  ScopedStandardUserDefaults& operator=(const ScopedStandardUserDefaults&) = delete;

private:
  UserDefaults* previous_;
};

} // namespace pd::platform::settings

namespace pd::platform {
using settings::ScopedStandardUserDefaults;
using settings::UserDefaults;
} // namespace pd::platform
