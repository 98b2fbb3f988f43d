#include "datagram.h"

#include <sstream>
#include <utility>

#include "hex_text.h"

namespace pelmora::wire {

namespace {

// Header bytes that never change, by offset; the kind, payload length and MAC
// sit between them.
struct FixedRun {
  std::size_t offset;
  std::size_t count;
  const std::uint8_t* bytes;
};
constexpr std::uint8_t kAllFF[10] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kVersion[4] = {0x02, 0x00, 0x00, 0x01};
constexpr FixedRun kFixedRuns[] = {
    {0, 4, kAllFF}, {4, 4, kVersion}, {9, 3, kAllFF}, {22, 10, kAllFF}};

// Error texts are built with streams rather than printf formats, whose size_t
// conversion the Windows C run-time does not know.
template <typename... Parts>
std::string Text(const Parts&... parts) {
  std::ostringstream text;
  (text << ... << parts);
  return text.str();
}

std::string HexByte(std::uint8_t byte) {
  std::string hex;
  AppendHexByte(byte, HexCase::kUpper, &hex);
  return hex;
}

// Fills what the caller asked for of one failure.
struct Failure {
  std::string* error;
  Malformed* reason;
  bool operator()(Malformed why, std::string message) const {
    if (error != nullptr) *error = std::move(message);
    if (reason != nullptr) *reason = why;
    return false;
  }
};

}  // namespace

const char* MalformedName(Malformed reason) {
  switch (reason) {
    case Malformed::kTooShort:
      return "too_short";
    case Malformed::kTooLong:
      return "too_long";
    case Malformed::kFixedByte:
      return "fixed_byte";
    case Malformed::kUnknownKind:
      return "unknown_kind";
    case Malformed::kLengthMismatch:
      return "length_mismatch";
    case Malformed::kNoRecord:
      return "no_record";
    case Malformed::kRecordOverrun:
      return "record_overrun";
  }
  return "unknown";
}

bool ParseDatagram(const std::uint8_t* data, std::size_t length, Datagram* out,
                   std::string* error, Malformed* reason) {
  const Failure Fail{error, reason};
  if (length < kHeaderSize) {
    return Fail(Malformed::kTooShort, Text(length, " bytes, shorter than the ",
                                           kHeaderSize, "-byte header"));
  }
  if (length > kMaxDatagramSize) {
    return Fail(Malformed::kTooLong, Text(length, " bytes, over the ",
                                          kMaxDatagramSize, "-byte maximum"));
  }
  for (const FixedRun& run : kFixedRuns) {
    for (std::size_t i = 0; i < run.count; ++i) {
      const std::size_t at = run.offset + i;
      if (data[at] != run.bytes[i]) {
        return Fail(Malformed::kFixedByte,
                    Text("header byte ", at, " is ", HexByte(data[at]),
                         ", expected ", HexByte(run.bytes[i])));
      }
    }
  }
  const std::uint8_t kind = data[8];
  if (kind != kKindItem && kind != kKindEvent && kind != kKindSnapshot) {
    return Fail(Malformed::kUnknownKind, Text("unknown kind ", HexByte(kind)));
  }
  const std::uint32_t declared = static_cast<std::uint32_t>(data[12]) |
                                 static_cast<std::uint32_t>(data[13]) << 8 |
                                 static_cast<std::uint32_t>(data[14]) << 16 |
                                 static_cast<std::uint32_t>(data[15]) << 24;
  const std::size_t payload = length - kHeaderSize;
  if (declared != payload) {
    return Fail(Malformed::kLengthMismatch,
                Text("payload length ", declared, " but ", payload,
                     " bytes follow the header"));
  }
  if (payload == 0)
    return Fail(Malformed::kNoRecord, "no record after the header");

  std::vector<std::string> records;
  std::size_t at = kHeaderSize;
  while (at < length) {
    const std::size_t left = length - at;
    if (left < 2) {
      return Fail(Malformed::kRecordOverrun,
                  Text("1 stray byte at offset ", at, " after record ",
                       records.size()));
    }
    const std::size_t textLength =
        data[at] | static_cast<std::size_t>(data[at + 1]) << 8;
    if (textLength > left - 2) {
      return Fail(
          Malformed::kRecordOverrun,
          Text("record ", records.size() + 1, " at offset ", at, " claims ",
               textLength, " bytes but ", left - 2, " remain"));
    }
    records.emplace_back(reinterpret_cast<const char*>(data + at + 2),
                         textLength);
    at += 2 + textLength;
  }

  out->kind = kind;
  for (std::size_t i = 0; i < out->mac.size(); ++i) out->mac[i] = data[16 + i];
  out->records = std::move(records);
  return true;
}

const char* KindName(std::uint8_t kind) {
  switch (kind) {
    case kKindItem:
      return "item";
    case kKindEvent:
      return "event";
    case kKindSnapshot:
      return "snapshot";
    default:
      return "unknown";
  }
}

std::string MacText(const std::array<std::uint8_t, 6>& mac) {
  std::string text;
  for (const std::uint8_t byte : mac) {
    if (!text.empty()) text += '-';
    AppendHexByte(byte, HexCase::kUpper, &text);
  }
  return text;
}

bool ParseMacText(std::string_view text, std::array<std::uint8_t, 6>* mac) {
  constexpr std::size_t kMacLength = 17;
  if (text.size() != kMacLength) return false;
  const char separator = text[2];
  if (separator != '-' && separator != ':') return false;
  std::array<std::uint8_t, 6> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!ParseHexBytes(text.substr(i * 3, 2), &bytes[i], 1)) return false;
    if (i < 5 && text[i * 3 + 2] != separator) return false;
  }
  *mac = bytes;
  return true;
}

std::string Escape(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte <= 0x7E && byte != '\\') {
      shown += c;
    } else {
      shown += "\\x";
      AppendHexByte(byte, HexCase::kLower, &shown);
    }
  }
  return shown;
}

void SplitRecord(std::string_view text, std::string_view* name,
                 std::string_view* value) {
  const std::size_t bar = text.find('|');
  if (bar == std::string_view::npos) {
    *name = text;
    *value = std::string_view();
  } else {
    *name = text.substr(0, bar);
    *value = text.substr(bar + 1);
  }
}

}  // namespace pelmora::wire
