// Pelmora.ini as the real plug-in uses it in the real host program: the
// configured MAC on the wire, and the file a first start creates.
#include <regex>

#include "host_run.h"

namespace pelmora::testing {
namespace {

class ConfigHostTest : public TargetTest {};

TEST_P(ConfigHostTest, TheConfiguredMacIsInEveryDatagram) {
  host_.Configure(OpenReceiverPort(), "0a:1B:2c:3D:4e:5F");
  HostResult r = host_.Run({"init", "event", "e", "x", "round", "P", "3", "0",
                            "update", "P0", "1", "sleep", "300", "update", "P1",
                            "1", "sleep", "1500", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.malformed, 0);
  ASSERT_FALSE(r.datagrams.empty()) << r.output;
  for (const wire::Datagram& d : r.datagrams)
    EXPECT_EQ(wire::MacText(d.mac), "0A-1B-2C-3D-4E-5F")
        << wire::KindName(d.kind);
}

TEST_P(ConfigHostTest, AFirstStartWritesTheSettingsAndLaterStartsKeepThem) {
  ASSERT_EQ(host_.Run({"init", "uninit"}).exitCode, 0);
  const std::string written = ReadFile(host_.Drivers("Pelmora.ini"));
  const std::vector<std::string> lines =
      FileLines(host_.Drivers("Pelmora.ini"));
  ASSERT_EQ(lines.size(), 5u) << written;
  EXPECT_EQ(lines[0], "[SERVERSET]");
  // The machine's first adapter, or nothing on a machine without one.
  EXPECT_TRUE(std::regex_match(lines[1],
                               std::regex("MAC=([0-9A-F]{2}(:[0-9A-F]{2})*)?")))
      << lines[1];
  EXPECT_EQ(lines[2], "ADDR=127.0.0.1");
  EXPECT_EQ(lines[3], "PORT=7000");
  EXPECT_EQ(lines[4], "COUNT=5");

  ASSERT_EQ(host_.Run({"init", "uninit"}).exitCode, 0);
  EXPECT_EQ(ReadFile(host_.Drivers("Pelmora.ini")), written);
}

INSTANTIATE_TEST_SUITE_P(Targets, ConfigHostTest,
                         ::testing::ValuesIn(Targets()), TargetName);

}  // namespace
}  // namespace pelmora::testing
