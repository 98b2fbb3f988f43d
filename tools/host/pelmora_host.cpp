// pelmora-host: a host program that loads the plug-in by path and drives it
// through its six exports with a script of commands, as a monitoring host
// would. Used by the integration tests and the demo.
//
//   pelmora-host LIBRARY COMMAND...      commands as arguments
//   pelmora-host LIBRARY --script FILE   one command per line
//
// Commands:
//   init | uninit | settings | callback
//   update NAME VALUE        push one point value
//   event A B                push one event
//   sleep MS
//   round PREFIX COUNT VALUE push PREFIX0..PREFIX<COUNT-1>, all with VALUE
//   scan POINTS ROUNDS PERIOD_MS
//                            a synthetic host: POINTS points pushed every
//                            round; from the second round on every 7th
//                            point changes and one event is raised
//   dump FILE                write the last value pushed for each point,
//                            "name|value" lines sorted by name
//   stackcheck               call the stdcall exports through stdcall
//                            pointers and report how the stack moved
//   nulls                    push a value and an event with null texts,
//                            as a careless host might
//   resources                print "resources files F threads T": this
//                            process's open file descriptors and threads
//                            (Linux only)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "library.h"

namespace {

using pelmora::host::Exports;

std::map<std::string, std::string> lastPushed;

void PELMORA_STDCALL PrintWriteCommand(const char* name, const char* value) {
  std::printf("callback %s %s\n", name, value);
  std::fflush(stdout);
}

void Update(const Exports& e, const std::string& name,
            const std::string& value) {
  e.UpdateItem(name.c_str(), value.c_str());
  lastPushed[name] = value;
}

void Scan(const Exports& e, int points, int rounds, int periodMs) {
  char name[32], value[32];
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < points; ++i) {
      std::snprintf(name, sizeof name, "P%04d", i);
      const bool changes = round > 0 && i % 7 == round % 7;
      std::snprintf(value, sizeof value, "%d.%d", i, changes ? round : 0);
      Update(e, name,
             lastPushed.count(name) && !changes ? lastPushed[name] : value);
    }
    if (round > 0) {
      std::snprintf(value, sizeof value, "round %d", round);
      e.SendEventEx("scan", value);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
  }
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
    e.UninitService();
    std::printf("uninit\n");
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
  } else if (verb == "sleep" && need(1)) {
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::atoi(arg(1).c_str())));
    used = 2;
  } else if (verb == "round" && need(3)) {
    const int count = std::atoi(arg(2).c_str());
    for (int i = 0; i < count; ++i)
      Update(e, arg(1) + std::to_string(i), arg(3));
    used = 4;
  } else if (verb == "scan" && need(3)) {
    Scan(e, std::atoi(arg(1).c_str()), std::atoi(arg(2).c_str()),
         std::atoi(arg(3).c_str()));
    used = 4;
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
