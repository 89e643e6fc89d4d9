// The pieces every route builds on: token store and comparison, ids, bodies, the error table,
// and the retention's book-keeping on plain values.

#include "api/ReceiverAPIService.hpp"
#include "api/Retention.hpp"
#include "api/SessionTokenStore.hpp"
#include "remotesource/VideoSourceError.hpp"
#include "runtime/Error.hpp"
#include "support/LogWindow.hpp"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>

namespace pd::api {
namespace {

using remotesource::VideoSourceError;
using ::testing::ElementsAre;
using Item = Retention::Item;

std::string text(const ReceiverAPIResponse& response) { return {response.body.begin(), response.body.end()}; }

TEST(SessionTokenStoreTest, RotationReplacesTokenAndGenerationTogether) {
  SessionTokenStore store;
  const auto first = store.current();
  EXPECT_EQ(first.generation, 0);
  ASSERT_EQ(first.token.size(), 32U);
  EXPECT_EQ(first.token.find_first_not_of("0123456789abcdef"), std::string::npos);
  const auto second = store.rotate();
  EXPECT_EQ(second.generation, 1);
  EXPECT_NE(second.token, first.token);
  EXPECT_EQ(store.current().token, second.token);
  EXPECT_EQ(store.generation(), 1);
}

TEST(ReceiverAPIBasicsTest, TokenComparisonIsExactOverBytes) {
  const std::string token = "0123456789abcdef0123456789abcdef";
  EXPECT_TRUE(ReceiverAPIService::constantTimeEquals(token, token));
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals(std::nullopt, token));
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals("", token));
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals(token.substr(0, 31), token));
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals(token + "0", token));
  // Differences at either end, and one bit only.
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals("1" + token.substr(1), token));
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals(token.substr(0, 31) + "e", token));
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals("0123456789ABCDEF0123456789abcdef", token));
  EXPECT_TRUE(ReceiverAPIService::constantTimeEquals("", ""));
  // The same characters in another encoding length never pass.
  EXPECT_FALSE(ReceiverAPIService::constantTimeEquals("\xC3\xA9", "e\xCC\x81"));
}

TEST(ReceiverAPIBasicsTest, VideoIDsAreElevenASCIIIdentifierCharacters) {
  EXPECT_TRUE(ReceiverAPIService::isValidVideoID("dQw4w9WgXcQ"));
  EXPECT_TRUE(ReceiverAPIService::isValidVideoID("a_b-c_d-e_f"));
  for (const char* bad : {"dQw4w9WgXc", "dQw4w9WgXcQQ", "dQw4w9WgXc ", "dQw4w9WgX+Q", "dQw4w9WgXc\xEF\xBC\x91",
                          "dQw4w9WgX\xC3\xA9", "", "dQw4w9WgX.Q"}) {
    EXPECT_FALSE(ReceiverAPIService::isValidVideoID(bad)) << bad;
  }
}

TEST(ReceiverAPIBasicsTest, OperationIDsAreEightLowerHexDigits) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const auto op = ReceiverAPIService::makeOperationID();
    ASSERT_EQ(op.size(), 8U);
    EXPECT_EQ(op.find_first_not_of("0123456789abcdef"), std::string::npos);
    seen.insert(op);
  }
  EXPECT_GT(seen.size(), 45U);
}

TEST(ReceiverAPIBasicsTest, BodiesSortKeysAtEveryLevelAndEscapeSlashes) {
  nlohmann::json body = {{"title", "a/b"}, {"items", {{{"videoID", "x"}, {"author", "y"}}}}, {"bpm", 120}};
  const auto response = ReceiverAPIService::jsonResponse(200, body);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(text(response), R"({"bpm":120,"items":[{"author":"y","videoID":"x"}],"title":"a\/b"})");
  EXPECT_EQ(text(ReceiverAPIService::errorResponse(400, "bad_request", "q")),
            R"({"detail":"q","error":"bad_request"})");
  EXPECT_EQ(text(ReceiverAPIService::errorResponse(404, "not_found")), R"({"error":"not_found"})");
  // Invalid UTF-8 from a file name still makes valid JSON.
  EXPECT_EQ(text(ReceiverAPIService::jsonResponse(200, {{"title", "a\xFF"}})), "{\"title\":\"a\xEF\xBF\xBD\"}");
}

TEST(ReceiverAPIBasicsTest, ABodyThatCannotBeWrittenIsAnErrorNotASuccess) {
  testing::LogWindow log;
  const auto response =
      ReceiverAPIService::jsonResponse(200, {{"durationSeconds", std::numeric_limits<double>::quiet_NaN()}});
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(text(response), "{}");
  EXPECT_TRUE(log.has("receiver_api_encode_fail status=200"));
}

TEST(ReceiverAPIBasicsTest, ErrorsMapByTheTable) {
  const auto answer = [](auto error) {
    const auto response = ReceiverAPIService::errorResponse(std::make_exception_ptr(error));
    return std::to_string(response.status) + " " + text(response);
  };
  using Case = VideoSourceError::Case;
  EXPECT_EQ(answer(VideoSourceError::httpError(404)), R"(502 {"error":"upstream_http","upstreamStatus":404})");
  EXPECT_EQ(answer(VideoSourceError::networkError("NSURLErrorDomain", -1001)),
            R"(502 {"code":-1001,"domain":"NSURLErrorDomain","error":"network_error"})");
  EXPECT_EQ(answer(VideoSourceError(Case::invalidQuery)), R"(400 {"detail":"q","error":"bad_request"})");
  EXPECT_EQ(answer(VideoSourceError(Case::invalidVideoID)), R"(400 {"error":"invalid_video_id"})");
  EXPECT_EQ(answer(VideoSourceError(Case::invalidResponse)), R"(502 {"error":"invalid_response"})");
  EXPECT_EQ(answer(VideoSourceError(Case::responseMismatch)), R"(502 {"error":"response_mismatch"})");
  EXPECT_EQ(answer(VideoSourceError(Case::decodingError)), R"(502 {"error":"decoding_error"})");
  EXPECT_EQ(answer(VideoSourceError(Case::allInstancesFailed)), R"(502 {"error":"all_instances_failed"})");
  EXPECT_EQ(answer(VideoSourceError(Case::noPlayableStream)), R"(502 {"error":"no_playable_stream"})");
  EXPECT_EQ(answer(runtime::CancellationError()), R"(502 {"error":"network_error"})");
  EXPECT_EQ(answer(std::runtime_error("x")), R"(502 {"error":"network_error"})");
}

TEST(ReceiverAPIBasicsTest, ThumbnailTypesFollowTheLowerCasedExtension) {
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/vi/x/a.webp"), "image/webp");
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/vi/x/a.PNG?x=1.webp"), "image/png");
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/vi/x/a.jpg"), "image/jpeg");
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/vi/x/default"), "image/jpeg");
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example.png"), "image/jpeg");
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/x.png#y.webp"), "image/png");
  // The extension of the name the escapes stand for.
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/vi/x/a%2Ewebp"), "image/webp");
  EXPECT_EQ(ReceiverAPIService::imageContentType("https://i.example/vi/x/a.p%4Eg"), "image/png");
}

TEST(ReceiverAPIBasicsTest, LocalTitlesDropOnlyTheLastExtension) {
  EXPECT_EQ(ReceiverAPIService::title("intro.mov"), "intro");
  EXPECT_EQ(ReceiverAPIService::title("a.b.mp4"), "a.b");
  EXPECT_EQ(ReceiverAPIService::title("noext"), "noext");
}

std::vector<std::int64_t> tickets(const std::vector<Item>& list) {
  std::vector<std::int64_t> out;
  for (const auto& item : list) out.push_back(item.ticket);
  return out;
}

TEST(RetentionTest, InsertKeepsTicketOrderAndPushesOutTheLowest) {
  std::vector<Item> list;
  EXPECT_TRUE(Retention::insert({5, 0, {"e"}}, list, 3).empty());
  EXPECT_TRUE(Retention::insert({7, 0, {"g1", "g2"}}, list, 3).empty());
  EXPECT_TRUE(Retention::insert({6, 0, {}}, list, 3).empty());
  EXPECT_THAT(tickets(list), ElementsAre(5, 6, 7));
  // A late commit lower than every ticket of a full list goes in first and out at once.
  EXPECT_THAT(Retention::insert({4, 0, {"d"}}, list, 3), ElementsAre("d"));
  EXPECT_THAT(tickets(list), ElementsAre(5, 6, 7));
  // An empty item takes a place like any other.
  EXPECT_THAT(Retention::insert({8, 0, {}}, list, 3), ElementsAre("e"));
  EXPECT_THAT(tickets(list), ElementsAre(6, 7, 8));
  // Equal tickets keep arrival order: the newcomer goes after.
  std::vector<Item> ties{{1, 0, {"first"}}};
  Retention::insert({1, 0, {"second"}}, ties, 1);
  EXPECT_THAT(ties.front().tokens, ElementsAre("second"));
}

TEST(RetentionTest, ResolvesAreKeptPerDeckAndRevokedByGenerationNotTicket) {
  Retention::Snapshot books;
  for (std::int64_t t = 1; t <= 7; ++t) {
    Retention::insertChecked(books, {t, 0, {"n" + std::to_string(t)}}, std::nullopt, false);
  }
  for (std::int64_t t = 8; t <= 11; ++t) {
    Retention::insertChecked(books, {t, t < 10 ? 0 : 1, {"a" + std::to_string(t)}}, "A", false);
  }
  Retention::insertChecked(books, {12, 0, {"b12"}}, "B", false);
  EXPECT_THAT(tickets(books.resolves["-"]), ElementsAre(2, 3, 4, 5, 6, 7));
  EXPECT_THAT(tickets(books.resolves["A"]), ElementsAre(9, 10, 11));
  EXPECT_THAT(tickets(books.resolves["B"]), ElementsAre(12));
  Retention::insertChecked(books, {2, 1, {"s2"}}, std::nullopt, true);
  Retention::insertChecked(books, {1, 0, {"s1"}}, std::nullopt, true);

  // Generation 1 items survive whatever their tickets; key order of the books is "-", "A", "B".
  EXPECT_THAT(Retention::revoke(books, 1), ElementsAre("s1", "n2", "n3", "n4", "n5", "n6", "n7", "a9", "b12"));
  EXPECT_EQ(books.revokedBelow, 1);
  EXPECT_THAT(tickets(books.searches), ElementsAre(2));
  EXPECT_THAT(tickets(books.resolves["A"]), ElementsAre(10, 11));
  EXPECT_TRUE(books.resolves.contains("B"));
  // An item of a revoked generation is refused and answered back.
  EXPECT_THAT(Retention::insertChecked(books, {20, 0, {"late"}}, "B", false), ElementsAre("late"));
  EXPECT_TRUE(books.resolves["B"].empty());
  // revokedBelow never goes down.
  EXPECT_TRUE(Retention::revoke(books, 0).empty());
  EXPECT_EQ(books.revokedBelow, 1);
}

} // namespace
} // namespace pd::api
