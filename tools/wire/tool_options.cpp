#include "tool_options.h"

#include <csignal>
#include <cstdio>
#include <utility>

#include "line_file.h"

namespace pelmora::wire {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

}  // namespace

bool ParseToolOptions(const ToolCommandLine& tool, int argc, char** argv,
                      const ApplySetting& apply, int* exitStatus) {
  *exitStatus = 2;
  std::vector<std::pair<std::string_view, std::string_view>> settings;
  std::string configPath;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(tool.usage, stdout);
      *exitStatus = 0;
      return false;
    }
    if (tool.words && option.substr(0, 2) != "--") {
      settings.emplace_back("", option);
      continue;
    }
    if (option.substr(0, 2) != "--" || option.size() == 2) {
      std::fprintf(stderr, "%s: unexpected %s\n%s", tool.program, argv[i],
                   tool.usage);
      return false;
    }
    const std::string_view key = option.substr(2);
    bool flag = false;
    for (const std::string_view known : tool.flags) flag = flag || key == known;
    if (flag) {
      settings.emplace_back(key, "true");
      continue;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "%s: %s needs a value\n", tool.program, argv[i]);
      return false;
    }
    if (tool.configFile && key == "config") {
      configPath = argv[++i];
    } else {
      settings.emplace_back(key, argv[++i]);
    }
  }
  std::string error;
  if (!configPath.empty() && !ReadSettingsFile(configPath, apply, &error)) {
    std::fprintf(stderr, "%s: %s\n", tool.program, error.c_str());
    return false;
  }
  for (const auto& [key, value] : settings) {
    if (!apply(key, value, &error)) {
      std::fprintf(stderr, "%s: %s\n", tool.program, error.c_str());
      return false;
    }
  }
  return true;
}

bool ReadSettingsFile(const std::string& path, const ApplySetting& apply,
                      std::string* error) {
  const std::optional<std::vector<FileLine>> lines = ReadContentLines(path);
  if (!lines) {
    *error = "cannot read " + path;
    return false;
  }
  for (const FileLine& line : *lines) {
    const std::string_view text = line.text;
    const std::size_t equals = text.find('=');
    const std::string at = path + ":" + std::to_string(line.number) + ": ";
    if (equals == std::string_view::npos) {
      *error = at + "no '='";
      return false;
    }
    if (!apply(TrimBlanks(text.substr(0, equals)),
               TrimBlanks(text.substr(equals + 1)), error)) {
      *error = at + *error;
      return false;
    }
  }
  return true;
}

bool ParseSwitch(std::string_view text, bool* on) {
  if (text == "true" || text == "yes" || text == "1") {
    *on = true;
  } else if (text == "false" || text == "no" || text == "0") {
    *on = false;
  } else {
    return false;
  }
  return true;
}

std::string BadValue(std::string_view key, std::string_view value) {
  return "bad value for " + std::string(key) + ": " + std::string(value);
}

void CatchStopSignals() {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

bool StopRequested() { return stopRequested != 0; }

}  // namespace pelmora::wire
