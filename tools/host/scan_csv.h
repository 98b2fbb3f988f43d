// Recorded scan rounds as CSV, for the host program's replay command: one
// row per point, the point's name and then its value in each round.
//
// The dialect: fields separated by commas; a field in double quotes may hold
// commas, line ends and "" for one quote. Bytes are kept as they are (the
// host's code page). Rows end with CRLF or LF (a lone CR ends one too);
// empty lines are skipped. If the first row's first field starts with an
// unquoted #, that row is a header and is skipped. An unquoted empty field,
// or a field missing at the end of a short row, means the point is not
// pushed in that round; "" pushes the empty value.
#ifndef PELMORA_TOOLS_HOST_SCAN_CSV_H_
#define PELMORA_TOOLS_HOST_SCAN_CSV_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora::host {

struct ScanRow {
  std::string name;
  // The value in each round; none where the point is not pushed.
  std::vector<std::optional<std::string>> values;
};

struct ScanTable {
  std::vector<ScanRow> rows;
  std::size_t rounds = 0;  // the longest row's value count
};

// Reads `text`; on a malformed text returns false with `error` saying which
// line and why.
bool ParseScanCsv(std::string_view text, ScanTable* table, std::string* error);

}  // namespace pelmora::host

#endif  // PELMORA_TOOLS_HOST_SCAN_CSV_H_
