#pragma once

// Reads JSON from outside and gives typed access that knows where it is. Every failed
// expectation raises a DecodingError carrying the coding path of the value concerned, so
// a log line can say what was wrong and where:
//
//   auto doc = json::Document::parse(bytes);       // dataCorrupted when not JSON
//   auto root = doc.root();
//   std::string title = root["title"].asString();  // keyNotFound / typeMismatch / valueNotFound
//   auto items = root["items"];
//   std::int64_t id = items[0]["id"].asInt64();    // dataCorrupted when not an exact integer
//   if (auto note = root.optional("note")) ...     // absent or null: none
//
// Values share ownership of their document, so a Value stays valid on its own.

#include "platform/json/DecodingError.hpp"

#include <nlohmann/json_fwd.hpp>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::json {

class Value;

class Document {
public:
  static constexpr std::size_t kDefaultMaxBytes = 4 * 1024 * 1024;
  static constexpr std::size_t kMaxDepth = 256;

  // Parses one JSON text (RFC 8259: any value at the top, surrounding blanks allowed, nothing
  // after it). Raises DecodingError dataCorrupted, with an empty path, when the bytes are
  // longer than `maxBytes`, nest deeper than kMaxDepth, or are not valid JSON (invalid UTF-8
  // included).
  static Document parse(std::string_view bytes, std::size_t maxBytes = kDefaultMaxBytes);
  static Document parse(std::span<const std::uint8_t> bytes, std::size_t maxBytes = kDefaultMaxBytes);
  // The same rules without an exception: none for what parse() refuses. For input that is
  // refused often, as datagrams from the network may be: a throw costs microseconds.
  static std::optional<Document> tryParse(std::span<const std::uint8_t> bytes, std::size_t maxBytes = kDefaultMaxBytes);

  Value root() const;
  // The parsed tree itself (include <nlohmann/json.hpp>).
  const nlohmann::json& tree() const noexcept { return *tree_; }
  // The same, for a reader that keeps parts of it beyond the document's own life.
  const std::shared_ptr<const nlohmann::json>& sharedTree() const noexcept { return tree_; }

private:
  explicit Document(std::shared_ptr<const nlohmann::json> tree) : tree_(std::move(tree)) {}
  std::shared_ptr<const nlohmann::json> tree_;
};

class Value {
public:
  enum class Type { null, boolean, number, string, array, object };

  Type type() const noexcept;
  bool isNull() const noexcept { return type() == Type::null; }
  const CodingPath& codingPath() const noexcept { return path_; }

  // Object member. typeMismatch when this is not an object (null: valueNotFound); keyNotFound
  // with this value's path when the key is absent. A member that is null is returned: reading
  // it as a type raises valueNotFound.
  Value operator[](std::string_view key) const;
  Value operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  // Array element. typeMismatch when this is not an array; valueNotFound (path with the
  // index) when the index is past the end or negative.
  Value element(std::size_t index) const;
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  Value operator[](I index) const {
    if constexpr (std::is_signed_v<I>) {
      if (index < 0) return element(std::numeric_limits<std::size_t>::max());
    }
    if constexpr (sizeof(I) > sizeof(std::size_t)) {
      if (static_cast<std::uintmax_t>(index) > std::numeric_limits<std::size_t>::max())
        return element(std::numeric_limits<std::size_t>::max());
    }
    return element(static_cast<std::size_t>(index));
  }

  // The member when present and not null; none otherwise. typeMismatch when not an object.
  std::optional<Value> optional(std::string_view key) const;
  bool contains(std::string_view key) const; // present, even if null; typeMismatch when not an object

  // Arrays: count and elements; objects: count and keys (in byte order). typeMismatch otherwise.
  // The elements are made one at a time as a walk reaches them: an outside list of millions of
  // small values must not cost a handle per element before the first is read.
  class Elements;
  std::size_t size() const;
  Elements elements() const;
  std::vector<std::string> keys() const;

  // Typed reads: typeMismatch for another type, valueNotFound for null.
  bool asBool() const;
  std::string asString() const;
  double asDouble() const;
  // Exact integers only: dataCorrupted for a fraction or a number outside the type's range.
  std::int64_t asInt64() const;
  std::uint64_t asUInt64() const;
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  T asInteger() const {
    if constexpr (std::is_signed_v<T>) {
      const std::int64_t v = asInt64();
      if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) outOfRange();
      return static_cast<T>(v);
    } else {
      const std::uint64_t v = asUInt64();
      if (v > std::numeric_limits<T>::max()) outOfRange();
      return static_cast<T>(v);
    }
  }

  // The node itself (include <nlohmann/json.hpp>).
  const nlohmann::json& raw() const noexcept { return *node_; }

private:
  friend class Document;
  Value(std::shared_ptr<const nlohmann::json> owner, const nlohmann::json* node, CodingPath path)
      : owner_(std::move(owner)), node_(node), path_(std::move(path)) {}
  [[noreturn]] void outOfRange() const;
  [[noreturn]] void mismatch(std::string_view expected) const;
  const nlohmann::json& expectObject() const;

  std::shared_ptr<const nlohmann::json> owner_;
  const nlohmann::json* node_;
  CodingPath path_;
};

class Value::Elements {
public:
  class Iterator {
  public:
    Value operator*() const { return list_->element(index_); }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const Iterator& other) const { return index_ == other.index_; }

  private:
    friend class Elements;
    Iterator(const Value* list, std::size_t index) : list_(list), index_(index) {}
    const Value* list_;
    std::size_t index_;
  };

  Iterator begin() const { return {&list_, 0}; }
  Iterator end() const { return {&list_, list_.size()}; }

private:
  friend class Value;
  explicit Elements(Value list) : list_(std::move(list)) {}
  Value list_;
};

} // namespace pd::platform::json
