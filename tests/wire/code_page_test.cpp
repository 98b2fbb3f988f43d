#include "code_page.h"

#include <gtest/gtest.h>

#include <string>

namespace pelmora::wire {
namespace {

TEST(CodePage, DecodesGbkAndMarksWhatIsNone) {
  struct Case {
    std::string gbk;
    std::string utf8;
    bool exact;
  };
  const Case cases[] = {
      {"P1=12.5", "P1=12.5", true},
      // 中文, 温度
      {"\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87", true},
      {"T\xCE\xC2\xB6\xC8", "T\xE6\xB8\xA9\xE5\xBA\xA6", true},
      // A lead byte at the end, a trail byte that no pair has, a lone 0xFF.
      {"A\xD6", "A\xEF\xBF\xBD", false},
      {"\xD6\x7F", "\xEF\xBF\xBD\x7F", false},
      {"\xFF"
       "B",
       "\xEF\xBF\xBD"
       "B",
       false},
  };
  for (const Case& c : cases) {
    bool exact = !c.exact;
    EXPECT_EQ(GbkToUtf8(c.gbk, &exact), c.utf8) << c.gbk;
    EXPECT_EQ(exact, c.exact) << c.gbk;
  }
}

TEST(CodePage, EveryPairThatDecodesEncodesBackToItsBytes) {
  int decoded = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf8;
      if (DecodeGbkChar(pair, &utf8) != 2) continue;
      ++decoded;
      std::string back;
      ASSERT_EQ(EncodeGbkChar(utf8, &back), utf8.size())
          << lead << "," << trail;
      EXPECT_EQ(back, pair);
    }
  }
  // GBK has 21,886 pairs; a converter without the table would give none.
  EXPECT_GT(decoded, 21000);
}

TEST(CodePage, EncodingRefusesMalformedUtf8AndCharactersGbkLacks) {
  std::string gbk;
  EXPECT_EQ(EncodeGbkChar("\xC0\xAF", &gbk), 0u);          // overlong '/'
  EXPECT_EQ(EncodeGbkChar("\xE4\xB8", &gbk), 0u);          // cut short
  EXPECT_EQ(EncodeGbkChar("\xF0\x9F\x98\x80", &gbk), 0u);  // an emoji
  EXPECT_EQ(gbk, "");
}

}  // namespace
}  // namespace pelmora::wire
