#include "site_file.h"

#include <array>
#include <initializer_list>

#include "code_page.h"
#include "datagram.h"
#include "number_text.h"
#include "tool_options.h"
#include "utf8.h"

namespace pelmora::gateway {

namespace {

constexpr Severity kAllSeverities[] = {Severity::kCritical, Severity::kMajor,
                                       Severity::kMinor, Severity::kWarning};

bool ParseSeverity(std::string_view text, Severity* severity) {
  for (const Severity known : kAllSeverities) {
    if (text == SeverityName(known)) {
      *severity = known;
      return true;
    }
  }
  return false;
}

bool WellFormedUtf8(std::string_view text) {
  while (!text.empty()) {
    char32_t code = 0;
    const std::size_t taken = wire::ReadUtf8(text, &code);
    if (taken == 0) return false;
    text.remove_prefix(taken);
  }
  return true;
}

// The line's words: split at blanks, a quoted word taken whole with its
// escapes undone. False with why for a quote left open or a stray escape.
bool SplitWords(std::string_view line, std::vector<std::string>* words,
                std::string* why) {
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) return true;
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        const char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (i == line.size() || (line[i] != '"' && line[i] != '\\')) {
            *why = "only \\\" and \\\\ may follow a backslash";
            return false;
          }
          word.push_back(line[i++]);
        } else {
          word.push_back(c);
        }
      }
      if (!closed) {
        *why = "a quote is not closed";
        return false;
      }
      if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
        *why = "a blank must follow a closing quote";
        return false;
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t')
        word.push_back(line[i++]);
    }
    words->push_back(std::move(word));
  }
}

bool ParseStationWord(std::string_view word, std::string* station) {
  std::array<std::uint8_t, 6> mac{};
  if (word == "*") {
    *station = "*";
    return true;
  }
  if (!wire::ParseMacText(word, &mac)) return false;
  *station = wire::MacText(mac);
  return true;
}

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

// The settings after a line's fixed words, "key value" pairs, each key at
// most once and one of `known`.
bool ReadSettings(const std::vector<std::string>& words, std::size_t from,
                  std::initializer_list<std::string_view> known,
                  std::map<std::string, std::string>* settings,
                  std::string* why) {
  for (std::size_t i = from; i < words.size(); i += 2) {
    bool isKnown = false;
    for (const std::string_view key : known) isKnown |= words[i] == key;
    if (!isKnown) {
      *why = "unknown setting " + words[i];
      return false;
    }
    if (i + 1 == words.size()) {
      *why = words[i] + " needs a value";
      return false;
    }
    if (!settings->emplace(words[i], words[i + 1]).second) {
      *why = words[i] + " given twice";
      return false;
    }
  }
  return true;
}

bool ParsePointLine(const std::vector<std::string>& words, PointRule* rule,
                    std::string* why) {
  if (words.size() < 3 || !ParseStationWord(words[1], &rule->station)) {
    *why = "a point line is: point MAC|* NAME [settings]";
    return false;
  }
  rule->name = words[2];
  std::map<std::string, std::string> settings;
  if (!ReadSettings(
          words, 3,
          {"description", "unit", "decimals", "low", "high", "severity"},
          &settings, why)) {
    return false;
  }
  for (const auto& [key, value] : settings) {
    double number = 0;
    if (key == "description") {
      rule->description = value;
    } else if (key == "unit") {
      rule->unit = value;
    } else if (key == "decimals") {
      long decimals = 0;
      if (!wire::ParseNumber<long>(value, 0, 9, &decimals)) {
        *why = "decimals is 0 to 9: " + value;
        return false;
      }
      rule->decimals = static_cast<int>(decimals);
    } else if (key == "severity") {
      if (!ParseSeverity(value, &rule->severity)) {
        *why = "no such severity: " + value;
        return false;
      }
    } else if (!wire::ParseDecimalNumber(value, &number)) {
      *why = key + " is a decimal number: " + value;
      return false;
    } else {
      (key == "low" ? rule->low : rule->high) = number;
    }
  }
  if (rule->low && rule->high && *rule->low > *rule->high) {
    *why = "low is above high";
    return false;
  }
  return true;
}

bool ParseEventLine(const std::vector<std::string>& words, EventRule* rule,
                    std::string* why) {
  if (words.size() < 3 || !ParseStationWord(words[1], &rule->station) ||
      words[2].empty()) {
    *why = "an event line is: event MAC|* PATTERN severity S [field F]";
    return false;
  }
  rule->pattern = words[2];
  std::map<std::string, std::string> settings;
  if (!ReadSettings(words, 3, {"severity", "field"}, &settings, why))
    return false;
  const auto severity = settings.find("severity");
  if (severity == settings.end()) {
    *why = "an event line needs its severity";
    return false;
  }
  if (!ParseSeverity(severity->second, &rule->severity)) {
    *why = "no such severity: " + severity->second;
    return false;
  }
  const auto field = settings.find("field");
  if (field != settings.end()) {
    if (field->second == "a") {
      rule->field = EventRule::Field::kA;
    } else if (field->second == "b") {
      rule->field = EventRule::Field::kB;
    } else if (field->second == "record") {
      rule->field = EventRule::Field::kRecord;
    } else {
      *why = "field is a, b or record: " + field->second;
      return false;
    }
  }
  return true;
}

}  // namespace

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kCritical:
      return "critical";
    case Severity::kMajor:
      return "major";
    case Severity::kMinor:
      return "minor";
    case Severity::kWarning:
      break;
  }
  return "warning";
}

bool GlobMatches(std::string_view pattern, std::string_view text) {
  // The last '*' and where the text stood when it was met: on a mismatch,
  // that star takes one more character and the rest is tried again.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  auto charLength = [](std::string_view rest) {
    char32_t code = 0;
    const std::size_t taken = wire::ReadUtf8(rest, &code);
    return taken == 0 ? std::size_t{1} : taken;
  };
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = ++p;
      resume = t;
      continue;
    }
    if (p < pattern.size()) {
      const std::size_t length = charLength(text.substr(t));
      if (pattern[p] == '?') {
        ++p;
        t += length;
        continue;
      }
      const std::size_t patternLength = charLength(pattern.substr(p));
      if (pattern.substr(p, patternLength) == text.substr(t, length)) {
        p += patternLength;
        t += length;
        continue;
      }
    }
    if (star == std::string_view::npos) return false;
    p = star;
    resume += charLength(text.substr(resume));
    t = resume;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool SiteFile::Parse(const std::vector<wire::FileLine>& lines, SiteFile* site,
                     std::string* error) {
  *site = SiteFile();
  bool gbk = false;
  bool encodingSaid = false;
  for (const wire::FileLine& line : lines) {
    std::string why;
    std::string text = line.text;
    if (encodingSaid && gbk) {
      bool exact = false;
      text = wire::GbkToUtf8(line.text, &exact);
      if (!exact) why = "a byte here starts no GBK character";
    } else if (!WellFormedUtf8(text)) {
      why = encodingSaid ? "a byte here is no UTF-8"
                         : "the file must say its encoding first";
    }
    std::vector<std::string> words;
    if (why.empty() && SplitWords(text, &words, &why) && !words.empty()) {
      const std::string& kind = words[0];
      if (!encodingSaid) {
        if (kind != "encoding" || words.size() != 2 ||
            (words[1] != "utf-8" && words[1] != "gbk")) {
          why =
              "the file must say its encoding first: encoding utf-8, or "
              "encoding gbk";
        } else {
          encodingSaid = true;
          gbk = words[1] == "gbk";
        }
      } else if (kind == "encoding") {
        why = "the encoding is said once, first";
      } else if (kind == "station") {
        std::string mac;
        std::map<std::string, std::string> settings;
        if (words.size() < 2 || words[1] == "*" ||
            !ParseStationWord(words[1], &mac)) {
          why = "a station line is: station MAC [name TEXT] [place TEXT]";
        } else if (site->stations_.count(mac) != 0) {
          why = "station " + mac + " is named twice";
        } else if (ReadSettings(words, 2, {"name", "place"}, &settings, &why)) {
          site->stations_[mac] = {settings["name"], settings["place"]};
        }
      } else if (kind == "point") {
        PointRule rule;
        rule.line = line.number;
        if (ParsePointLine(words, &rule, &why)) {
          const std::size_t index = site->points_.size();
          if (HasWildcard(rule.name)) {
            site->patterns_.push_back(index);
          } else if (!site->exact_
                          .emplace(std::make_pair(rule.station, rule.name),
                                   index)
                          .second) {
            why = "point " + rule.name + " is set twice for " + rule.station;
          }
          if (why.empty()) site->points_.push_back(std::move(rule));
        }
      } else if (kind == "event") {
        EventRule rule;
        rule.line = line.number;
        if (ParseEventLine(words, &rule, &why))
          site->events_.push_back(std::move(rule));
      } else {
        why = "unknown line " + kind + " (station, point or event)";
      }
    }
    if (!why.empty()) {
      *error = "line " + std::to_string(line.number) + ": " + why;
      return false;
    }
  }
  if (!encodingSaid) {
    *error = "the file must say its encoding first";
    return false;
  }
  return true;
}

bool SiteFile::Load(const std::string& path, SiteFile* site,
                    std::string* error) {
  const auto lines = wire::ReadContentLines(path);
  if (!lines) {
    *error = "cannot read " + path;
    return false;
  }
  if (!Parse(*lines, site, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

const StationNames* SiteFile::Station(const std::string& mac) const {
  const auto found = stations_.find(mac);
  return found == stations_.end() ? nullptr : &found->second;
}

const PointRule* SiteFile::PointOf(const std::string& mac,
                                   std::string_view name) const {
  for (const std::string& station : {mac, std::string("*")}) {
    const auto exact = exact_.find({station, std::string(name)});
    if (exact != exact_.end()) return &points_[exact->second];
  }
  const PointRule* any = nullptr;
  for (const std::size_t index : patterns_) {
    const PointRule& rule = points_[index];
    if ((rule.station != mac && (rule.station != "*" || any != nullptr)) ||
        !GlobMatches(rule.name, name)) {
      continue;
    }
    if (rule.station == mac) return &rule;
    any = &rule;
  }
  return any;
}

const EventRule* SiteFile::EventOf(const std::string& mac, std::string_view a,
                                   std::string_view b) const {
  std::string record;
  for (const EventRule& rule : events_) {
    if (rule.station != "*" && rule.station != mac) continue;
    std::string_view text = a;
    if (rule.field == EventRule::Field::kB) {
      text = b;
    } else if (rule.field == EventRule::Field::kRecord) {
      if (record.empty()) record = std::string(a) + "|" + std::string(b);
      text = record;
    }
    if (GlobMatches(rule.pattern, text)) return &rule;
  }
  return nullptr;
}

}  // namespace pelmora::gateway
