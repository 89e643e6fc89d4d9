#pragma once

// Which handed-out media tokens stay registered: the newest three searches, the newest three
// resolves per deck and six without a deck; everything of a session older than the current one
// goes at once. The actor only keeps the books: the caller unregisters the tokens it answers.

#include "runtime/Actor.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pd::api {

class Retention final : public runtime::Actor {
public:
  struct Item {
    std::int64_t ticket = 0;
    std::int64_t generation = 0;
    std::vector<std::string> tokens;
  };

  static constexpr std::size_t kSearchLimit = 3;
  static constexpr std::size_t kDeckResolveLimit = 3;
  static constexpr std::size_t kNoDeckResolveLimit = 6;
  static constexpr const char* kNoDeckKey = "-";

  // What the books hold, for inspection.
  struct Snapshot {
    std::vector<Item> searches;
    std::map<std::string, std::vector<Item>> resolves;
    std::int64_t lastTicket = 0;
    std::int64_t revokedBelow = 0;
  };

  // The next ticket; the first is 1.
  runtime::Awaitable<std::int64_t> nextTicket();
  // Inserts a search's or resolve's item (deck absent: "-") unless its generation was revoked.
  // Answers the tokens to unregister: those pushed out, or the item's own when it was refused.
  runtime::Awaitable<std::vector<std::string>> insertSearch(Item item);
  runtime::Awaitable<std::vector<std::string>> insertResolve(Item item, std::optional<std::string> deck);
  // Removes every item of a generation below `generation`; answers their tokens.
  runtime::Awaitable<std::vector<std::string>> revoke(std::int64_t generation);
  runtime::Awaitable<Snapshot> snapshot();

  // The book-keeping itself, on plain values.
  // Inserts by ticket (after equal tickets), then drops the lowest tickets beyond the limit.
  static std::vector<std::string> insert(Item item, std::vector<Item>& list, std::size_t limit);
  static std::vector<std::string> revoke(Snapshot& books, std::int64_t generation);
  static std::vector<std::string> insertChecked(Snapshot& books, Item item, std::optional<std::string> deck,
                                                bool isSearch);

private:
  Snapshot books_;
};

} // namespace pd::api
