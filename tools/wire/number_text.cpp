#include "number_text.h"

#include <charconv>
#include <system_error>

namespace pelmora::wire {

namespace {

// Takes the digits at the front of `text`; false when there are none.
bool TakeDigits(std::string_view* text) {
  std::size_t digits = 0;
  while (digits < text->size() && (*text)[digits] >= '0' &&
         (*text)[digits] <= '9')
    ++digits;
  text->remove_prefix(digits);
  return digits > 0;
}

void TakeSign(std::string_view* text) {
  if (!text->empty() && (text->front() == '-' || text->front() == '+'))
    text->remove_prefix(1);
}

}  // namespace

bool ParseDecimalNumber(std::string_view text, double* value) {
  std::string_view rest = text;
  TakeSign(&rest);
  if (!TakeDigits(&rest)) return false;
  if (!rest.empty() && rest.front() == '.') {
    rest.remove_prefix(1);
    if (!TakeDigits(&rest)) return false;
  }
  if (!rest.empty() && (rest.front() == 'e' || rest.front() == 'E')) {
    rest.remove_prefix(1);
    TakeSign(&rest);
    if (!TakeDigits(&rest)) return false;
  }
  if (!rest.empty()) return false;
  // from_chars reads no '+' and no locale: the text is plain decimal now.
  if (text.front() == '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  double number = 0;
  const auto [stop, failure] = std::from_chars(text.data(), end, number);
  if (failure != std::errc() || stop != end) return false;
  *value = number;
  return true;
}

}  // namespace pelmora::wire
