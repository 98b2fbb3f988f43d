// pelmora-recv: listens where the plug-in sends and shows each datagram, so
// operators can check a link and server implementers can see the traffic their
// server must handle.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "datagram.h"
#include "pcap_writer.h"
#include "recv_options.h"
#include "recv_output.h"
#include "stations.h"
#include "tool_options.h"
#include "udp_receiver.h"

namespace {

using pelmora::recv::RecvOptions;
using Clock = std::chrono::steady_clock;

// Bounds how long a signal arriving just before the wait can go unnoticed.
constexpr int kMaxWaitMs = 200;
// The live table is redrawn at most this often while datagrams arrive, and
// at least once a second so that its clock and ages keep moving.
constexpr std::int64_t kLiveFrameMs = 250;
constexpr std::int64_t kLiveRefreshMs = 1000;

std::int64_t MillisecondsSince(Clock::time_point start, Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  RecvOptions options;
  int exitStatus = 0;
  if (!pelmora::recv::ParseRecvOptions(argc, argv, &options, &exitStatus))
    return exitStatus;
  pelmora::recv::PrepareConsole(options);
  pelmora::wire::CatchStopSignals();

  pelmora::wire::UdpReceiver receiver;
  std::string error;
  if (!receiver.Open(options.bindAddress, options.port, &error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr,
               "pelmora-recv: listening on %s:%u (receive buffer %d bytes)\n",
               options.bindAddress.c_str(), receiver.port(),
               receiver.receive_buffer_bytes());
  pelmora::recv::PcapWriter capture;
  if (!options.pcapPath.empty() && !capture.Open(options.pcapPath, &error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }

  pelmora::recv::StationSet stations;
  std::uint64_t wellFormed = 0;
  bool anyArrived = false;
  const Clock::time_point start = Clock::now();
  Clock::time_point lastArrival = start;
  // Due at once, so that the empty table shows before anything arrives.
  Clock::time_point lastFrame =
      start - std::chrono::milliseconds(kLiveRefreshMs);
  bool changedSinceFrame = false;
  std::vector<std::uint8_t> bytes;
  pelmora::wire::Endpoint sender;

  while (!pelmora::wire::StopRequested()) {
    if (options.count != 0 && wellFormed >= options.count) break;
    const Clock::time_point now = Clock::now();
    std::int64_t waitMs = kMaxWaitMs;
    if (options.durationMs != 0) {
      const std::int64_t left =
          options.durationMs - MillisecondsSince(start, now);
      if (left <= 0) break;
      waitMs = std::min(waitMs, left);
    }
    if (options.idleExitMs != 0 && anyArrived) {
      const std::int64_t left =
          options.idleExitMs - MillisecondsSince(lastArrival, now);
      if (left <= 0) break;
      waitMs = std::min(waitMs, left);
    }
    if (options.live) {
      const std::int64_t sinceFrame = MillisecondsSince(lastFrame, now);
      if ((changedSinceFrame && sinceFrame >= kLiveFrameMs) ||
          sinceFrame >= kLiveRefreshMs) {
        pelmora::recv::DrawLiveTable(options, stations);
        lastFrame = now;
        changedSinceFrame = false;
      } else if (changedSinceFrame) {
        waitMs = std::min(waitMs, kLiveFrameMs - sinceFrame);
      }
    }

    // Output goes out in one write per burst rather than per datagram, and
    // still promptly to a pipe whenever the socket runs dry.
    if (!receiver.Receive(&bytes, 0, &sender)) {
      std::fflush(stdout);
      capture.Flush();
      if (!receiver.Receive(&bytes, static_cast<int>(waitMs), &sender))
        continue;
    }
    anyArrived = true;
    changedSinceFrame = true;
    lastArrival = Clock::now();
    const auto arrivedAt = pelmora::recv::WallClock::now();
    capture.Write(sender, receiver.local(), bytes, arrivedAt);

    pelmora::wire::Datagram datagram;
    pelmora::wire::SignedDatagram signedDatagram;
    pelmora::wire::Malformed reason;
    if (pelmora::wire::ParseDatagram(bytes.data(), bytes.size(), &datagram,
                                     &error, &reason)) {
      ++wellFormed;
      stations.Apply(datagram, sender, arrivedAt);
      pelmora::recv::PrintDatagram(options, datagram, bytes.size());
    } else if (reason == pelmora::wire::Malformed::kUnknownKind &&
               pelmora::wire::ParseSignedDatagram(bytes.data(), bytes.size(),
                                                  &signedDatagram, &error)) {
      // A station with a command key answers its server; its replies are
      // shown, not counted among the points' datagrams.
      pelmora::recv::PrintSigned(options, signedDatagram, bytes.size());
    } else {
      stations.CountMalformed(sender);
      pelmora::recv::PrintMalformed(options, bytes, error);
    }
  }

  if (options.live) pelmora::recv::DrawLiveTable(options, stations);
  pelmora::recv::PrintSummary(options, stations);
  std::fflush(stdout);
  if (!capture.Close(&error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }
  if (!options.mirrorPath.empty() &&
      !pelmora::recv::WriteMirror(options.mirrorPath, stations)) {
    return 1;
  }
  return 0;
}
