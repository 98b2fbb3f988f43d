#include "code_page.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "utf8.h"

namespace pelmora::wire {

namespace {

// Lead bytes 0x81-0xFE, trail bytes 0x40-0xFE except 0x7F.
constexpr unsigned kLeadFirst = 0x81;
constexpr unsigned kLeadLast = 0xFE;
constexpr unsigned kTrailFirst = 0x40;
constexpr unsigned kTrailLast = 0xFE;
constexpr unsigned kTrailsPerLead = kTrailLast - kTrailFirst + 1;

class GbkTable {
 public:
  GbkTable() : toUnicode_((kLeadLast - kLeadFirst + 1) * kTrailsPerLead, 0) {
    std::unordered_map<char32_t, int> uses;
    for (unsigned lead = kLeadFirst; lead <= kLeadLast; ++lead) {
      for (unsigned trail = kTrailFirst; trail <= kTrailLast; ++trail) {
        if (trail == 0x7F) continue;
        const char32_t code =
            SystemGbkPairToCodePoint(static_cast<unsigned char>(lead),
                                     static_cast<unsigned char>(trail));
        // Below U+0080 a pair would alias an ASCII byte, which the way back
        // writes as one byte.
        if (code < 0x80) continue;
        toUnicode_[Index(lead, trail)] = code;
        ++uses[code];
        fromUnicode_[code] = static_cast<std::uint16_t>(lead << 8 | trail);
      }
    }
    // A code point two pairs share cannot say which pair it came from.
    for (const auto& [code, count] : uses) {
      if (count == 1) continue;
      fromUnicode_.erase(code);
      for (char32_t& entry : toUnicode_) {
        if (entry == code) entry = 0;
      }
    }
  }

  char32_t ToUnicode(unsigned lead, unsigned trail) const {
    if (lead < kLeadFirst || lead > kLeadLast || trail < kTrailFirst ||
        trail > kTrailLast || trail == 0x7F) {
      return 0;
    }
    return toUnicode_[Index(lead, trail)];
  }

  // The pair as lead << 8 | trail; 0 when the code point has none.
  std::uint16_t FromUnicode(char32_t code) const {
    const auto found = fromUnicode_.find(code);
    return found == fromUnicode_.end() ? 0 : found->second;
  }

 private:
  static std::size_t Index(unsigned lead, unsigned trail) {
    return (lead - kLeadFirst) * kTrailsPerLead + (trail - kTrailFirst);
  }

  std::vector<char32_t> toUnicode_;
  std::unordered_map<char32_t, std::uint16_t> fromUnicode_;
};

const GbkTable& Table() {
  static const GbkTable table;
  return table;
}

}  // namespace

std::size_t DecodeGbkChar(std::string_view gbk, std::string* utf8) {
  if (gbk.empty()) return 0;
  const auto lead = static_cast<unsigned char>(gbk[0]);
  if (lead < 0x80) {
    *utf8 += static_cast<char>(lead);
    return 1;
  }
  if (gbk.size() < 2) return 0;
  const char32_t code =
      Table().ToUnicode(lead, static_cast<unsigned char>(gbk[1]));
  if (code == 0) return 0;
  AppendUtf8(code, utf8);
  return 2;
}

std::size_t EncodeGbkChar(std::string_view utf8, std::string* gbk) {
  char32_t code = 0;
  const std::size_t length = ReadUtf8(utf8, &code);
  if (length == 0) return 0;
  if (code < 0x80) {
    *gbk += static_cast<char>(code);
    return length;
  }
  const std::uint16_t pair = Table().FromUnicode(code);
  if (pair == 0) return 0;
  *gbk += static_cast<char>(pair >> 8);
  *gbk += static_cast<char>(pair & 0xFF);
  return length;
}

std::string GbkToUtf8(std::string_view gbk, bool* exact) {
  std::string utf8;
  bool allDecoded = true;
  while (!gbk.empty()) {
    std::size_t used = DecodeGbkChar(gbk, &utf8);
    if (used == 0) {
      utf8 += kReplacementUtf8;
      allDecoded = false;
      used = 1;
    }
    gbk.remove_prefix(used);
  }
  if (exact != nullptr) *exact = allDecoded;
  return utf8;
}

}  // namespace pelmora::wire
