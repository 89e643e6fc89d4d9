#include "remotesource/QueryItem.hpp"

#include <boost/url/url_view.hpp>

namespace pd::remotesource {

std::optional<std::string> queryItem(const boost::urls::url_view& url, std::string_view name, bool plusAsSpace) {
  // The URL library counts an item too many in an empty query that a fragment follows ("?#"), and
  // walking its items then reads past the address. An empty query holds no named item anyway.
  if (!url.has_query() || url.encoded_query().empty()) return std::nullopt;
  for (const auto& item : url.params(boost::urls::encoding_opts(plusAsSpace, false, false))) {
    if (item.key != name) continue;
    if (!item.has_value) return std::nullopt;
    return item.value;
  }
  return std::nullopt;
}

} // namespace pd::remotesource
