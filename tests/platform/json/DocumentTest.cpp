#include "platform/json/Document.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pd::platform::json {
namespace {

using Kind = DecodingError::Kind;

// Runs `read` and returns the DecodingError it raised; fails the test when it raised none.
DecodingError failureOf(const std::function<void()>& read) {
  try {
    read();
  } catch (const DecodingError& e) {
    return e;
  }
  ADD_FAILURE() << "no DecodingError";
  return DecodingError(Kind::dataCorrupted, {{std::string("<none>")}}, "");
}

void expectFailure(const std::function<void()>& read, Kind kind, const std::string& path) {
  const DecodingError e = failureOf(read);
  EXPECT_EQ(e.kind(), kind) << e.detail();
  EXPECT_EQ(DecodingError::joinedPath(e.codingPath()), path) << e.detail();
  EXPECT_EQ(e.domain(), "DecodingError." + std::string(DecodingError::caseWord(kind)));
  EXPECT_EQ(e.code(), 0);
}

TEST(DecodingError, JoinsPathsAndNamesCases) {
  EXPECT_EQ(DecodingError::joinedPath({}), "-");
  EXPECT_EQ(DecodingError::joinedPath({std::string("items"), std::size_t{0}, std::string("id")}), "items.[0].id");
  EXPECT_EQ(DecodingError::caseWord(Kind::keyNotFound), "keyNotFound");
  EXPECT_EQ(DecodingError::caseWord(Kind::typeMismatch), "typeMismatch");
  EXPECT_EQ(DecodingError::caseWord(Kind::valueNotFound), "valueNotFound");
  EXPECT_EQ(DecodingError::caseWord(Kind::dataCorrupted), "dataCorrupted");
}

TEST(Document, ReadsTypedValues) {
  const auto doc = Document::parse(
      R"({"title":"t\u00e9","n":-3,"big":18446744073709551615,"x":1.0,"ok":true,"items":[{"id":7},{"id":8}],"none":null})");
  const Value root = doc.root();
  EXPECT_EQ(root["title"].asString(), "t\xC3\xA9");
  EXPECT_EQ(root["n"].asInt64(), -3);
  EXPECT_EQ(root["big"].asUInt64(), 18446744073709551615ULL);
  EXPECT_EQ(root["x"].asInt64(), 1); // an integral double is an integer
  EXPECT_DOUBLE_EQ(root["n"].asDouble(), -3.0);
  EXPECT_TRUE(root["ok"].asBool());
  EXPECT_EQ(root["items"].size(), 2u);
  EXPECT_EQ(root["items"][1]["id"].asInteger<std::uint16_t>(), 8);
  EXPECT_EQ(DecodingError::joinedPath((*root["items"].elements().begin())["id"].codingPath()), "items.[0].id");
  EXPECT_TRUE(root.contains("none"));
  EXPECT_FALSE(root.optional("none").has_value());
  EXPECT_FALSE(root.optional("absent").has_value());
  ASSERT_TRUE(root.optional("n").has_value());
  EXPECT_EQ(root.optional("n")->asInt64(), -3);
  EXPECT_EQ(root.keys().front(), "big");
}

TEST(Document, ValueKeepsItsDocumentAlive) {
  const Value title = Document::parse(R"({"a":{"b":"kept"}})").root()["a"]["b"];
  EXPECT_EQ(title.asString(), "kept");
}

TEST(Document, RejectsDataThatIsNotJson) {
  for (const std::string& bytes :
       {std::string(""), std::string("{"), std::string("{\"a\":1} x"), std::string("{'a':1}"), std::string("[1,]"),
        std::string("\"\xFF\""), std::string("\"\\ud800\""), std::string("nul")}) {
    expectFailure([&] { (void)Document::parse(bytes); }, Kind::dataCorrupted, "-");
  }
  expectFailure([] { (void)Document::parse(std::string(11, ' '), 10); }, Kind::dataCorrupted, "-");
  EXPECT_NO_THROW((void)Document::parse(std::string(10, ' ') + "1", 11));
}

TEST(Document, BoundsNesting) {
  const std::size_t limit = Document::kMaxDepth;
  const std::string deepest = std::string(limit, '[') + std::string(limit, ']');
  EXPECT_NO_THROW((void)Document::parse(deepest));
  const std::string tooDeep = std::string(limit + 1, '[') + std::string(limit + 1, ']');
  expectFailure([&] { (void)Document::parse(tooDeep); }, Kind::dataCorrupted, "-");
  // Brackets inside strings are text, not nesting; an escaped quote does not end the string.
  const std::string inString = "[\"" + std::string("\\\"") + std::string(limit + 5, '[') + "\"]";
  EXPECT_NO_THROW((void)Document::parse(inString));
}

TEST(Document, MissingKeyNamesTheContainingObject) {
  const auto root = Document::parse(R"({"items":[{"name":"a"}],"meta":{}})").root();
  expectFailure([&] { (void)root["items"][0]["id"]; }, Kind::keyNotFound, "items.[0]");
  expectFailure([&] { (void)root["meta"]["x"]; }, Kind::keyNotFound, "meta");
  expectFailure([&] { (void)root["absent"]; }, Kind::keyNotFound, "-");
  EXPECT_NE(failureOf([&] { (void)root["meta"]["x"]; }).detail().find("\"x\""), std::string::npos);
}

TEST(Document, WrongTypesNameTheValue) {
  const auto root = Document::parse(R"({"a":{"b":5},"s":"x","arr":[true]})").root();
  expectFailure([&] { (void)root["a"]["b"].asString(); }, Kind::typeMismatch, "a.b");
  expectFailure([&] { (void)root["s"].asInt64(); }, Kind::typeMismatch, "s");
  expectFailure([&] { (void)root["arr"][0].asDouble(); }, Kind::typeMismatch, "arr.[0]");
  expectFailure([&] { (void)root["s"][0]; }, Kind::typeMismatch, "s");
  expectFailure([&] { (void)root["arr"]["k"]; }, Kind::typeMismatch, "arr");
  expectFailure([&] { (void)root["s"].optional("k"); }, Kind::typeMismatch, "s");
  const auto top = Document::parse("[1]").root();
  expectFailure([&] { (void)top["x"]; }, Kind::typeMismatch, "-");
  expectFailure([&] { (void)top.asBool(); }, Kind::typeMismatch, "-");
}

TEST(Document, NullOrMissingElementIsValueNotFound) {
  const auto root = Document::parse(R"({"t":null,"items":[1,2]})").root();
  expectFailure([&] { (void)root["t"].asString(); }, Kind::valueNotFound, "t");
  expectFailure([&] { (void)root["t"]["x"]; }, Kind::valueNotFound, "t");
  expectFailure([&] { (void)root["items"][2]; }, Kind::valueNotFound, "items.[2]");
  expectFailure([&] { (void)root["items"][-1]; }, Kind::valueNotFound,
                "items.[" + std::to_string(std::numeric_limits<std::size_t>::max()) + "]");
}

TEST(Document, IntegerReadsAreRangeChecked) {
  const auto root = Document::parse(R"({
    "max":9223372036854775807, "over":9223372036854775808, "min":-9223372036854775808,
    "under":-9223372036854775809, "farUnder":-9223372036854776000,
    "half":1.5, "e19":1e19, "e20":1e20, "neg":-1, "u16":65535, "u16over":65536,
    "i8low":-129, "hugeInt":123456789012345678901234567890, "negzero":-0.0})")
                        .root();
  EXPECT_EQ(root["max"].asInt64(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(root["min"].asInt64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(root["over"].asUInt64(), 9223372036854775808ULL);
  EXPECT_EQ(root["e19"].asUInt64(), 10000000000000000000ULL);
  EXPECT_EQ(root["u16"].asInteger<std::uint16_t>(), 65535);
  EXPECT_EQ(root["negzero"].asInt64(), 0);
  // Below the range the parser keeps a double, which rounds these two onto -2^63 itself.
  for (const char* key : {"over", "under", "farUnder", "half", "e19", "e20", "hugeInt"}) {
    expectFailure([&] { (void)root[key].asInt64(); }, Kind::dataCorrupted, key);
  }
  for (const char* key : {"neg", "half", "e20"}) {
    expectFailure([&] { (void)root[key].asUInt64(); }, Kind::dataCorrupted, key);
  }
  expectFailure([&] { (void)root["u16over"].asInteger<std::uint16_t>(); }, Kind::dataCorrupted, "u16over");
  expectFailure([&] { (void)root["i8low"].asInteger<std::int8_t>(); }, Kind::dataCorrupted, "i8low");
  expectFailure([&] { (void)root["neg"].asInteger<std::uint32_t>(); }, Kind::dataCorrupted, "neg");
  // A number beyond the double range never becomes infinity.
  expectFailure([] { (void)Document::parse("[1e400]"); }, Kind::dataCorrupted, "-");
}

TEST(Document, ParsesBytes) {
  const std::uint8_t bytes[] = {'[', '4', '2', ']'};
  EXPECT_EQ(Document::parse(std::span<const std::uint8_t>(bytes)).root()[0].asInt64(), 42);
}

// tryParse() refuses exactly what parse() raises for, and reads the rest alike.
TEST(DocumentTest, TryParseAgreesWithParse) {
  const std::vector<std::string> texts = {R"({"a":1})",
                                          "[1,2]",
                                          " 7 ",
                                          "{",
                                          "",
                                          "{} x",
                                          "{\"a\":\"\xff\"}",
                                          std::string(300, '[') + std::string(300, ']'),
                                          std::string(256, '[') + std::string(256, ']'),
                                          R"({"a":1,"a":2})",
                                          "nul",
                                          "\"\\u00e9\""};
  for (const auto& text : texts) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const auto tried = Document::tryParse(bytes);
    std::optional<Document> parsed;
    try {
      parsed = Document::parse(bytes);
    } catch (const DecodingError&) {}
    ASSERT_EQ(tried.has_value(), parsed.has_value()) << text;
    if (tried) {
      EXPECT_EQ(tried->tree(), parsed->tree()) << text;
    }
  }
  EXPECT_FALSE(Document::tryParse(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("[1]"), 3), 2));
}

} // namespace
} // namespace pd::platform::json
