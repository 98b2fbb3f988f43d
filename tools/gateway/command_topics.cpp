#include "command_topics.h"

#include <map>
#include <optional>

#include "code_page.h"
#include "hex_text.h"
#include "json_text.h"
#include "number_text.h"
#include "station_table.h"
#include "utf8.h"

namespace pelmora::gateway {
namespace {

void SkipSpace(std::string_view* text) {
  while (!text->empty() && (text->front() == ' ' || text->front() == '\t' ||
                            text->front() == '\n' || text->front() == '\r'))
    text->remove_prefix(1);
}

// Four hex digits of a \u escape at the front of `text`, taken off it.
std::optional<char32_t> TakeHex4(std::string_view* text) {
  std::uint32_t value = 0;
  if (text->size() < 4 || !wire::ParseHexNumber(text->substr(0, 4), &value))
    return std::nullopt;
  text->remove_prefix(4);
  return value;
}

// A JSON string at the front of `text`, as UTF-8, taken off it.
bool TakeString(std::string_view* text, std::string* out) {
  if (text->empty() || text->front() != '"') return false;
  text->remove_prefix(1);
  out->clear();
  while (!text->empty()) {
    const char c = text->front();
    text->remove_prefix(1);
    if (c == '"') return true;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (text->empty()) return false;
    const char escape = text->front();
    text->remove_prefix(1);
    static constexpr std::string_view kFrom = "\"\\/bfnrt";
    static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
    if (const std::size_t at = kFrom.find(escape); at != kFrom.npos) {
      out->push_back(kTo[at]);
      continue;
    }
    if (escape != 'u') return false;
    std::optional<char32_t> unit = TakeHex4(text);
    if (!unit || (*unit >= 0xDC00 && *unit < 0xE000)) return false;
    if (*unit >= 0xD800 && *unit < 0xDC00) {
      if (text->substr(0, 2) != "\\u") return false;
      text->remove_prefix(2);
      const std::optional<char32_t> low = TakeHex4(text);
      if (!low || *low < 0xDC00 || *low >= 0xE000) return false;
      unit = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
    }
    wire::AppendUtf8(*unit, out);
  }
  return false;
}

// Any JSON value at the front of `text`, taken off it; nesting deeper than
// `depth` is refused.
bool SkipValue(std::string_view* text, int depth) {
  SkipSpace(text);
  if (text->empty() || depth == 0) return false;
  const char first = text->front();
  if (first == '"') {
    std::string ignored;
    return TakeString(text, &ignored);
  }
  if (first == '{' || first == '[') {
    const char close = first == '{' ? '}' : ']';
    text->remove_prefix(1);
    SkipSpace(text);
    if (!text->empty() && text->front() == close) {
      text->remove_prefix(1);
      return true;
    }
    for (;;) {
      if (first == '{') {
        std::string key;
        SkipSpace(text);
        if (!TakeString(text, &key)) return false;
        SkipSpace(text);
        if (text->empty() || text->front() != ':') return false;
        text->remove_prefix(1);
      }
      if (!SkipValue(text, depth - 1)) return false;
      SkipSpace(text);
      if (text->empty()) return false;
      const char next = text->front();
      text->remove_prefix(1);
      if (next == close) return true;
      if (next != ',') return false;
    }
  }
  // A number or a literal: its characters up to what ends it.
  const std::size_t end = text->find_first_of(",}] \t\r\n");
  const std::string_view word = text->substr(0, end);
  double number = 0;
  if (word != "true" && word != "false" && word != "null" &&
      !wire::ParseDecimalNumber(word, &number)) {
    return false;
  }
  text->remove_prefix(word.size());
  return true;
}

// Whether the text is a JSON object, of any values, with a member `key`.
bool ObjectHas(std::string_view text, std::string_view key) {
  SkipSpace(&text);
  if (text.empty() || text.front() != '{') return false;
  text.remove_prefix(1);
  SkipSpace(&text);
  if (!text.empty() && text.front() == '}') return false;
  bool found = false;
  for (;;) {
    std::string name;
    SkipSpace(&text);
    if (!TakeString(&text, &name)) return false;
    found = found || name == key;
    SkipSpace(&text);
    if (text.empty() || text.front() != ':') return false;
    text.remove_prefix(1);
    if (!SkipValue(&text, 32)) return false;
    SkipSpace(&text);
    if (text.empty()) return false;
    const char next = text.front();
    text.remove_prefix(1);
    if (next == '}') break;
    if (next != ',') return false;
  }
  SkipSpace(&text);
  return found && text.empty();
}

}  // namespace

std::optional<std::map<std::string, std::string>> StringObject(
    std::string_view text) {
  std::map<std::string, std::string> members;
  SkipSpace(&text);
  if (text.empty() || text.front() != '{') return std::nullopt;
  text.remove_prefix(1);
  SkipSpace(&text);
  if (!text.empty() && text.front() == '}') {
    text.remove_prefix(1);
  } else {
    for (;;) {
      std::string key, value;
      SkipSpace(&text);
      if (!TakeString(&text, &key)) return std::nullopt;
      SkipSpace(&text);
      if (text.empty() || text.front() != ':') return std::nullopt;
      text.remove_prefix(1);
      SkipSpace(&text);
      if (!TakeString(&text, &value) || members.count(key)) return std::nullopt;
      members[key] = value;
      SkipSpace(&text);
      if (text.empty()) return std::nullopt;
      const char next = text.front();
      text.remove_prefix(1);
      if (next == '}') break;
      if (next != ',') return std::nullopt;
    }
  }
  SkipSpace(&text);
  if (!text.empty()) return std::nullopt;
  return members;
}

bool GbkOfUtf8(std::string_view utf8, std::string* gbk) {
  gbk->clear();
  while (!utf8.empty()) {
    const std::size_t used = wire::EncodeGbkChar(utf8, gbk);
    if (used == 0) return false;
    utf8.remove_prefix(used);
  }
  return true;
}

std::string PayloadTooLong(std::size_t length) {
  return "a payload of " + std::to_string(length) +
         " bytes, over 1,023: not read";
}

bool ReadWritePayload(std::string_view payload, std::string* value,
                      std::string* id, std::string* error) {
  id->clear();
  if (payload.size() > kLongestWritePayload) {
    *error = PayloadTooLong(payload.size());
    return false;
  }
  if (payload.empty()) {
    // What clears a retained message, which the broker passes on live.
    *error =
        "an empty payload is no write (it clears a retained message): an "
        "empty value is {\"value\":\"\"}";
    return false;
  }
  const auto members = StringObject(payload);
  const bool json = members && members->count("value") &&
                    members->size() == 1 + members->count("id");
  if (!json) {
    // An object with a "value" in any other form would reach the host as
    // its literal text, which is never what was meant.
    if (ObjectHas(payload, "value")) {
      *error =
          "ambiguous: a JSON object with \"value\" is a write only as "
          "{\"value\":\"...\"} with an \"id\" string at most (wrap any "
          "other value in one)";
      return false;
    }
    value->assign(payload);
    return true;
  }
  *id = members->count("id") ? members->at("id") : std::string();
  if (!GbkOfUtf8(members->at("value"), value)) {
    *error = "the value holds a character GBK lacks";
    return false;
  }
  return true;
}

std::string ResultPayload(const wire::CommandOutcome& outcome) {
  wire::JsonObject object;
  object.Utf8Text("id", outcome.id)
      .Text("command", outcome.snapshot ? "snapshot" : "write")
      .HostText("name", outcome.name, wire::TextEncoding::kGbk)
      .Text("state", wire::CommandStateName(outcome.state))
      .Text("reason", outcome.reason)
      .Text("time", WallText(outcome.time));
  return object.Close();
}

}  // namespace pelmora::gateway
