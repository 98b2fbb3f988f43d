// The Wireshark dissector under tshark, on captures that pelmora-recv wrote
// (--pcap) of what really arrived: the plug-in's own traffic through the
// real host program, and hand-made malformed datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "host_run.h"
#include "support/child_process.h"
#include "support/datagram_bytes.h"
#include "support/udp_sender.h"
#include "support/wine_target.h"

namespace pelmora::testing {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// The point name 温度 (temperature) in code page 936.
const char kGbkName[] = "\xCE\xC2\xB6\xC8";

// Receives on a free loopback port until `options` end it, writing what
// arrives to `pcap`; `send` runs once the port is known. Returns the port,
// 0 when the receiver did not listen.
template <typename Send>
int Capture(const std::string& pcap, std::vector<std::string> options,
            Send send) {
  options.insert(options.end(), {"--port", "0", "--quiet", "--pcap", pcap,
                                 "--duration", "30000"});
  ChildProcess receiver(options, {PELMORA_RECV_BINARY});
  const int port = receiver.ListeningPort();
  if (port <= 0) {
    ADD_FAILURE() << "the receiver did not listen";
    return 0;
  }
  send(port);
  receiver.ReadOutput();
  EXPECT_EQ(receiver.ExitStatus(), 0);
  return port;
}

// One row per frame, one column per field, several values of a field
// joined with ';'. `decode` tells tshark which port carries the protocol.
Rows Decode(const std::string& pcap, const std::string& decode,
            const std::vector<std::string>& fields) {
  std::string command = "tshark -n -r " + ShellQuote(pcap) +
                        " -X lua_script:" + ShellQuote(PELMORA_DISSECTOR) +
                        " " + decode +
                        " -T fields -E separator=/t -E occurrence=a "
                        "-E aggregator=';'";
  for (const std::string& field : fields) command += " -e " + field;
  const std::string errors = pcap + ".stderr";
  const ShellResult run = RunShell(command + " 2>" + ShellQuote(errors));
  EXPECT_EQ(run.exitCode, 0) << command << "\n" << ReadFile(errors);
  Rows rows;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> row;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
         start = tab + 1)
      row.push_back(line.substr(start, tab - start));
    row.push_back(line.substr(start));
    rows.push_back(row);
  }
  EXPECT_FALSE(rows.empty()) << command << "\n" << ReadFile(errors);
  return rows;
}

// The protocol guide's examples of the kinds the plug-in always sends.
std::vector<std::string> GuideDumps() {
  std::vector<std::string> dumps;
  for (const Bytes& dump :
       GuideExamples(PELMORA_PROTOCOL_GUIDE, {0x01, 0x02, 0xFF}))
    dumps.push_back(ToHex(dump));
  return dumps;
}

class Dissector : public ::testing::Test {
 protected:
  void SetUp() override {
    if (RunShell("command -v tshark").exitCode != 0)
      FAIL() << "tshark is not installed; scripts/setup.sh installs it";
  }
  TempDir dir_;
};

TEST_F(Dissector, DecodesEveryFieldOfWhatTheHostSent) {
  // The plug-in sends the item up to a period and a send-loop pause after
  // the host pushed it, and discards what it still holds when the host
  // stops it; so the host is not told to stop: it runs until the receiver
  // has all three datagrams, and is killed after.
  const Target native = Targets().front();
  HostDir hostDir(native);
  const auto copied = [&](const std::string& built) {
    return hostDir.path() + "/" + built.substr(built.find_last_of('/') + 1);
  };
  std::vector<std::string> commands = {
      "init", "sleep",  "300",    "event", "alarm", "high",   "event",
      "door", "open",   "update", "P1",    "12.0",  "update", kGbkName,
      "21.5", "update", "P1",     "12.0",  "sleep", "2500",   "update",
      "P1",   "12.5",   "sleep",  "60000"};
  commands.insert(commands.begin(), copied(native.library));
  std::unique_ptr<ChildProcess> host;
  const std::string pcap = dir_.File("host.pcap");
  const int port = Capture(pcap, {"--count", "3"}, [&](int receiverPort) {
    hostDir.Configure(receiverPort);
    host = std::make_unique<ChildProcess>(
        commands, std::vector<std::string>{copied(native.hostExe)});
  });

  // Another port than the protocol's own: decoded through Decode As.
  const Rows rows = Decode(
      pcap, "-d udp.port==" + std::to_string(port) + ",pelmora",
      {"_ws.col.Info", "pelmora.fixed_lead", "pelmora.kind",
       "pelmora.fixed_mid", "pelmora.payload_length", "pelmora.station",
       "pelmora.fixed_tail", "pelmora.record.length", "pelmora.record.name",
       "pelmora.record.value", "pelmora.record.text", "pelmora.record.raw",
       "_ws.expert.message"});
  const std::string fixed[] = {"ff ff ff ff 02 00 00 01", "ff ff ff",
                               "ff ff ff ff ff ff ff ff ff ff"};
  const std::string mac = "00:11:22:33:44:55";
  const Rows expected = {
      {"snapshot, 2 records, station " + mac, fixed[0], "0xff", fixed[1], "20",
       mac, fixed[2], "7;9", "P1;温度", "12.0;21.5", "P1|12.0;温度|21.5",
       "50317c31322e30;cec2b6c87c32312e35", ""},
      {"event, 2 records, station " + mac, fixed[0], "0x02", fixed[1], "23",
       mac, fixed[2], "10;9", "alarm;door", "high;open", "alarm|high;door|open",
       "616c61726d7c68696768;646f6f727c6f70656e", ""},
      {"item, 1 record, station " + mac, fixed[0], "0x01", fixed[1], "9", mac,
       fixed[2], "7", "P1", "12.5", "P1|12.5", "50317c31322e35", ""},
  };
  EXPECT_EQ(rows, expected);

  // The protocol guide's three examples are these datagrams.
  std::vector<std::string> sent;
  for (const auto& row : Decode(pcap, "", {"udp.payload"}))
    sent.push_back(row[0]);
  std::vector<std::string> examples = GuideDumps();
  std::sort(sent.begin(), sent.end());
  std::sort(examples.begin(), examples.end());
  EXPECT_EQ(examples, sent);
}

TEST_F(Dissector, DecodesTheGuidesCommandsAndReply) {
  const std::vector<Bytes> examples =
      GuideExamples(PELMORA_PROTOCOL_GUIDE, {0x03, 0x04});
  const std::string pcap = dir_.File("commands.pcap");
  const int port = Capture(pcap, {"--idle-exit", "500"}, [&](int receiverPort) {
    Sender sender(static_cast<std::uint16_t>(receiverPort));
    for (const Bytes& bytes : examples) sender.Send(bytes);
  });
  const Rows rows =
      Decode(pcap, "-d udp.port==" + std::to_string(port) + ",pelmora",
             {"_ws.col.Info", "pelmora.kind", "pelmora.session",
              "pelmora.sequence", "pelmora.not_after", "pelmora.command",
              "pelmora.write.name", "pelmora.write.value", "pelmora.state",
              "pelmora.reason", "pelmora.answers", "pelmora.clock",
              "pelmora.latest", "_ws.expert.message"});
  const std::string mac = "00:11:22:33:44:55";
  const std::string nonce = "a1 b2 c3 d4 e5 f6 07 18";
  const std::string answers = "e0 28 f8 99 24 16 82 c7 72 be ed fd 4d 87 82 3f";
  const Rows expected = {
      {"command write, sequence 1, station " + mac, "0x03", nonce, "1", "5000",
       "0x01", "SP1", "42.5", "", "", "", "", "", ""},
      {"command snapshot, sequence 2, station " + mac, "0x03", nonce, "2",
       "6000", "0x02", "", "", "", "", "", "", "", ""},
      {"command fence, sequence 3, station " + mac, "0x03", nonce, "3", "7000",
       "0x03", "", "", "", "", "", "", "", ""},
      {"reply delivered, sequence 1, station " + mac, "0x04", nonce, "1", "",
       "", "", "", "0x02", "0x00", answers, "1234", "1", ""},
  };
  EXPECT_EQ(rows, expected);
}

TEST_F(Dissector, FlagsMalformedDatagrams) {
  auto changed = [](Bytes bytes, std::size_t at, std::uint8_t value) {
    bytes[at] = value;
    return bytes;
  };
  const Bytes item = GoldenItem();
  // The guide's write command and reply, cut short with their payload
  // length following.
  const std::vector<Bytes> signed_ =
      GuideExamples(PELMORA_PROTOCOL_GUIDE, {0x03, 0x04});
  ASSERT_EQ(signed_.size(), 4u);
  const Bytes& write = signed_[0];
  const Bytes& snapshot = signed_[1];
  const Bytes& reply = signed_[3];
  auto lengthened = [](Bytes bytes) {
    bytes.insert(bytes.end() - 32, 0x00);
    bytes[12] = static_cast<std::uint8_t>(bytes.size() - 32);
    return bytes;
  };
  auto shortened = [&](Bytes bytes, std::size_t by) {
    bytes.resize(bytes.size() - by);
    bytes[12] = static_cast<std::uint8_t>(bytes.size() - 32);
    return bytes;
  };
  const std::pair<Bytes, std::string> cases[] = {
      {changed(item, 12, 20),
       "Payload length 20, but 9 bytes follow the header"},
      {changed(item, 32, 9),
       "Record of 9 bytes overruns the payload: 7 bytes left"},
      {changed(item, 8, 0x05), "Unknown kind 0x05"},
      {changed(item, 5, 0x01),
       "Fixed bytes differ: expected FF FF FF FF 02 00 00 01"},
      {changed(item, 30, 0x00),
       "Fixed bytes differ: expected FF FF FF FF FF FF FF FF FF FF"},
      {BuildDatagram(0x01, {std::string(989, 'x')}), ""},
      {BuildDatagram(0x01, {std::string(990, 'x')}),
       "1024 bytes, over the 1023-byte limit"},
      {Bytes(item.begin(), item.begin() + 31),
       "31 bytes, shorter than the 32-byte header"},
      {BuildDatagram(0x02, {}), "No record after the header"},
      {shortened(write, 12), "Command of 80 bytes, shorter than 81"},
      {shortened(reply, 1), "Reply of 101 bytes, not 102"},
      {changed(write, 49, 4),
       "Write body does not end where the signature begins"},
      {lengthened(snapshot), "A snapshot takes no body"},
  };
  const std::string pcap = dir_.File("malformed.pcap");
  const int port = Capture(pcap, {"--idle-exit", "500"}, [&](int receiverPort) {
    Sender sender(static_cast<std::uint16_t>(receiverPort));
    for (const auto& [bytes, expert] : cases) sender.Send(bytes);
  });

  // The port set through the protocol's preference.
  const Rows rows = Decode(pcap, "-o pelmora.port:" + std::to_string(port),
                           {"_ws.expert.message"});
  ASSERT_EQ(rows.size(), std::size(cases));
  for (std::size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(rows[i][0], cases[i].second) << "datagram " << i;
}

}  // namespace
}  // namespace pelmora::testing
