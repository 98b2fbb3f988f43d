#include "json_text.h"

#include <utility>

#include "hex_text.h"
#include "utf8.h"

namespace pelmora::wire {

namespace {

// What a byte above 0x7F starts.
enum class HighBytes { kEach, kGbk, kUtf8 };

bool AppendJsonText(std::string* out, std::string_view text, HighBytes high) {
  bool exact = true;
  *out += '"';
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    std::size_t used = 1;
    char32_t code = 0;
    if (byte == '"' || byte == '\\') {
      *out += '\\';
      *out += text[0];
    } else if (byte >= 0x20 && byte <= 0x7E) {
      *out += text[0];
    } else if (byte < 0x80 || high == HighBytes::kEach) {
      *out += "\\u00";
      AppendHexByte(byte, HexCase::kLower, out);
    } else if (high == HighBytes::kUtf8) {
      used = ReadUtf8(text, &code);
      out->append(text.substr(0, used));
    } else {
      used = DecodeGbkChar(text, out);
    }
    if (used == 0) {
      *out += kReplacementUtf8;
      exact = false;
      used = 1;
    }
    text.remove_prefix(used);
  }
  *out += '"';
  return exact;
}

}  // namespace

bool AppendJsonString(std::string* out, std::string_view text,
                      TextEncoding encoding) {
  return AppendJsonText(
      out, text,
      encoding == TextEncoding::kGbk ? HighBytes::kGbk : HighBytes::kEach);
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view text) {
  Key(key);
  AppendJsonString(&text_, text, TextEncoding::kBytes);
  return *this;
}

JsonObject& JsonObject::Number(std::string_view key, std::uint64_t value) {
  return Json(key, std::to_string(value));
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
  return Json(key, value ? "true" : "false");
}

JsonObject& JsonObject::Null(std::string_view key) { return Json(key, "null"); }

JsonObject& JsonObject::Json(std::string_view key, std::string_view json) {
  Key(key);
  text_ += json;
  return *this;
}

JsonObject& JsonObject::HostText(std::string_view key, std::string_view text,
                                 TextEncoding encoding) {
  Key(key);
  if (AppendJsonString(&text_, text, encoding)) return *this;
  return Text(std::string(key) + "_raw", HexOf(text));
}

JsonObject& JsonObject::Utf8Text(std::string_view key, std::string_view text) {
  Key(key);
  AppendJsonText(&text_, text, HighBytes::kUtf8);
  return *this;
}

std::string JsonObject::Close() {
  std::string object = std::move(text_);
  object += '}';
  text_ = "{";
  return object;
}

void JsonObject::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  AppendJsonString(&text_, key, TextEncoding::kBytes);
  text_ += ':';
}

JsonArray& JsonArray::Text(std::string_view text) {
  Next();
  AppendJsonString(&text_, text, TextEncoding::kBytes);
  return *this;
}

JsonArray& JsonArray::Null() { return Json("null"); }

JsonArray& JsonArray::Json(std::string_view json) {
  Next();
  text_ += json;
  return *this;
}

bool JsonArray::HostText(std::string_view text, TextEncoding encoding) {
  Next();
  return AppendJsonString(&text_, text, encoding);
}

std::string JsonArray::Close() {
  std::string array = std::move(text_);
  array += ']';
  text_ = "[";
  return array;
}

void JsonArray::Next() {
  if (text_.size() > 1) text_ += ',';
}

}  // namespace pelmora::wire
