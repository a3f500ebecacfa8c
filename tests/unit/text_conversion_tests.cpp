// The tool's text between UTF-8 and UTF-16: every plane both ways, unpaired surrogates refused
// or replaced, malformed UTF-8 replaced.
#include <gtest/gtest.h>

#include <string>

#include "system/text.h"

namespace voxtrel {
namespace {

TEST(TextConversion, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a é 中 😀 z
  const std::wstring wide = to_wide(text);
  EXPECT_EQ(wide, (std::wstring{L'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00, L'z'}));
  EXPECT_EQ(to_utf8_strict(wide), text);
  EXPECT_EQ(to_utf8_lossy(wide), text);
}

TEST(TextConversion, UnpairedSurrogatesAreRefusedOrReplaced) {
  const std::wstring lone_high{L'x', 0xD800, L'y'};
  const std::wstring lone_low{0xDC00};
  const std::wstring reversed{0xDC00, 0xD800};
  for (const auto& text : {lone_high, lone_low, reversed})
    EXPECT_EQ(to_utf8_strict(text), std::nullopt);
  EXPECT_EQ(to_utf8_lossy(lone_high), "x\xEF\xBF\xBDy");
  EXPECT_EQ(to_utf8_lossy(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters) {
  const wchar_t bad = 0xFFFD;
  EXPECT_EQ(to_wide(std::string("a\xFF") + "b"), (std::wstring{L'a', bad, L'b'}));
  EXPECT_EQ(to_wide("\xC3"), std::wstring(1, bad));          // cut short
  EXPECT_EQ(to_wide("\xC0\xAF"), std::wstring(2, bad));      // overlong
  EXPECT_EQ(to_wide("\xED\xA0\x80"), std::wstring(3, bad));  // encoded surrogate
}

}  // namespace
}  // namespace voxtrel
