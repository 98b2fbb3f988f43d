#include "support/wine_target.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace pelmora::testing {
namespace {

const char kScripts[] = PELMORA_SOURCE_DIR "/scripts/";

WineTarget Select() {
  WineTarget target;
  const char* build = std::getenv("PELMORA_WINE_BUILD");
  const char* reason = std::getenv("PELMORA_WINE_REASON");
  std::string answer;
  if (build && *build) {
    answer = std::string(build) + " " + (reason ? reason : "");
  } else if (FILE* pipe =
                 ::popen((ShellQuote(std::string(kScripts) + "wine-target.sh") +
                          " 2>/dev/null")
                             .c_str(),
                         "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) answer += line;
    ::pclose(pipe);
  }
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r'))
    answer.pop_back();
  const std::size_t space = answer.find(' ');
  const std::string name = answer.substr(0, space);
  target.reason = space == std::string::npos ? "" : answer.substr(space + 1);
  if (name == "win32" || name == "win64") {
    const std::string tree =
        name == "win32" ? PELMORA_WIN32_DIR : PELMORA_WIN64_DIR;
    const std::string missing = WindowsTreeMissing(name, tree);
    if (missing.empty()) {
      target.tree = tree;
      target.build = name;
    } else {
      target.reason = missing + "; " + target.reason;
    }
  } else if (answer.empty()) {
    target.reason = "scripts/wine-target.sh gave no answer";
  }
  return target;
}

}  // namespace

std::string WindowsTreeMissing(const std::string& build,
                               const std::string& tree) {
  if (tree.empty()) return "the " + build + " tree is not configured here";
  if (!std::filesystem::exists(tree + "/src/pelmora.dll")) {
    return "the " + build + " tree is not built here (cmake --build --preset " +
           build + ")";
  }
  return "";
}

std::string WineTarget::Command(const std::string& program) const {
  return ShellQuote(std::string(kScripts) + "wine-run.sh") + " " + build + " " +
         ShellQuote(program);
}

const WineTarget& SelectedWineTarget() {
  static const WineTarget target = Select();
  return target;
}

std::string ShellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ShellResult RunShell(const std::string& command, int limitSeconds) {
  ShellResult result;
  const std::string run = limitSeconds > 0
                              ? "timeout -k 5 " + std::to_string(limitSeconds) +
                                    " /bin/sh -c " + ShellQuote(command)
                              : command;
  FILE* pipe = ::popen(run.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    for (std::size_t i = 0; i < n; ++i)
      if (chunk[i] != '\r') result.output += chunk[i];
  }
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace pelmora::testing
