// pelmora-host: a host program that loads the plug-in by path and drives it
// through its six exports with a script of commands, as a monitoring host
// would. Used by the integration tests and the demo.
//
//   pelmora-host LIBRARY COMMAND...      commands as arguments
//   pelmora-host LIBRARY --script FILE   one command per line
//
// Commands:
//   init | uninit | settings | callback
//                            (uninit prints how long UninitService took;
//                            callback registers a write callback that
//                            prints "callback NAME VALUE" for each call,
//                            every byte outside '!'..'~' and the backslash
//                            written \xNN, so that the line shows exactly
//                            what the host got)
//   update NAME VALUE        push one point value
//   event A B                push one event
//   events A COUNT           push COUNT events at once: A|0 .. A|COUNT-1
//   sleep MS
//   waitfor FILE MS          wait until FILE exists, up to MS; prints
//                            "waited FILE" or "waitfor timed out FILE"
//   waitcallbacks N MS       wait until the write callback has had N calls
//                            in all, up to MS; prints "callbacks N" with
//                            the count it saw
//   round PREFIX COUNT VALUE push PREFIX0..PREFIX<COUNT-1>, all with VALUE
//   scan POINTS ROUNDS PERIOD_MS
//                            a synthetic host: POINTS points pushed every
//                            round; from the second round on every 7th
//                            point changes and one event is raised
//   threads COUNT POINTS ROUNDS PERIOD_MS
//                            COUNT host threads at once, each a scan of
//                            POINTS points of its own named T<thread>P0000
//                            and on; returns when all have ended
//   replay FILE PERIOD_MS    recorded rounds: FILE is a CSV with one row
//                            per point, its name and then its value in
//                            round 1, 2, ...; each round pushes the row's
//                            value for every point in row order, then
//                            sleeps PERIOD_MS. Commas separate fields; a
//                            field in "..." may hold commas, line ends and
//                            "" for a quote; bytes pass as they are (GBK).
//                            CRLF or LF. A first row starting with # is a
//                            header. An empty field, or one missing from a
//                            short row, skips the point in that round; ""
//                            pushes an empty value. Progress goes to stderr.
//   dump FILE                write the last value pushed for each point,
//                            "name|value" lines sorted by name
//   stackcheck               call the stdcall exports through stdcall
//                            pointers and report how the stack moved
//   nulls                    push a value and an event with null texts,
//                            as a careless host might
//   resources                print "resources files F threads T": this
//                            process's open file descriptors and threads
//                            (Linux only)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "scan_csv.h"

namespace {

using pelmora::host::Exports;

// Every host thread's pushes, for dump.
std::mutex lastPushedLock;
std::map<std::string, std::string> lastPushed;

// The text with spaces, control and 8-bit bytes and the backslash as \xNN.
std::string Escaped(const char* text) {
  std::string shown;
  for (; *text != '\0'; ++text) {
    const auto byte = static_cast<unsigned char>(*text);
    if (byte > 0x20 && byte < 0x7F && byte != '\\') {
      shown += static_cast<char>(byte);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      shown += hex;
    }
  }
  return shown;
}

// The write callback's calls so far.
std::atomic<int> callbacks{0};

void PELMORA_STDCALL PrintWriteCommand(const char* name, const char* value) {
  std::printf("callback %s %s\n", Escaped(name).c_str(),
              Escaped(value).c_str());
  std::fflush(stdout);
  ++callbacks;
}

void Update(const Exports& e, const std::string& name,
            const std::string& value) {
  e.UpdateItem(name.c_str(), value.c_str());
  std::lock_guard<std::mutex> hold(lastPushedLock);
  lastPushed[name] = value;
}

// Points PREFIX0000 and on; see the scan command.
void Scan(const Exports& e, const std::string& prefix, int points, int rounds,
          int periodMs) {
  char name[32], value[32];
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < points; ++i) {
      std::snprintf(name, sizeof name, "%s%04d", prefix.c_str(), i);
      // A point keeps the value of the round it last changed in.
      const int changed = round - (round + 7 - i % 7) % 7;
      std::snprintf(value, sizeof value, "%d.%d", i, changed > 0 ? changed : 0);
      Update(e, name, value);
    }
    if (round > 0) {
      std::snprintf(value, sizeof value, "round %d", round);
      e.SendEventEx("scan", value);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
  }
}

// Rounds of a scan recorded as CSV (see scan_csv.h); false, with the reason
// on stderr, if the file cannot be read.
bool Replay(const Exports& e, const std::string& file, int periodMs) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "pelmora-host: replay: cannot open %s\n",
                 file.c_str());
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  pelmora::host::ScanTable table;
  std::string error;
  if (!pelmora::host::ParseScanCsv(text.str(), &table, &error)) {
    std::fprintf(stderr, "pelmora-host: replay: %s: %s\n", file.c_str(),
                 error.c_str());
    return false;
  }
  using Clock = std::chrono::steady_clock;
  // A few progress lines a second at most, on stderr, so that stdout carries
  // only the commands' results.
  Clock::time_point shown;
  for (std::size_t round = 0; round < table.rounds; ++round) {
    if (round + 1 == table.rounds ||
        Clock::now() - shown >= std::chrono::milliseconds(250)) {
      std::fprintf(stderr, "\rreplay: round %lu/%lu",
                   static_cast<unsigned long>(round + 1),
                   static_cast<unsigned long>(table.rounds));
      std::fflush(stderr);
      shown = Clock::now();
    }
    for (const pelmora::host::ScanRow& row : table.rows) {
      if (round < row.values.size() && row.values[round])
        Update(e, row.name, *row.values[round]);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
  }
  if (table.rounds > 0) std::fprintf(stderr, "\n");
  return true;
}

bool Dump(const std::string& file) {
  std::ofstream out(file, std::ios::binary);
  for (const auto& [name, value] : lastPushed)
    out << name << '|' << value << '\n';
  return static_cast<bool>(out);
}

void StackCheck(const Exports& e) {
  using pelmora::host::StackDeltaOfStdcall;
  std::printf(
      "stack UpdateItem %d\n",
      StackDeltaOfStdcall(reinterpret_cast<void*>(e.UpdateItem), "S", "1", 2));
  std::printf(
      "stack SendEventEx %d\n",
      StackDeltaOfStdcall(reinterpret_cast<void*>(e.SendEventEx), "a", "b", 2));
  std::printf("stack SetWriteCallback %d\n",
              StackDeltaOfStdcall(reinterpret_cast<void*>(e.SetWriteCallback),
                                  reinterpret_cast<void*>(&PrintWriteCommand),
                                  nullptr, 1));
}

// Runs one command starting at words[*at]; false on a malformed script.
bool Run(const Exports& e, const std::vector<std::string>& words,
         std::size_t* at) {
  auto arg = [&](std::size_t k) -> const std::string& {
    return words[*at + k];
  };
  auto need = [&](std::size_t n) { return *at + n < words.size(); };
  const std::string& verb = arg(0);
  std::size_t used = 1;
  if (verb == "init") {
    std::printf("init %d\n", e.InitService());
  } else if (verb == "uninit") {
    const auto start = std::chrono::steady_clock::now();
    e.UninitService();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("uninit %lld ms\n", static_cast<long long>(took.count()));
  } else if (verb == "settings") {
    e.DoSettings();
    std::printf("settings closed\n");
  } else if (verb == "callback") {
    std::printf("callback registered %d\n",
                e.SetWriteCallback(&PrintWriteCommand));
  } else if (verb == "update" && need(2)) {
    Update(e, arg(1), arg(2));
    used = 3;
  } else if (verb == "event" && need(2)) {
    e.SendEventEx(arg(1).c_str(), arg(2).c_str());
    used = 3;
  } else if (verb == "events" && need(2)) {
    const int count = std::atoi(arg(2).c_str());
    for (int i = 0; i < count; ++i)
      e.SendEventEx(arg(1).c_str(), std::to_string(i).c_str());
    used = 3;
  } else if (verb == "sleep" && need(1)) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::atoi(arg(1).c_str())));
    used = 2;
  } else if (verb == "waitfor" && need(2)) {
    // Lets a test hold the host running until it has seen what it waits for.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(std::atoi(arg(2).c_str()));
    bool found = false;
    while (!(found = std::ifstream(arg(1)).good()) &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf(found ? "waited %s\n" : "waitfor timed out %s\n",
                arg(1).c_str());
    used = 3;
  } else if (verb == "waitcallbacks" && need(2)) {
    const int wanted = std::atoi(arg(1).c_str());
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(std::atoi(arg(2).c_str()));
    while (callbacks < wanted && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf("callbacks %d\n", callbacks.load());
    used = 3;
  } else if (verb == "round" && need(3)) {
    const int count = std::atoi(arg(2).c_str());
    for (int i = 0; i < count; ++i)
      Update(e, arg(1) + std::to_string(i), arg(3));
    used = 4;
  } else if (verb == "scan" && need(3)) {
    Scan(e, "P", std::atoi(arg(1).c_str()), std::atoi(arg(2).c_str()),
         std::atoi(arg(3).c_str()));
    used = 4;
  } else if (verb == "threads" && need(4)) {
    std::vector<std::thread> scans;
    for (int t = 0; t < std::atoi(arg(1).c_str()); ++t) {
      scans.emplace_back(Scan, std::cref(e), "T" + std::to_string(t) + "P",
                         std::atoi(arg(2).c_str()), std::atoi(arg(3).c_str()),
                         std::atoi(arg(4).c_str()));
    }
    for (std::thread& scan : scans) scan.join();
    used = 5;
  } else if (verb == "replay" && need(2)) {
    if (!Replay(e, arg(1), std::atoi(arg(2).c_str()))) return false;
    used = 3;
  } else if (verb == "dump" && need(1)) {
    if (!Dump(arg(1))) return false;
    used = 2;
  } else if (verb == "stackcheck") {
    StackCheck(e);
  } else if (verb == "nulls") {
    e.UpdateItem(nullptr, nullptr);
    e.UpdateItem("N", nullptr);
    e.SendEventEx(nullptr, nullptr);
    std::printf("nulls survived\n");
  } else if (verb == "resources") {
    int files, threads;
    if (!pelmora::host::CountResources(&files, &threads)) {
      std::fprintf(stderr, "pelmora-host: no resource counts here\n");
      return false;
    }
    std::printf("resources files %d threads %d\n", files, threads);
  } else {
    std::fprintf(stderr, "pelmora-host: bad command '%s'\n", verb.c_str());
    return false;
  }
  std::fflush(stdout);
  *at += used;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: pelmora-host LIBRARY (COMMAND... | --script FILE)\n");
    return 2;
  }
  std::vector<std::string> words;
  if (argc == 4 && std::string(argv[2]) == "--script") {
    std::ifstream script(argv[3]);
    std::string word;
    while (script >> word) words.push_back(word);
  } else {
    words.assign(argv + 2, argv + argc);
  }
  Exports exports;
  std::string error;
  if (!pelmora::host::Load(argv[1], &exports, &error)) {
    std::fprintf(stderr, "pelmora-host: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  for (std::size_t at = 0; at < words.size();) {
    if (!Run(exports, words, &at)) return 2;
  }
  pelmora::host::Unload();
  return 0;
}
