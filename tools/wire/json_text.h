// Host texts, objects and arrays in JSON, for the receiver's JSON lines and the
// gateway's payloads.
#ifndef PELMORA_TOOLS_WIRE_JSON_TEXT_H_
#define PELMORA_TOOLS_WIRE_JSON_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "code_page.h"

namespace pelmora::wire {

// A JSON string literal of a host text. Control bytes become \u00XX. With
// bytes, so do the bytes above 0x7E, each the code point of its own value,
// which keeps the line valid JSON whatever the code page and lets a reader
// get the exact bytes back. With gbk, GBK characters go in as UTF-8 and a
// byte that starts none as U+FFFD; false when there was such a byte.
bool AppendJsonString(std::string* out, std::string_view text,
                      TextEncoding encoding);

// One JSON object, its fields in the order written:
//   JsonObject object;
//   object.Text("type", "datagram").Number("bytes", 41);
//   object.Close()  // {"type":"datagram","bytes":41}
class JsonObject {
 public:
  // Keys and Text() values are the tools' own ASCII; host texts go through
  // HostText().
  JsonObject& Text(std::string_view key, std::string_view text);
  JsonObject& Number(std::string_view key, std::uint64_t value);
  JsonObject& Bool(std::string_view key, bool value);
  JsonObject& Null(std::string_view key);
  // A value that is JSON already: an object, an array, a decimal.
  JsonObject& Json(std::string_view key, std::string_view json);
  // As AppendJsonString(); when some byte was no character of `encoding`,
  // "<key>_raw" follows with the text's bytes in hex, so that a reader still
  // gets them as sent.
  JsonObject& HostText(std::string_view key, std::string_view text,
                       TextEncoding encoding);
  // A text that is UTF-8 already, as a user gave it (a command's id): its
  // characters as they are, a byte that starts none as U+FFFD.
  JsonObject& Utf8Text(std::string_view key, std::string_view text);

  // The object, closed; the writer starts a new one.
  std::string Close();

 private:
  void Key(std::string_view key);

  std::string text_ = "{";
};

// One JSON array, its elements in the order written:
//   JsonArray array;
//   array.Json(object.Close()).Null();
//   array.Close()  // [{...},null]
class JsonArray {
 public:
  // The tools' own ASCII; host texts go through HostText().
  JsonArray& Text(std::string_view text);
  JsonArray& Null();
  // An element that is JSON already: an object, an array, a decimal.
  JsonArray& Json(std::string_view json);
  // As AppendJsonString(): false when some byte was no character of
  // `encoding`.
  bool HostText(std::string_view text, TextEncoding encoding);

  // The array, closed; the writer starts a new one.
  std::string Close();

 private:
  void Next();

  std::string text_ = "[";
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_JSON_TEXT_H_
