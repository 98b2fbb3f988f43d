// The POSIX profile functions on their own. What they share with Windows is
// proven by profile_differential_test; these cases hold what Wine cannot
// vouch for: the bytes a write keeps, the atomic replace, and the places
// where Wine is wrong.
#include "platform/posix/profile_file_posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The modes the file being written had whenever the writer changed its mode
// or made it durable, while a test looks: this binary's fchmod and fsync
// stand in front of the C library's for the writer linked into it, note
// the mode, and pass the call on.
static std::vector<mode_t>* observedModes = nullptr;

static void Observe(int fd) {
  struct stat st;
  if (observedModes && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    observedModes->push_back(st.st_mode & 07777);
}

extern "C" int fchmod(int fd, mode_t mode) noexcept {
  Observe(fd);
  return static_cast<int>(::syscall(SYS_fchmod, fd, mode));
}

extern "C" int fsync(int fd) {
  Observe(fd);
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace fs = std::filesystem;
using pelmora::profile::ReadInt;
using pelmora::profile::ReadString;
using pelmora::profile::WriteString;

namespace {

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pelmora-profile-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    file_ = (dir_ / "p.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Put(const std::string& text) {
    std::ofstream(file_, std::ios::binary | std::ios::trunc) << text;
  }
  std::string Get() const {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in),
                       std::istreambuf_iterator<char>());
  }

  fs::path dir_;
  std::string file_;
};

TEST_F(ProfileFileTest, ReadsText) {
  const std::string q259 = std::string(259, 'q');
  struct {
    std::string file, section, key, fallback, expected;
  } cases[] = {
      {"[Sec]\r\nKey = Value \r\n", "sec", "KEY", "D", "Value"},
      {" [ Sec ] \n\tKey\t=\t\"a b\"\t\n", " Sec ", "Key ", "D", "a b"},
      {"[S]\nk='x'\n", "S", "k", "D", "x"},
      {"[S]\nk=\"x'\n", "S", "k", "D", "\"x'"},
      {"[S]\nk=\n", "S", "k", "D", ""},
      {"[S]\nk\n", "S", "k", "D", "D"},
      {"[S]\n;k=1\n", "S", "k", "D", "D"},
      {"[S]\nk=1\nk=2\n[s]\nk=3\nj=4\n", "S", "k", "D", "1"},
      {"[S]\nk=1\nk=2\n[s]\nk=3\nj=4\n", "S", "j", "D", "D"},
      {"[S]\rk=1\r", "S", "k", "D", "1"},
      {"[S]\nk=1", "S", "k", "D", "1"},
      {"\xEF\xBB\xBF[S]\nk=1\n", "S", "k", "D", "1"},
      {"[\xC9]\nk=1\n", "\xE9", "k", "D", "D"},
      {"[S]\nk=\xC3\xA0\n", "S", "k", "D", "\xC3\xA0"},
      {"[S]\nk=" + std::string(300, 'v') + "\n", "S", "k", "D",
       std::string(259, 'v')},
      // Wine gives 258 characters here: it drops the closing quote only after
      // cutting the text, and so loses one character of the value.
      {"[S]\nk=\"" + q259 + "\"\n", "S", "k", "D", q259},
      {"", "S", "k", "  fb  ", "  fb"},
      {"", "S", "k", "   ", " "},
      {"", "S", "k", "'x'", "x"},
      {"", "S", "k", std::string(300, 'f'), std::string(259, 'f')},
  };
  for (const auto& c : cases) {
    Put(c.file);
    EXPECT_EQ(ReadString(file_, c.section, c.key, c.fallback), c.expected)
        << "file " << ::testing::PrintToString(c.file) << " [" << c.section
        << "] " << c.key;
  }
  EXPECT_EQ(ReadString((dir_ / "none.ini").string(), "S", "k", "D"), "D");
}

TEST_F(ProfileFileTest, ReadsNumbers) {
  struct {
    std::string value;
    std::uint32_t expected;
  } cases[] = {
      {"12", 12},
      {"+12", 12},
      {"-1", 0xFFFFFFFFu},
      {"12abc", 12},
      {"\" 7\"", 7},
      {"abc", 0},
      {"0x1f", 31},
      {"0X1f", 0},
      {"-0x10", 0xFFFFFFF0u},
      {"0b101", 5},
      {"0o17", 15},
      {"010", 10},
      {"4294967296", 0},
      {"+-1", 0},
      {"- 5", 0},
      {"", 55},
      {"\"\"", 55},
      // The value is cut to 29 characters before it is parsed.
      {std::string(29, '0') + "5", 0},
      // Wine reads 1 here, losing a digit the same way it loses a character
      // of a quoted 259-character text.
      {"\"" + std::string(27, '0') + "12\"", 12},
  };
  for (const auto& c : cases) {
    Put("[S]\nk=" + c.value + "\n");
    EXPECT_EQ(ReadInt(file_, "S", "k", 55), c.expected)
        << "value " << ::testing::PrintToString(c.value);
  }
  Put("[S]\nk\n");
  EXPECT_EQ(ReadInt(file_, "S", "k", 55), 55u);
  EXPECT_EQ(ReadInt(file_, "S", "missing", 0xFFFFFFFDu), 0xFFFFFFFDu);
}

// Every byte but the line concerned stays: blank lines, comments, blanks,
// and each line's own line end.
TEST_F(ProfileFileTest, WriteKeepsTheRestOfTheFile) {
  struct {
    std::string before, section, key, value, after;
  } cases[] = {
      {"; cfg\n[A]\n  k = 1 ; old\n\n[B]\nx = 2\n", "a", "K", "9",
       "; cfg\n[A]\nk=9\n\n[B]\nx = 2\n"},
      {"[A]\nk=1\n\n\n[B]\n", "A", "j", "2", "[A]\nk=1\nj=2\n\n\n[B]\n"},
      {"[A]\r\nk=1\r\n[B]\r\n", "B", "x", "2", "[A]\r\nk=1\r\n[B]\r\nx=2\r\n"},
      {"[A]\nk=1\n", "New", "k", "v", "[A]\nk=1\n[New]\nk=v\n"},
      {"[A]\nk=1", "New", "k", "v", "[A]\nk=1\n[New]\nk=v\n"},
      {"[A]", "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"[A]\r\nk=1\nm=2\n", "A", "n", "3", "[A]\r\nk=1\nm=2\nn=3\r\n"},
      {"[A]\n  k = same  \n", "A", "k", " same", "[A]\n  k = same  \n"},
      {"[A]\nk=1\nk=2\n", "A", "k", "3", "[A]\nk=3\nk=2\n"},
      {"\xEF\xBB\xBF", "A", "k", "v", "\xEF\xBB\xBF[A]\r\nk=v\r\n"},
      {"", " A ", " k ", " v ", "[A ]\r\nk =v \r\n"},
  };
  for (const auto& c : cases) {
    Put(c.before);
    EXPECT_TRUE(WriteString(file_, c.section, c.key, c.value));
    EXPECT_EQ(Get(), c.after)
        << "before " << ::testing::PrintToString(c.before) << " [" << c.section
        << "] " << c.key << "=" << c.value;
  }
}

TEST_F(ProfileFileTest, WriteCreatesTheFileButNeverItsDirectory) {
  EXPECT_TRUE(WriteString(file_, "S", "k", "v"));
  EXPECT_EQ(Get(), "[S]\r\nk=v\r\n");

  std::string lost = (dir_ / "missing" / "p.ini").string();
  EXPECT_FALSE(WriteString(lost, "S", "k", "v"));
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

TEST_F(ProfileFileTest, WriteReplacesTheFileWhole) {
  Put("[S]\nk=1\n");
  ASSERT_EQ(::chmod(file_.c_str(), 0640), 0);
  fs::path link = dir_ / "link.ini";
  fs::create_symlink(file_, link);

  ASSERT_TRUE(WriteString(link.string(), "S", "k", "2"));
  EXPECT_EQ(Get(), "[S]\nk=2\n");
  EXPECT_TRUE(fs::is_symlink(link));
  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Nothing of the temporary file is left beside it.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

// Pelmora.ini may hold the command key: a rewrite is never readable by
// more than the file it replaces, not even for a moment, since a reader
// keeps what it opened. The old mode comes back once the bytes are in.
TEST_F(ProfileFileTest, ARewriteIsNeverWiderThanTheFileItReplaces) {
  const mode_t umaskBefore = ::umask(022);
  for (const mode_t mode : {0600, 0640, 0604}) {
    Put("[COMMAND]\nKEY=000102\n[S]\nk=1\n");
    ASSERT_EQ(::chmod(file_.c_str(), mode), 0);
    std::vector<mode_t> modes;
    observedModes = &modes;
    const bool written = WriteString(file_, "S", "k", "2");
    observedModes = nullptr;
    ASSERT_TRUE(written);
    EXPECT_FALSE(modes.empty());
    for (const mode_t seen : modes)
      EXPECT_EQ(seen & ~mode, 0u) << std::oct << mode << " seen " << seen;
    struct stat st;
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(Get(), "[COMMAND]\nKEY=000102\n[S]\nk=2\n");
  }
  ::umask(umaskBefore);
}

TEST_F(ProfileFileTest, WriteFailsWhereNoFileCanBe) {
  fs::create_directory(dir_ / "sub.ini");
  EXPECT_FALSE(WriteString((dir_ / "sub.ini").string(), "S", "k", "v"));
  // A read-only file is left as it is, whoever runs the write.
  Put("[S]\nk=old\n");
  ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
  EXPECT_FALSE(WriteString(file_, "S", "k", "new"));
  EXPECT_EQ(Get(), "[S]\nk=old\n");
}

}  // namespace
