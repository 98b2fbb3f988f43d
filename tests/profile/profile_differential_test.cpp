// Runs every case of the corpus through the native profile_probe and, under
// Wine, through the Windows build's profile_probe.exe (the real Windows
// profile functions), each on its own copy of the file, and demands the same
// answers and the same files.
//
// A case is corpus/NAME.ops, run on a copy of corpus/NAME.ini (no file at
// all when there is none). Each line of NAME.ops is a directive or an
// operation; a token is a bare word or a "quoted" text with \xHH, \t, \" and
// \\ escapes:
//   read SECTION KEY DEFAULT | readint SECTION KEY DEFAULT
//   write SECTION KEY VALUE        both files must then be byte-identical
//   wine-bug OP                    the answers must differ: Wine is known to
//                                  be wrong here (the native answer is pinned
//                                  by profile_file_posix_test)
//   wine-rewrites-layout           Wine rewrites the whole file on a change,
//                                  normalising blanks and line ends; after a
//                                  write the files need only be equal once
//                                  Wine has rewritten both
//   in-missing-directory           the file lies in a directory that does
//                                  not exist
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/wine_target.h"

namespace fs = std::filesystem;

namespace {

using pelmora::testing::SelectedWineTarget;
using pelmora::testing::ShellQuote;
using pelmora::testing::WineTarget;

struct Op {
  int line = 0;
  std::string source;
  bool wineBug = false;
  std::vector<std::string> words;  // verb and its three arguments
  bool IsWrite() const { return words[0] == "write"; }
};

struct Case {
  std::string name;
  bool layoutFree = false;
  bool missingDirectory = false;
  std::vector<Op> ops;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

// Splits one line of a .ops file; false on a malformed token.
bool Tokenize(const std::string& line, std::vector<std::string>* words) {
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return true;
    std::string word;
    if (line[i] != '"') {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t')
        word += line[i++];
      words->push_back(word);
      continue;
    }
    for (++i;; ++i) {
      if (i >= line.size()) return false;
      char c = line[i];
      if (c == '"') break;
      if (c != '\\') {
        word += c;
        continue;
      }
      if (++i >= line.size()) return false;
      c = line[i];
      if (c == 'x' && i + 2 < line.size()) {
        word +=
            static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else if (c == 't') {
        word += '\t';
      } else {
        word += c;
      }
    }
    ++i;
    words->push_back(word);
  }
}

Case LoadCase(const fs::path& opsPath) {
  Case c;
  c.name = opsPath.stem().string();
  std::ifstream in(opsPath);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::vector<std::string> words;
    if (!Tokenize(line, &words)) {
      ADD_FAILURE() << opsPath << ":" << number << ": bad quoting";
      continue;
    }
    if (words.empty() || words[0][0] == '#') continue;
    if (words == std::vector<std::string>{"wine-rewrites-layout"}) {
      c.layoutFree = true;
      continue;
    }
    if (words == std::vector<std::string>{"in-missing-directory"}) {
      c.missingDirectory = true;
      continue;
    }
    Op op;
    op.line = number;
    op.source = line;
    op.wineBug = words[0] == "wine-bug";
    if (op.wineBug) words.erase(words.begin());
    op.words = words;
    bool known =
        !words.empty() &&
        (words[0] == "read" || words[0] == "readint" || words[0] == "write");
    if (!known || words.size() != 4) {
      ADD_FAILURE() << opsPath << ":" << number << ": bad operation: " << line;
      continue;
    }
    c.ops.push_back(op);
  }
  return c;
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(PELMORA_PROFILE_CORPUS_DIR)) {
    if (entry.path().extension() == ".ops")
      names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The probe's argument form: everything but letters, digits, '_', '.' and
// '-' as \xHH, so that no byte is lost on a Windows command line.
std::string ProbeArg(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '_' || c == '.' || c == '-') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// One probe per platform: how to start it and how it names a file.
struct Probe {
  std::string label;
  std::string command;  // for the shell, quoted
  bool windowsPaths;

  std::string PathArg(const fs::path& path) const {
    std::string text = path.string();
    if (!windowsPaths) return text;
    for (char& c : text) {
      if (c == '/') c = '\\';
    }
    return "Z:" + text;
  }

  // Runs `ops` on `file`; one output line per operation.
  std::vector<std::string> Run(const fs::path& file,
                               const std::vector<const Op*>& ops) const {
    std::string line = command + " " + ShellQuote(ProbeArg(PathArg(file)));
    for (const Op* op : ops) {
      line += " " + ShellQuote(op->words[0]);
      for (std::size_t i = 1; i < op->words.size(); ++i)
        line += " " + ShellQuote(ProbeArg(op->words[i]));
    }
    std::vector<std::string> lines;
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "cannot start: " << line;
      return lines;
    }
    std::string output;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      output.append(buffer, n);
    int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << label << " failed: " << line;
    std::string current;
    for (char c : output) {
      if (c == '\r') continue;  // the Windows C library's text-mode stdout
      if (c == '\n') {
        lines.push_back(current);
        current.clear();
      } else {
        current += c;
      }
    }
    EXPECT_EQ(lines.size(), ops.size()) << label << " output:\n" << output;
    lines.resize(ops.size());
    return lines;
  }
};

class ProfileDifferentialTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (wineTarget_.build.empty())
      GTEST_SKIP() << "no Windows build runs here: " << wineTarget_.reason;
    ASSERT_TRUE(fs::exists(WindowsProbe())) << "not built: " << WindowsProbe();
    char pattern[] = "/tmp/pelmora-profile-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    work_ = pattern;
  }

  void TearDown() override {
    if (!work_.empty()) fs::remove_all(work_);
  }

  // The file a probe works on, seeded from the corpus.
  fs::path Seed(const std::string& side, const Case& c) {
    fs::path dir = work_ / side;
    fs::create_directories(dir);
    if (c.missingDirectory) return dir / "missing" / "profile.ini";
    fs::path file = dir / "profile.ini";
    fs::path seed = fs::path(PELMORA_PROFILE_CORPUS_DIR) / (c.name + ".ini");
    if (fs::exists(seed)) fs::copy_file(seed, file);
    return file;
  }

  // Both files after Wine has rewritten them by adding one section.
  void ExpectSameOnceRewritten(const fs::path& native, const fs::path& wine,
                               const std::string& context) {
    const Op marker{0, "", false, {"write", "pelmora-layout-check", "k", "v"}};
    std::string texts[2];
    const fs::path* files[2] = {&native, &wine};
    for (int i = 0; i < 2; ++i) {
      fs::path copy = work_ / ("rewritten" + std::to_string(i) + ".ini");
      fs::remove(copy);
      fs::copy_file(*files[i], copy);
      wine_.Run(copy, {&marker});
      texts[i] = ReadFile(copy);
    }
    EXPECT_EQ(texts[0], texts[1]) << context << "\nnative file:\n"
                                  << ReadFile(native) << "\nWine file:\n"
                                  << ReadFile(wine);
  }

  static std::string WindowsProbe() {
    return SelectedWineTarget().tree + "/tests/profile/profile_probe.exe";
  }

  fs::path work_;
  const WineTarget& wineTarget_ = SelectedWineTarget();
  Probe native_{"native probe", ShellQuote(PELMORA_NATIVE_PROBE), false};
  Probe wine_{"Wine probe", wineTarget_.Command(WindowsProbe()), true};
};

TEST_P(ProfileDifferentialTest, SameAsWindowsFunctions) {
  const Case c =
      LoadCase(fs::path(PELMORA_PROFILE_CORPUS_DIR) / (GetParam() + ".ops"));
  const fs::path nativeFile = Seed("native", c);
  const fs::path wineFile = Seed("wine", c);

  // Reads run together in one process; each write runs alone, so that it is
  // judged on the file it leaves behind.
  for (std::size_t i = 0; i < c.ops.size();) {
    std::vector<const Op*> batch{&c.ops[i++]};
    if (!batch[0]->IsWrite()) {
      while (i < c.ops.size() && !c.ops[i].IsWrite())
        batch.push_back(&c.ops[i++]);
    }
    std::vector<std::string> mine = native_.Run(nativeFile, batch);
    std::vector<std::string> theirs = wine_.Run(wineFile, batch);
    for (std::size_t k = 0; k < batch.size(); ++k) {
      std::string context = c.name + ".ops:" + std::to_string(batch[k]->line) +
                            ": " + batch[k]->source;
      if (batch[k]->wineBug) {
        EXPECT_NE(mine[k], theirs[k]) << context << "\nWine now agrees ("
                                      << mine[k] << "); drop the wine-bug mark";
      } else {
        EXPECT_EQ(mine[k], theirs[k]) << context;
      }
    }
    if (!batch[0]->IsWrite()) continue;

    std::string context = c.name + ".ops:" + std::to_string(batch[0]->line) +
                          ": " + batch[0]->source;
    ASSERT_EQ(fs::exists(nativeFile), fs::exists(wineFile)) << context;
    if (!fs::exists(nativeFile)) continue;
    std::string mineText = ReadFile(nativeFile);
    std::string theirText = ReadFile(wineFile);
    if (mineText == theirText) continue;
    if (c.layoutFree) {
      ExpectSameOnceRewritten(nativeFile, wineFile, context);
    } else {
      ADD_FAILURE() << context << "\nnative file:\n"
                    << ::testing::PrintToString(mineText) << "\nWine file:\n"
                    << ::testing::PrintToString(theirText);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, ProfileDifferentialTest,
                         ::testing::ValuesIn(CaseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
