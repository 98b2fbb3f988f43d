// What the server-side tools share of their start and stop: settings by
// key, taken alike from the command line ("--port 7000", "--json") and from
// a config file ("port = 7000", "json = true"), and the stop signals.
#ifndef PELMORA_TOOLS_WIRE_TOOL_OPTIONS_H_
#define PELMORA_TOOLS_WIRE_TOOL_OPTIONS_H_

#include <charconv>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora::wire {

// Applies one setting to the tool's options; false with the reason in
// `error` when the key is unknown or the value bad.
using ApplySetting = std::function<bool(
    std::string_view key, std::string_view value, std::string* error)>;

struct ToolCommandLine {
  const char* program;  // leads every complaint: "pelmora-recv"
  const char* usage;    // printed for --help and -h
  // Keys that take no value on the command line: "--json" is "json = true".
  std::vector<std::string_view> flags;
  // Whether "--config FILE" reads settings from FILE, before the command
  // line's, which override them whatever their order.
  bool configFile = false;
  // Whether words that are no option ("write NAME VALUE") are taken: each
  // is applied, in order, as the value of the empty key. Without it, such a
  // word is a bad command line.
  bool words = false;
};

// Applies the config file's settings, then the command line's, each in
// order. False when the tool should not run: after --help (`exitStatus` 0),
// or for a bad command line or config file (2, with the reason on stderr).
bool ParseToolOptions(const ToolCommandLine& tool, int argc, char** argv,
                      const ApplySetting& apply, int* exitStatus);

// 'key = value' lines, blanks around either ignored, '#' comment lines and
// blank lines skipped. False at the first bad line, `error` naming the file
// and the line.
bool ReadSettingsFile(const std::string& path, const ApplySetting& apply,
                      std::string* error);

// Decimal digits only, no sign, within [low, high].
template <typename Int>
bool ParseNumber(std::string_view text, Int low, Int high, Int* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  Int value{};
  const char* end = text.data() + text.size();
  const auto [stop, failure] = std::from_chars(text.data(), end, value);
  if (failure != std::errc() || stop != end || value < low || value > high)
    return false;
  *out = value;
  return true;
}

// "true", "yes", "1" or "false", "no", "0".
bool ParseSwitch(std::string_view text, bool* on);

// "bad value for KEY: VALUE", the complaint for a value Apply refuses.
std::string BadValue(std::string_view key, std::string_view value);

// SIGINT and SIGTERM from now on only set the stop request that the tool's
// loop polls. On POSIX a signal also cuts a wait in poll() short; on Windows
// Ctrl+C is handled on a thread of its own, so the loop sees it at its next
// wake-up.
void CatchStopSignals();
bool StopRequested();

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_TOOL_OPTIONS_H_
