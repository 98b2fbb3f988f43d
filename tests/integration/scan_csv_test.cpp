// The host's reader of recorded scan rounds: its CSV dialect.
#include <gtest/gtest.h>

#include "scan_csv.h"

namespace pelmora::host {
namespace {

// Each row as name[value]... with ~ for a round the point is skipped in.
std::string Shown(const ScanTable& table) {
  std::string shown;
  for (const ScanRow& row : table.rows) {
    shown += row.name;
    for (const auto& value : row.values)
      shown += value ? "[" + *value + "]" : "~";
    shown += "\n";
  }
  return shown;
}

TEST(ScanCsv, ReadsTheDialect) {
  const struct {
    const char* csv;
    const char* shown;
    std::size_t rounds;
  } cases[] = {
      {"\"a,b\",\"x \"\"y\"\"\",\r\n", "a,b[x \"y\"]~\n", 2},
      {"A,\"1\r\n2\"\n\n\r\nB,3", "A[1\r\n2]\nB[3]\n", 1},
      {"A,\"\",,3\nB\n", "A[]~[3]\nB\n", 3},
      {"\n#h,1\n#p,2\n", "#p[2]\n", 1},
      {"\"#q\",1\n", "#q[1]\n", 1},
      {"A,x\"y,z\rB,1", "A[x\"y][z]\nB[1]\n", 2},
  };
  for (const auto& c : cases) {
    ScanTable table;
    std::string error;
    ASSERT_TRUE(ParseScanCsv(c.csv, &table, &error)) << c.csv << error;
    EXPECT_EQ(Shown(table), c.shown) << c.csv;
    EXPECT_EQ(table.rounds, c.rounds) << c.csv;
  }
}

TEST(ScanCsv, NamesTheLineOfAMalformedField) {
  const struct {
    const char* csv;
    const char* error;
  } cases[] = {
      {"A,\"1", "line 1: a quoted field has no closing quote"},
      {"A,1\nB,\"2\n3\n", "line 2: a quoted field has no closing quote"},
      {"A,\"1\n2\"x\n", "line 2: text after a field's closing quote"},
  };
  for (const auto& c : cases) {
    ScanTable table;
    std::string error;
    EXPECT_FALSE(ParseScanCsv(c.csv, &table, &error)) << c.csv;
    EXPECT_EQ(error, c.error) << c.csv;
  }
}

}  // namespace
}  // namespace pelmora::host
