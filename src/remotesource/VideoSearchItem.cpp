#include "remotesource/VideoSearchItem.hpp"

#include "platform/json/Document.hpp"
#include "platform/json/JsonWriter.hpp"

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

namespace pd::remotesource {

std::string VideoSearchItem::toJSON() const {
  nlohmann::ordered_json object;
  object["videoID"] = videoID;
  object["title"] = title;
  if (author) object["author"] = *author;
  if (lengthSeconds) object["lengthSeconds"] = *lengthSeconds;
  if (thumbnailURL) object["thumbnailURL"] = *thumbnailURL;
  return platform::json::write(object);
}

VideoSearchItem VideoSearchItem::fromJSON(const platform::json::Value& value) {
  VideoSearchItem item;
  item.videoID = value["videoID"].asString();
  item.title = value["title"].asString();
  if (auto author = value.optional("author")) item.author = author->asString();
  if (auto length = value.optional("lengthSeconds")) item.lengthSeconds = length->asInt64();
  if (auto url = value.optional("thumbnailURL")) {
    item.thumbnailURL = url->asString();
    // A text that is no URL reference is no URL value, as any URL field decodes.
    if (item.thumbnailURL->empty() || !boost::urls::parse_uri_reference(*item.thumbnailURL)) {
      throw platform::json::DecodingError(platform::json::DecodingError::Kind::dataCorrupted, url->codingPath(),
                                          "Invalid URL string.");
    }
  }
  return item;
}

} // namespace pd::remotesource
