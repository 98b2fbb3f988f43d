// Which host texts are numbers: one rule for the gateway's page (a point's
// trend) and its Sparkplug B node (a Double metric), so that both take the
// same values.
#ifndef PELMORA_TOOLS_WIRE_NUMBER_TEXT_H_
#define PELMORA_TOOLS_WIRE_NUMBER_TEXT_H_

#include <string_view>

namespace pelmora::wire {

// Whether the whole text is a plain decimal number, and its value: a sign
// ('-' or '+') if any, digits, a fraction ('.' and digits) if any, an
// exponent ('e' or 'E', a sign if any, digits) if any. Nothing else: no
// blanks around it, no hex, no "inf" or "nan", no "5." or ".5"; and a
// number a double cannot hold (1e999, 1e-999) is none either.
bool ParseDecimalNumber(std::string_view text, double* value);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_NUMBER_TEXT_H_
