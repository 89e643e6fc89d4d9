#include "api/Retention.hpp"

#include <algorithm>
#include <utility>

namespace pd::api {

runtime::Awaitable<std::int64_t> Retention::nextTicket() {
  return onActor([this] { return ++books_.lastTicket; });
}

runtime::Awaitable<std::vector<std::string>> Retention::insertSearch(Item item) {
  return onActor(
      [this, item = std::move(item)]() mutable { return insertChecked(books_, std::move(item), std::nullopt, true); });
}

runtime::Awaitable<std::vector<std::string>> Retention::insertResolve(Item item, std::optional<std::string> deck) {
  return onActor([this, item = std::move(item), deck = std::move(deck)]() mutable {
    return insertChecked(books_, std::move(item), std::move(deck), false);
  });
}

runtime::Awaitable<std::vector<std::string>> Retention::revoke(std::int64_t generation) {
  return onActor([this, generation] { return revoke(books_, generation); });
}

runtime::Awaitable<Retention::Snapshot> Retention::snapshot() {
  return onActor([this] { return books_; });
}

std::vector<std::string> Retention::insert(Item item, std::vector<Item>& list, std::size_t limit) {
  const auto place = std::upper_bound(list.begin(), list.end(), item.ticket,
                                      [](std::int64_t ticket, const Item& other) { return ticket < other.ticket; });
  list.insert(place, std::move(item));
  std::vector<std::string> removed;
  while (list.size() > limit) {
    auto& oldest = list.front().tokens;
    removed.insert(removed.end(), std::make_move_iterator(oldest.begin()), std::make_move_iterator(oldest.end()));
    list.erase(list.begin());
  }
  return removed;
}

std::vector<std::string> Retention::insertChecked(Snapshot& books, Item item, std::optional<std::string> deck,
                                                  bool isSearch) {
  if (item.generation < books.revokedBelow) {
    return std::move(item.tokens);
  }
  if (isSearch) {
    return insert(std::move(item), books.searches, kSearchLimit);
  }
  const std::string key = deck.value_or(kNoDeckKey);
  const std::size_t limit = deck ? kDeckResolveLimit : kNoDeckResolveLimit;
  return insert(std::move(item), books.resolves[key], limit);
}

std::vector<std::string> Retention::revoke(Snapshot& books, std::int64_t generation) {
  books.revokedBelow = std::max(books.revokedBelow, generation);
  std::vector<std::string> removed;
  const auto sweep = [&](std::vector<Item>& list) {
    for (auto& item : list) {
      if (item.generation < generation) {
        removed.insert(removed.end(), item.tokens.begin(), item.tokens.end());
      }
    }
    std::erase_if(list, [generation](const Item& item) { return item.generation < generation; });
  };
  sweep(books.searches);
  for (auto& [key, list] : books.resolves) {
    sweep(list);
  }
  return removed;
}

} // namespace pd::api
