#include "LogTestSupport.hpp"

#include "platform/log/Utf8.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::log {
namespace {

using detail::validateFor;

// ---- compile-time checks -------------------------------------------------------------------

enum class Mode { mix, raw };

static_assert(validateFor<>("plain line 100%%") == nullptr);
static_assert(validateFor<int>("n=%d") == nullptr);
static_assert(validateFor<long, unsigned short, unsigned char>("a=%ld b=%hu c=%hhu") == nullptr);
static_assert(validateFor<std::size_t, std::ptrdiff_t>("%zu %zd") == nullptr);
static_assert(validateFor<std::string, std::string_view, const char*, char[4]>("%{public}s %s %{private}s %s") ==
              nullptr);
static_assert(validateFor<std::string>("%{private,mask.hash}s") == nullptr);
static_assert(validateFor<std::string>("%{private, mask.hash}s") == nullptr);
static_assert(validateFor<bool>("%{bool}d") == nullptr);
static_assert(validateFor<double, float>("%.3f %e") == nullptr);
static_assert(validateFor<unsigned>("%#08X") == nullptr);
static_assert(validateFor<int>("%{private}d") == nullptr);
static_assert(validateFor<double>("%lf") == nullptr);

static_assert(validateFor<std::string>("%d") != nullptr);
static_assert(validateFor<int>("%s") != nullptr);
static_assert(validateFor<bool>("%d") != nullptr);
static_assert(validateFor<int>("%{bool}d") != nullptr);
static_assert(validateFor<double>("%d") != nullptr);
static_assert(validateFor<int>("%f") != nullptr);
static_assert(validateFor<>("%d") != nullptr);
static_assert(validateFor<int, int>("%d") != nullptr);
static_assert(validateFor<int>("%q") != nullptr);
static_assert(validateFor<int>("%Ld") != nullptr);
static_assert(validateFor<int>("%*d") != nullptr);
static_assert(validateFor<int, double>("%.*f") == nullptr &&
              validateFor<int, double, long, float>("%.*f %8.*e") == nullptr);
static_assert(validateFor<double>("%.*f") != nullptr);
static_assert(validateFor<double, double>("%.*f") != nullptr);
static_assert(validateFor<bool, double>("%.*f") != nullptr);
static_assert(validateFor<int, int>("%.*d") != nullptr);
static_assert(validateFor<int>("%1234d") != nullptr);
static_assert(validateFor<int>("%#d") != nullptr);
static_assert(validateFor<int>("%------d") != nullptr);
static_assert(validateFor<std::string>("%5s") != nullptr);
static_assert(validateFor<std::string>("%ls") != nullptr);
static_assert(validateFor<int>("%{mask.hash}d") != nullptr);
static_assert(validateFor<std::string>("%{public,private}s") != nullptr);
static_assert(validateFor<std::string>("%{secret}s") != nullptr);
static_assert(validateFor<std::string>("%{public s") != nullptr);
static_assert(validateFor<>("ends with %") != nullptr);
static_assert(validateFor<>("%5%") != nullptr);
static_assert(validateFor<bool>("%{bool}5d") != nullptr);
static_assert(validateFor<Mode>("%d") != nullptr);
static_assert(validateFor<std::vector<int>>("%s") != nullptr);
static_assert(validateFor<wchar_t*>("%s") != nullptr);

// ---- rendering -----------------------------------------------------------------------------

class FormatTest : public ::testing::Test {
protected:
  test::QuietLogging quiet;
  Logger logger{"tech.example.test", "format"};

  template <typename... Args>
  std::string line(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    logger.notice(format, args...);
    return test::lastMessage();
  }
};

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
cPrintf(const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

// With an argument of the conversion's own type, the line must read exactly as C's printf.
#define EXPECT_LIKE_PRINTF(format, value) EXPECT_EQ(line(format, value), cPrintf(format, value)) << format

TEST_F(FormatTest, NumbersOfMatchingTypesReadAsPrintf) {
  EXPECT_LIKE_PRINTF("%d", INT_MIN);
  EXPECT_LIKE_PRINTF("%i", -7);
  EXPECT_LIKE_PRINTF("%u", 4000000000u);
  EXPECT_LIKE_PRINTF("%ld", LONG_MIN);
  EXPECT_LIKE_PRINTF("%lld", LLONG_MAX);
  EXPECT_LIKE_PRINTF("%lu", ULONG_MAX);
  EXPECT_LIKE_PRINTF("%llu", 18446744073709551615ULL);
  EXPECT_LIKE_PRINTF("%hu", static_cast<unsigned short>(65535));
  EXPECT_LIKE_PRINTF("%hd", static_cast<short>(-32768));
  EXPECT_LIKE_PRINTF("%hhu", static_cast<unsigned char>(255));
  EXPECT_LIKE_PRINTF("%zu", static_cast<std::size_t>(123456789));
  EXPECT_LIKE_PRINTF("%zd", static_cast<std::ptrdiff_t>(-5));
  EXPECT_LIKE_PRINTF("%x", 255u);
  EXPECT_LIKE_PRINTF("%X", 0xABCDEFu);
  EXPECT_LIKE_PRINTF("%x", 0u);
  EXPECT_LIKE_PRINTF("%o", 8u);
  EXPECT_LIKE_PRINTF("%lx", ULONG_MAX);
  EXPECT_LIKE_PRINTF("[%5d]", 42);
  EXPECT_LIKE_PRINTF("[%-5d]", 42);
  EXPECT_LIKE_PRINTF("[%05d]", -42);
  EXPECT_LIKE_PRINTF("[%+d]", 42);
  EXPECT_LIKE_PRINTF("[% d]", 42);
  EXPECT_LIKE_PRINTF("[%.3d]", 7);
  EXPECT_LIKE_PRINTF("[%06d]", 12);
  EXPECT_LIKE_PRINTF("[%012lld]", 977LL);
  EXPECT_LIKE_PRINTF("[%02x]", 10u);
  EXPECT_LIKE_PRINTF("[%#x]", 255u);
  EXPECT_LIKE_PRINTF("[%#o]", 8u);
  EXPECT_LIKE_PRINTF("[%08X]", 0xBEEFu);
  EXPECT_LIKE_PRINTF("%f", 3.14159);
  EXPECT_LIKE_PRINTF("%.1f", 0.05);
  EXPECT_LIKE_PRINTF("%.3f", -2.0005);
  EXPECT_LIKE_PRINTF("%.4f", 1e-5);
  EXPECT_LIKE_PRINTF("%e", 12345.678);
  EXPECT_LIKE_PRINTF("%E", 0.000123);
  EXPECT_LIKE_PRINTF("%g", 0.0001);
  EXPECT_LIKE_PRINTF("%G", 1e20);
  EXPECT_LIKE_PRINTF("[%10.2f]", 3.14159);
  EXPECT_LIKE_PRINTF("[%-10.2f]", 3.14159);
  EXPECT_LIKE_PRINTF("%f", std::numeric_limits<double>::infinity());
  EXPECT_LIKE_PRINTF("%F", -std::numeric_limits<double>::infinity());
  EXPECT_LIKE_PRINTF("%.300f", 1e300); // longer than any small buffer
  EXPECT_EQ(line("%f", 1.5f), "1.500000");
  EXPECT_EQ(line("c=%.*f t=%.*f", 2, 0.456f, 1, 59.96), cPrintf("c=%.*f t=%.*f", 2, 0.456, 1, 59.96));
  EXPECT_EQ(line("[%8.*f]", -1, 2.5), cPrintf("[%8.*f]", -1, 2.5));
}

TEST_F(FormatTest, IntegersAreNeverWrappedToTheModifiersType) {
  EXPECT_EQ(line("%hu", 70000), "70000");
  EXPECT_EQ(line("%d", std::int64_t{5'000'000'000}), "5000000000");
  EXPECT_EQ(line("%u", -1), "-1");
  EXPECT_EQ(line("%ld", std::uint64_t{18'446'744'073'709'551'615ULL}), "18446744073709551615");
  EXPECT_EQ(line("%hhu", 'A'), "65");
  // Hex and octal show the bits of the argument's own width.
  EXPECT_EQ(line("%x", std::int8_t{-1}), "ff");
  EXPECT_EQ(line("%x", -1), "ffffffff");
  EXPECT_EQ(line("%llx", std::int64_t{-1}), "ffffffffffffffff");
  EXPECT_EQ(line("%04x", std::int16_t{-2}), "fffe");
}

TEST_F(FormatTest, BooleansPercentAndLiteralText) {
  EXPECT_EQ(line("a=%{bool}d b=%{bool}d", true, false), "a=true b=false");
  EXPECT_EQ(line("100%% done"), "100% done");
  EXPECT_EQ(line("%%d %%%{public}s%%", std::string("x")), "%d %x%");
  EXPECT_EQ(line("no conversions at all"), "no conversions at all");
  EXPECT_EQ(line(""), "");
}

TEST_F(FormatTest, StringPrivacy) {
  const std::string host = "studio.local";
  const std::string_view view = "view";
  const char* pointer = "pointer";
  const char* null = nullptr;
  char array[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}; // no terminator: must not read past it
  EXPECT_EQ(line("host=%{public}s", host), "host=studio.local");
  EXPECT_EQ(line("%{public}s %{public}s %{public}s", view, pointer, "literal"), "view pointer literal");
  EXPECT_EQ(line("%{public}s", array), "abcdefgh");
  EXPECT_EQ(line("%{public}s|%s", null, null), "(null)|(null)");
  EXPECT_EQ(line("path=%s", std::string("/home/u/video.mp4")), "path=<private>");
  EXPECT_EQ(line("path=%{private}s", std::string("/x")), "path=<private>");
  EXPECT_EQ(line("empty=%s", std::string()), "empty=<private>");
  EXPECT_EQ(line("n=%{private}d f=%{private}f", 5, 1.0), "n=<private> f=<private>");
  EXPECT_EQ(line("n=%{public}d", 5), "n=5");
}

TEST_F(FormatTest, MaskHashIsStableSaltedAndHidesTheValue) {
  const std::string token = "0123456789abcdef0123456789abcdef";
  const std::string first = line("token=%{private,mask.hash}s", token);
  EXPECT_THAT(first, ::testing::MatchesRegex("token=<mask\\.hash: '[A-Za-z0-9+/]{22}=='>"));
  EXPECT_EQ(first.find(token), std::string::npos);
  EXPECT_EQ(line("token=%{private,mask.hash}s", token), first);
  EXPECT_EQ(line("token=%{private,mask.hash}s", std::string_view(token)), first);
  EXPECT_NE(line("token=%{private,mask.hash}s", std::string("0123456789abcdef0123456789abcdee")), first);
  // Without the salt the mark would be a plain hash that anyone could compute from a guess.
  EXPECT_NE(line("%{private,mask.hash}s", std::string("")), "<mask.hash: '47DEQpj8HBSa+/TImW+5JA=='>");
}

TEST_F(FormatTest, InvalidUtf8IsReplaced) {
  EXPECT_EQ(line("name=%{public}s", std::string("a\xFF"
                                                "b")),
            "name=a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(line("name=%{public}s", std::string("cut \xE2\x82")), "name=cut \xEF\xBF\xBD");
  const std::string emoji = "\xF0\x9F\x98\x80 \xE3\x81\x82";
  EXPECT_EQ(line("name=%{public}s", emoji), "name=" + emoji);
}

TEST(Utf8Test, MaximalSubpartsEachBecomeOneReplacement) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"plain ascii", "plain ascii"},
      {"\xC3\xA9", "\xC3\xA9"}, // é
      {"\xC0\xAF", fffd + fffd}, // overlong '/'
      {"\xED\xA0\x80", fffd + fffd + fffd}, // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
      {"\xE2\x82"
       "A",
       fffd + "A"}, // truncated, then ASCII
      {"\xF0\x9F\x98", fffd}, // truncated at the end
      {"\x80\xBF", fffd + fffd}, // lone continuations
      {"abcdefgh\xFFijklmnop", "abcdefgh" + fffd + "ijklmnop"}, // past the 8-byte fast path
      {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toValidUtf8(c.input), c.expected);
    EXPECT_EQ(isValidUtf8(c.input), c.input == c.expected);
    EXPECT_TRUE(isValidUtf8(toValidUtf8(c.input)));
  }
}

TEST(Utf8Test, TruncationNeverSplitsACharacter) {
  std::string text = "ab\xE3\x81\x82"; // 'a' 'b' then a three-byte character
  truncateUtf8(text, 4);
  EXPECT_EQ(text, "ab");
  text = "ab\xE3\x81\x82";
  truncateUtf8(text, 5);
  EXPECT_EQ(text, "ab\xE3\x81\x82");
  text = "\xF0\x9F\x98\x80";
  truncateUtf8(text, 3);
  EXPECT_EQ(text, "");
}

TEST(LevelTest, NamesAreTheUnifiedLogWords) {
  EXPECT_EQ(levelName(Level::debug), "debug");
  EXPECT_EQ(levelName(Level::notice), "default");
  EXPECT_EQ(levelName(Level::error), "error");
  EXPECT_EQ(levelName(Level::fault), "fault");
}

} // namespace
} // namespace pd::platform::log
