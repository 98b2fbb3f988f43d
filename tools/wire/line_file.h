// Files of lines as the tools read them: config files, key files, a
// password or a token on a file's first line. Lines end in LF or CR LF,
// the last one with or without, so a file written on Windows reads the
// same.
#ifndef PELMORA_TOOLS_WIRE_LINE_FILE_H_
#define PELMORA_TOOLS_WIRE_LINE_FILE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora::wire {

struct FileLine {
  int number = 0;  // from 1, as an editor counts
  std::string text;
};

// Every line of the file at `path`, without its end; nothing when the file
// cannot be opened or read (a directory cannot).
std::optional<std::vector<FileLine>> ReadFileLines(const std::string& path);

// The lines that say something, for files of settings and of keys: blanks
// trimmed from both ends, blank lines and '#' comment lines left out; each
// keeps its number in the file, for the complaint about it.
std::optional<std::vector<FileLine>> ReadContentLines(const std::string& path);

// The text without the blanks (spaces, tabs, a line's CR) around it.
std::string_view TrimBlanks(std::string_view text);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_LINE_FILE_H_
