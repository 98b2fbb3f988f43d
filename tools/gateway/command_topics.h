// Commands over MQTT: the payload of a write and the JSON of a result.
//
// A write's payload is either the value's bytes as they are, or a JSON
// object whose members are strings, "value" among them and "id" perhaps,
// and no others: {"id":"op-7","value":"42.5"}, the value read as UTF-8 and
// written in GBK, the host's code page. Any other JSON object with a
// "value" member ({"value":42.5}, a third member) is refused as ambiguous:
// the host would get its literal text. Other payloads, other JSON included,
// are taken byte for byte. A value that is itself an object with a "value"
// comes wrapped: {"value":"{\"value\":\"1\"}"}. No payload over 1,023
// bytes is read at all: no command datagram could carry it. An empty
// payload is no write: it is what clears a retained message, and the
// broker passes that on live; an empty value is {"value":""}.
//
// A result: {"id":"op-7","command":"write","name":"SP1","state":"delivered",
// "reason":"","time":"2026-12-09T01:23:45.678Z"}, the name decoded from GBK.
#ifndef PELMORA_TOOLS_GATEWAY_COMMAND_TOPICS_H_
#define PELMORA_TOOLS_GATEWAY_COMMAND_TOPICS_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "station_commands.h"

namespace pelmora::gateway {

// The longest write payload read.
inline constexpr std::size_t kLongestWritePayload = 1023;
// Why a payload of `length` bytes, beyond it, is refused.
std::string PayloadTooLong(std::size_t length);

// The value and id of a write's payload; false with `error` when it is
// empty, too long, an ambiguous object, or the JSON form with a value
// holding a character GBK lacks.
bool ReadWritePayload(std::string_view payload, std::string* value,
                      std::string* id, std::string* error);

// The members of a JSON object of strings only, each key once; nothing when
// the text is anything else.
std::optional<std::map<std::string, std::string>> StringObject(
    std::string_view text);

// UTF-8 text in GBK, the host's code page; false when it holds a character
// GBK lacks.
bool GbkOfUtf8(std::string_view utf8, std::string* gbk);

std::string ResultPayload(const wire::CommandOutcome& outcome);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_COMMAND_TOPICS_H_
