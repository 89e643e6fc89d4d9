#pragma once

// One named item of an address's query, read the same way wherever an address from outside is
// taken apart.

#include <optional>
#include <string>
#include <string_view>

namespace boost::urls {
class url_view;
}

namespace pd::remotesource {

// The first query item of that name, percent-decoded, with "+" read as a space only when
// plusAsSpace; none when the query has no item of that name or that item has no "=".
std::optional<std::string> queryItem(const boost::urls::url_view& url, std::string_view name, bool plusAsSpace);

} // namespace pd::remotesource
