#include "line_file.h"

#include <cstdio>
#include <memory>

namespace pelmora::wire {

std::optional<std::vector<FileLine>> ReadFileLines(const std::string& path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
    bytes.append(buffer, got);
  if (std::ferror(file.get())) return std::nullopt;

  std::vector<FileLine> lines;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back({static_cast<int>(lines.size()) + 1, std::string(line)});
  }
  return lines;
}

std::optional<std::vector<FileLine>> ReadContentLines(const std::string& path) {
  std::optional<std::vector<FileLine>> lines = ReadFileLines(path);
  if (!lines) return std::nullopt;
  std::vector<FileLine> content;
  for (FileLine& line : *lines) {
    const std::string_view text = TrimBlanks(line.text);
    if (text.empty() || text.front() == '#') continue;
    content.push_back({line.number, std::string(text)});
  }
  return content;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

}  // namespace pelmora::wire
