#include "scan_csv.h"

#include <algorithm>

namespace pelmora::host {
namespace {

struct Field {
  std::string text;
  bool quoted = false;
};

bool EndsField(char c) { return c == ',' || c == '\r' || c == '\n'; }

}  // namespace

bool ParseScanCsv(std::string_view text, ScanTable* table, std::string* error) {
  *table = ScanTable();
  std::size_t at = 0;
  int line = 1;
  bool firstRow = true;
  while (at < text.size()) {
    std::vector<Field> fields;
    for (;;) {
      Field field;
      if (at < text.size() && text[at] == '"') {
        field.quoted = true;
        const int opened = line;
        for (++at;; ++at) {
          if (at == text.size()) {
            *error = "line " + std::to_string(opened) +
                     ": a quoted field has no closing quote";
            return false;
          }
          if (text[at] == '"') {
            if (at + 1 == text.size() || text[at + 1] != '"') break;
            ++at;
          } else if (text[at] == '\n') {
            ++line;
          }
          field.text += text[at];
        }
        ++at;
        if (at < text.size() && !EndsField(text[at])) {
          *error = "line " + std::to_string(line) +
                   ": text after a field's closing quote";
          return false;
        }
      } else {
        const std::size_t start = at;
        while (at < text.size() && !EndsField(text[at])) ++at;
        field.text = text.substr(start, at - start);
      }
      fields.push_back(std::move(field));
      if (at < text.size() && text[at] == ',') {
        ++at;
        continue;
      }
      break;
    }
    if (at < text.size() && text[at] == '\r') ++at;
    if (at < text.size() && text[at] == '\n') ++at;
    ++line;

    const Field& first = fields.front();
    const bool emptyLine =
        fields.size() == 1 && !first.quoted && first.text.empty();
    const bool header = firstRow && !first.quoted && !first.text.empty() &&
                        first.text[0] == '#';
    if (emptyLine) continue;
    firstRow = false;
    if (header) continue;
    ScanRow row;
    row.name = std::move(fields.front().text);
    for (std::size_t i = 1; i < fields.size(); ++i) {
      if (fields[i].quoted || !fields[i].text.empty())
        row.values.emplace_back(std::move(fields[i].text));
      else
        row.values.emplace_back();
    }
    table->rounds = std::max(table->rounds, row.values.size());
    table->rows.push_back(std::move(row));
  }
  return true;
}

}  // namespace pelmora::host
