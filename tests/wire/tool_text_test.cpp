// The small text rules every tool shares: UTF-8, hex digits, which texts
// are numbers, and JSON arrays.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hex_text.h"
#include "json_text.h"
#include "number_text.h"
#include "utf8.h"

namespace pelmora::wire {
namespace {

TEST(WireUtf8, ReadsOnlyTheShortestFormOfAScalarValue) {
  const struct {
    std::string bytes;
    std::size_t length;  // 0: no character starts there
    char32_t code;
  } cases[] = {
      {"A", 1, U'A'},
      {"\x7F", 1, 0x7F},
      {"\xC2\x80", 2, 0x80},
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE0\xA0\x80", 3, 0x800},
      {"\xE4\xB8\xAD"
       "x",
       3, 0x4E2D},  // 中, then more text
      {"\xED\x9F\xBF", 3, 0xD7FF},
      {"\xEE\x80\x80", 3, 0xE000},
      {"\xEF\xBF\xBF", 3, 0xFFFF},
      {"\xF0\x90\x80\x80", 4, 0x10000},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"", 0, 0},
      {"\x80", 0, 0},  // a continuation byte alone
      {"\xBF"
       "A",
       0, 0},
      {"\xC0\xAF", 0, 0},  // overlong '/'
      {"\xC1\xBF", 0, 0},
      {"\xE0\x80\xAF", 0, 0},
      {"\xE0\x9F\xBF", 0, 0},
      {"\xF0\x80\x80\xAF", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0},
      {"\xED\xA0\x80", 0, 0},  // surrogates
      {"\xED\xBF\xBF", 0, 0},
      {"\xF4\x90\x80\x80", 0, 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xF8\x88\x80\x80\x80", 0, 0},
      {"\xFF", 0, 0},
      {"\xE4\xB8", 0, 0},  // cut short
      {"\xF0\x9F\x98", 0, 0},
      {"\xE4"
       "AB",
       0, 0},  // a lead byte, then no continuation
      {"\xE4\xB8"
       "A",
       0, 0},
  };
  for (const auto& c : cases) {
    char32_t code = 0;
    EXPECT_EQ(ReadUtf8(c.bytes, &code), c.length) << HexOf(c.bytes);
    if (c.length != 0) {
      EXPECT_EQ(code, c.code) << HexOf(c.bytes);
    }
  }
}

TEST(WireUtf8, EveryScalarValueGoesBackAndForthAndNothingElseIsWritten) {
  for (char32_t code = 0; code <= 0x110010; ++code) {
    std::string bytes;
    AppendUtf8(code, &bytes);
    const bool scalar = code < 0xD800 || (code > 0xDFFF && code <= 0x10FFFF);
    char32_t back = 0;
    ASSERT_EQ(ReadUtf8(bytes, &back), bytes.size()) << std::hex << code;
    ASSERT_EQ(back, scalar ? code : 0xFFFD) << std::hex << code;
  }
  std::string bytes;
  AppendUtf8(0x7FF, &bytes);
  AppendUtf8(0x800, &bytes);
  AppendUtf8(0xD800, &bytes);
  AppendUtf8(0x10FFFF, &bytes);
  EXPECT_EQ(HexOf(bytes),
            "dfbf"
            "e0a080"
            "efbfbd"
            "f48fbfbf");
}

TEST(WireHex, DigitsOfEitherCaseAndNothingElse) {
  const struct {
    std::string text;
    std::size_t size;
    bool read;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"00ff7F", 3, true, {0x00, 0xFF, 0x7F}},
      {"aBcD", 2, true, {0xAB, 0xCD}},
      {"", 0, true, {}},
      {"abc", 2, false, {}},     // odd
      {"abcdef", 2, false, {}},  // too long
      {"0g", 1, false, {}},
      {"g0", 1, false, {}},
      {" a", 1, false, {}},
      {"+a", 1, false, {}},
      {"0x", 1, false, {}},
      {"\xEF\xBC\x91"
       "0",
       2,
       false,
       {}},  // a full-width digit
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> bytes(c.size, 0x55);
    EXPECT_EQ(ParseHexBytes(c.text, bytes.data(), c.size), c.read) << c.text;
    EXPECT_EQ(bytes, c.read ? c.bytes : std::vector<std::uint8_t>(c.size, 0x55))
        << c.text;  // nothing written unless all of it is read
  }
  const struct {
    const char* text;
    bool read;
    std::uint32_t value;
  } numbers[] = {
      {"0", true, 0},   {"D83d", true, 0xD83D},  {"ffffffff", true, ~0u},
      {"", false, 0},   {"100000000", false, 0}, {"12 ", false, 0},
      {"-1", false, 0},
  };
  for (const auto& c : numbers) {
    std::uint32_t value = 7;
    EXPECT_EQ(ParseHexNumber(c.text, &value), c.read) << c.text;
    EXPECT_EQ(value, c.read ? c.value : 7) << c.text;
  }
  std::string written;
  AppendHexByte(0xAB, HexCase::kUpper, &written);
  AppendHexByte(0x0C, HexCase::kLower, &written);
  EXPECT_EQ(written, "AB0c");
  EXPECT_EQ(HexOf(std::string("\x00\xFF"
                              "a",
                              3)),
            "00ff61");
}

// One rule for the page's trend and the Sparkplug Double metric.
TEST(WireNumber, APlainDecimalNumberAndNothingElse) {
  const struct {
    const char* text;
    bool number;
    double value;
  } cases[] = {
      {"42", true, 42},
      {"-3.5", true, -3.5},
      {"+5", true, 5},
      {"0", true, 0},
      {"007", true, 7},
      {"1e3", true, 1000},
      {"1E+03", true, 1000},
      {"2.5e-1", true, 0.25},
      {"1.7976931348623157e308", true, 1.7976931348623157e308},
      {"", false, 0},
      {" 42", false, 0},
      {"42 ", false, 0},
      {"4 2", false, 0},
      {"0x10", false, 0},
      {"inf", false, 0},
      {"-Infinity", false, 0},
      {"nan", false, 0},
      {"5.", false, 0},
      {".5", false, 0},
      {"-", false, 0},
      {"+-1", false, 0},
      {"1e", false, 0},
      {"1e+", false, 0},
      {"1.5.2", false, 0},
      {"1,5", false, 0},
      {"12abc", false, 0},
      {"1e999", false, 0},
      {"-1e999", false, 0},
      {"1e-999", false, 0},
      {"\xD9\xA1", false, 0},  // an Arabic-Indic digit
  };
  for (const auto& c : cases) {
    double value = -1;
    EXPECT_EQ(ParseDecimalNumber(c.text, &value), c.number) << c.text;
    EXPECT_EQ(value, c.number ? c.value : -1) << c.text;
  }
}

TEST(WireJson, ArraysAndUtf8TextsAsAReaderTakesThem) {
  JsonArray array;
  EXPECT_EQ(array.Close(), "[]");
  array.Text("a\"b").Null().Json("{\"n\":1}");
  EXPECT_TRUE(array.HostText("\xCE\xC2", TextEncoding::kGbk));  // 温
  EXPECT_FALSE(array.HostText("x\xFF", TextEncoding::kGbk));
  EXPECT_EQ(array.Close(),
            "[\"a\\\"b\",null,{\"n\":1},\"\xE6\xB8\xA9\",\"x\xEF\xBF\xBD\"]");
  EXPECT_EQ(array.Json("1").Close(), "[1]");  // a fresh array after Close

  const struct {
    std::string text;
    std::string json;
  } texts[] = {
      {"op-7", "\"op-7\""},
      {"op-\xC3\xA9", "\"op-\xC3\xA9\""},  // é stays é
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"a\x01\"\\", "\"a\\u0001\\\"\\\\\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},  // cut short
      {"\xED\xA0\x80z", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\""},
  };
  for (const auto& c : texts) {
    EXPECT_EQ(JsonObject().Utf8Text("id", c.text).Close(),
              "{\"id\":" + c.json + "}")
        << HexOf(c.text);
  }
}

}  // namespace
}  // namespace pelmora::wire
