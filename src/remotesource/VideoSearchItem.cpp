#include "remotesource/VideoSearchItem.hpp"

#include "platform/json/Document.hpp"

#include <nlohmann/json.hpp>

namespace pd::remotesource {

std::string VideoSearchItem::toJSON() const {
  nlohmann::ordered_json object;
  object["videoID"] = videoID;
  object["title"] = title;
  if (author) object["author"] = *author;
  if (lengthSeconds) object["lengthSeconds"] = *lengthSeconds;
  if (thumbnailURL) object["thumbnailURL"] = *thumbnailURL;
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

VideoSearchItem VideoSearchItem::fromJSON(const platform::json::Value& value) {
  VideoSearchItem item;
  item.videoID = value["videoID"].asString();
  item.title = value["title"].asString();
  if (auto author = value.optional("author")) item.author = author->asString();
  if (auto length = value.optional("lengthSeconds")) item.lengthSeconds = length->asInt64();
  if (auto url = value.optional("thumbnailURL")) item.thumbnailURL = url->asString();
  return item;
}

} // namespace pd::remotesource
