#include "platform/json/JsonWriter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace pd::platform::json {
namespace {

TEST(JsonWriter, ReplacesInvalidUtf8InValuesAndKeys) {
  nlohmann::json value = {{"bad\xC3", "a\xFF"
                                      "b"},
                          {"ok", "\xE3\x80\x80"}};
  EXPECT_EQ(write(value), "{\"bad\xEF\xBF\xBD\":\"a\xEF\xBF\xBD"
                          "b\",\"ok\":\"\xE3\x80\x80\"}");
}

TEST(JsonWriter, IsCompactAndEscapesControlCharacters) {
  nlohmann::json value = {{"a", {1, 2}}, {"t", "line\nnext\x01"}};
  EXPECT_EQ(write(value), R"({"a":[1,2],"t":"line\nnext\u0001"})");
}

TEST(JsonWriter, EscapesSlashesOnlyWhenAsked) {
  nlohmann::json value = {{"url", "http://h/p"}, {"a/b", 1}};
  EXPECT_EQ(write(value), R"({"a/b":1,"url":"http://h/p"})");
  EXPECT_EQ(write(value, {.escapeSlashes = true}), R"({"a\/b":1,"url":"http:\/\/h\/p"})");
  // An escaped backslash before a slash stays a backslash of its own.
  EXPECT_EQ(write(nlohmann::json("\\/"), {.escapeSlashes = true}), R"("\\\/")");
}

TEST(JsonWriter, SortsKeysByTheirBytesAtEveryLevel) {
  nlohmann::ordered_json value;
  value["b"] = 1;
  value["\xC3\xA9"] = 2; // "é" sorts after every ASCII key
  value["a"] = nlohmann::ordered_json{{"z", 1}, {"Z", 2}, {"a", 3}};
  value["Z"] = 4;
  value["aa"] = 5;
  EXPECT_EQ(write(value), "{\"b\":1,\"\xC3\xA9\":2,\"a\":{\"z\":1,\"Z\":2,\"a\":3},\"Z\":4,\"aa\":5}");
  EXPECT_EQ(write(value, {.sortedKeys = true}),
            "{\"Z\":4,\"a\":{\"Z\":2,\"a\":3,\"z\":1},\"aa\":5,\"b\":1,\"\xC3\xA9\":2}");
}

TEST(JsonWriter, RefusesNumbersThatAreNotFinite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const nlohmann::json& value : {nlohmann::json(nan), nlohmann::json{{"deep", {1, {{"x", -inf}}}}}}) {
    try {
      (void)write(value);
      FAIL() << "written: " << value.dump();
    } catch (const EncodingError& e) {
      EXPECT_EQ(e.domain(), "EncodingError.invalidValue");
      EXPECT_EQ(e.code(), 0);
    }
  }
  nlohmann::ordered_json ordered{{"x", inf}};
  EXPECT_THROW((void)write(ordered, {.sortedKeys = true}), EncodingError);
  EXPECT_EQ(write(nlohmann::json{{"x", 0.5}}), R"({"x":0.5})");
}

} // namespace
} // namespace pd::platform::json
