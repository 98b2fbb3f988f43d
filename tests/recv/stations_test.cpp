#include "stations.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace pelmora::recv {
namespace {

using wire::Endpoint;
using wire::kKindEvent;
using wire::kKindItem;
using wire::kKindSnapshot;
using wire::TextEncoding;

TEST(ShowText, BytesByValueOrGbkAsUtf8) {
  struct Case {
    std::string text;
    std::string bytes;
    std::string gbk;
  };
  const Case cases[] = {
      // 中文
      {"T|\xD6\xD0\xCE\xC4", "T|\\xd6\\xd0\\xce\\xc4",
       "T|\xE4\xB8\xAD\xE6\x96\x87"},
      {"a\\b\x01", "a\\x5cb\\x01", "a\\x5cb\\x01"},
      // A pair, a byte that leads none, a lead byte cut off at the end.
      {"\xD6\xD0\xFF\xD6", "\\xd6\\xd0\\xff\\xd6", "\xE4\xB8\xAD\\xff\\xd6"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShowText(c.text, TextEncoding::kBytes), c.bytes);
    EXPECT_EQ(ShowText(c.text, TextEncoding::kGbk), c.gbk);
  }
}

TEST(RenderLiveTable, RowPerStationAndMalformedBySender) {
  std::tm local{};
  local.tm_year = 124;
  local.tm_mon = 5;
  local.tm_mday = 1;
  local.tm_hour = 12;
  local.tm_min = 34;
  local.tm_sec = 56;
  local.tm_isdst = -1;
  const WallClock::time_point now = WallClock::from_time_t(std::mktime(&local));
  const auto ago = [&](int seconds) {
    return now - std::chrono::seconds(seconds);
  };
  const Mac a = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  const Mac b = {0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB};
  const Endpoint fromA = {0x0A000001, 7000};
  const Endpoint fromB = {0x0A000002, 7001};
  std::string wide = "L|";  // 文 thirty times: wider than the line
  for (int i = 0; i < 30; ++i) wide += "\xCE\xC4";

  StationSet set;
  set.CountMalformed(fromA);  // before A sent from there: still A's
  set.Apply({kKindSnapshot, a, {"A|1", "B|2"}}, fromA, ago(90));
  // The last record of a datagram is the station's last change.
  set.Apply({kKindItem, a, {"S|0", "T|\xD6\xD0\xCE\xC4"}}, fromA, ago(5));
  set.Apply({kKindEvent, a, {"door|open"}}, fromA, ago(5));
  set.Apply({kKindItem, b, {wide}}, fromB, ago(3600));
  set.CountMalformed(fromA);
  set.CountMalformed({0x0A000009, 9});

  std::string truncated = "L|";
  for (int i = 0; i < 24; ++i) truncated += "\xE6\x96\x87";
  EXPECT_EQ(
      RenderLiveTable(set, now, TextEncoding::kGbk),
      "pelmora-recv  12:34:56  2 stations  4 datagrams  3 malformed\n"
      "STATION            POINTS  LAST CHANGE  CHANGES   EVENTS   SNAPSHOT  "
      "MALFORMED\n"
      "00-11-22-33-44-55       4  12:34:51           2        1    90s ago "
      "         2\n"
      "  from 10.0.0.1:7000  last T|\xE4\xB8\xAD\xE6\x96\x87\n"
      "66-77-88-99-AA-BB       1  11:34:56           1        0          - "
      "         0\n"
      "  from 10.0.0.2:7001  last " +
          truncated +
          "...\n"
          "1 malformed from addresses no station sent from\n");
}

}  // namespace
}  // namespace pelmora::recv
