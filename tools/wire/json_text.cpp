#include "json_text.h"

#include <utility>

namespace pelmora::wire {

namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

bool AppendJsonString(std::string* out, std::string_view text,
                      TextEncoding encoding) {
  bool exact = true;
  *out += '"';
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    std::size_t used = 1;
    if (byte == '"' || byte == '\\') {
      *out += '\\';
      *out += text[0];
    } else if (byte >= 0x20 && byte <= 0x7E) {
      *out += text[0];
    } else if (byte < 0x80 || encoding == TextEncoding::kBytes) {
      *out += "\\u00";
      *out += kHex[byte >> 4];
      *out += kHex[byte & 0x0F];
    } else if ((used = DecodeGbkChar(text, out)) == 0) {
      *out += "\xEF\xBF\xBD";
      exact = false;
      used = 1;
    }
    text.remove_prefix(used);
  }
  *out += '"';
  return exact;
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
  return Text(
      std::string(key) + "_raw",
      HexOf(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
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

std::string HexOf(const std::uint8_t* bytes, std::size_t size) {
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0F];
  }
  return hex;
}

}  // namespace pelmora::wire
