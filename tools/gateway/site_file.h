// The site file: what the operator's page calls the stations and their
// points, and which events and values are alarms. One line per entry,
// words split by blanks, a word with blanks in double quotes (a backslash
// before a quote or a backslash inside them); '#' starts a comment line:
//
//   encoding utf-8                      (or gbk: the file's own bytes)
//   station MAC [name TEXT] [place TEXT]
//   point STATION NAME [description TEXT] [unit TEXT] [decimals N]
//         [low X] [high X] [severity S]
//   event STATION PATTERN severity S [field a|b|record]
//
// STATION is a MAC or '*' for every station; NAME and PATTERN are texts as
// the page shows them, where '*' stands for any run of characters and '?'
// for one. The encoding line comes first. Pure: reads lines, keeps rules.
#ifndef PELMORA_TOOLS_GATEWAY_SITE_FILE_H_
#define PELMORA_TOOLS_GATEWAY_SITE_FILE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "line_file.h"

namespace pelmora::gateway {

// How urgent an alarm is, the most urgent first.
enum class Severity { kCritical, kMajor, kMinor, kWarning };
inline constexpr int kSeverities = 4;
const char* SeverityName(Severity severity);

// One point line: what the page shows with a point whose decoded name it
// matches, and the limits beyond which the point is in alarm.
struct PointRule {
  int line = 0;
  std::string station;  // a MAC, or "*"
  std::string name;     // UTF-8; a pattern when it holds '*' or '?'
  std::string description;
  std::string unit;
  int decimals = -1;  // -1: as sent
  std::optional<double> low;
  std::optional<double> high;
  Severity severity = Severity::kWarning;  // of its limit alarms
};

// One event line: an event whose field matches the pattern is an alarm.
struct EventRule {
  enum class Field { kA, kB, kRecord };
  int line = 0;
  std::string station;
  std::string pattern;
  Field field = Field::kA;
  Severity severity = Severity::kWarning;
};

struct StationNames {
  std::string name;
  std::string place;
};

class SiteFile {
 public:
  // The file's lines as ReadContentLines() gives them; false with
  // "line N: why" for the first line at fault.
  static bool Parse(const std::vector<wire::FileLine>& lines, SiteFile* site,
                    std::string* error);
  // The file at `path`; false with "PATH: line N: why", or why it cannot
  // be read.
  static bool Load(const std::string& path, SiteFile* site, std::string* error);

  // The station's names, if the file gives any.
  const StationNames* Station(const std::string& mac) const;
  // The point line for a point of `mac` whose decoded name is `name`: an
  // exact name wins over a pattern, a line for the station over one for
  // every station, and then the first line in the file.
  const PointRule* PointOf(const std::string& mac, std::string_view name) const;
  // The first event line, in file order, that the event of `mac` with the
  // decoded fields `a` and `b` matches.
  const EventRule* EventOf(const std::string& mac, std::string_view a,
                           std::string_view b) const;

  std::size_t stations() const { return stations_.size(); }
  std::size_t point_rules() const { return points_.size(); }
  std::size_t event_rules() const { return events_.size(); }

 private:
  std::map<std::string, StationNames> stations_;
  std::vector<PointRule> points_;
  // Exact names by (station, name), to the index in points_.
  std::map<std::pair<std::string, std::string>, std::size_t> exact_;
  std::vector<std::size_t> patterns_;
  std::vector<EventRule> events_;
};

// Whether UTF-8 `text` matches `pattern`: '*' any run of characters, '?'
// one character, anything else itself.
bool GlobMatches(std::string_view pattern, std::string_view text);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SITE_FILE_H_
