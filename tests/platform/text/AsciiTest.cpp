// ASCII case folding: letters only, whatever locale the environment set.

#include "platform/text/Ascii.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <string>

namespace pd::platform::text {
namespace {

// A Turkish locale where one is installed, so that the C library's folding of "I" differs.
class AsciiTest : public ::testing::Test {
protected:
  AsciiTest() : previous_(std::setlocale(LC_ALL, nullptr)) {
    for (const char* name : {"tr_TR.ISO-8859-9", "tr_TR.UTF-8", "C.UTF-8"}) {
      if (std::setlocale(LC_ALL, name)) break;
    }
  }
  ~AsciiTest() override { std::setlocale(LC_ALL, previous_.c_str()); }

private:
  std::string previous_;
};

TEST_F(AsciiTest, FoldsOnlyASCIILettersWhateverTheLocale) {
  const std::string mixed = "Content-TYPE: I\xC4\xB0\xDD\xC0z@[`{";
  EXPECT_EQ(asciiLowerCopy(mixed), "content-type: i\xC4\xB0\xDD\xC0z@[`{") << std::setlocale(LC_ALL, nullptr);
  std::string upper = mixed;
  std::ranges::transform(upper, upper.begin(), asciiUpper);
  EXPECT_EQ(upper, "CONTENT-TYPE: I\xC4\xB0\xDD\xC0Z@[`{");

  EXPECT_TRUE(asciiEqualsIgnoreCase("Content-Length", "content-LENGTH"));
  EXPECT_FALSE(asciiEqualsIgnoreCase("Content-Length", "Content-Length "));
  EXPECT_FALSE(asciiEqualsIgnoreCase("\xDD", "i")) << "a Turkish dotted capital I is no \"i\"";
  EXPECT_FALSE(asciiEqualsIgnoreCase("\xC0", "\xE0")) << "Latin-1 letters are not folded";
  EXPECT_TRUE(asciiStartsWithIgnoreCase("HTTPS://host", "https://"));
  EXPECT_TRUE(asciiStartsWithIgnoreCase("bytes", ""));
  EXPECT_FALSE(asciiStartsWithIgnoreCase("http", "https"));
  EXPECT_FALSE(asciiStartsWithIgnoreCase("Http://", "ftp://"));
}

} // namespace
} // namespace pd::platform::text
