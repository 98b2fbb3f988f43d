#include "bd_seq_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "line_file.h"
#include "sequence_file.h"
#include "tool_options.h"

namespace pelmora::gateway {
namespace {

constexpr std::uint64_t kBdSeqModulus = 256;

// A topic level as part of a file name: letters, digits, '_' and '.' as
// they are, every other byte as %XX, so that no two nodes share a name
// and none leaves the folder.
std::string FileNamePart(const std::string& level) {
  std::string part;
  for (const unsigned char c : level) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c >= '0' && c <= '9') || c == '_' || c == '.') {
      part += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      part += hex;
    }
  }
  return part;
}

}  // namespace

std::string BdSeqFile::PathIn(const std::string& folder,
                              const std::string& group,
                              const std::string& edgeNode) {
  return folder + "/sparkplug-bdseq-" + FileNamePart(group) + "-" +
         FileNamePart(edgeNode);
}

bool BdSeqFile::Load(std::uint64_t* first, std::string* error) {
  *first = 0;
  if (path_.empty()) return true;
  const auto lines = wire::ReadContentLines(path_);
  if (!lines) {
    if (errno == ENOENT) return true;
    *error = "cannot read " + path_ + ": " + std::strerror(errno);
    return false;
  }
  std::uint64_t kept = 0;
  if (lines->size() != 1 ||
      !wire::ParseNumber<std::uint64_t>((*lines)[0].text, 0, kBdSeqModulus - 1,
                                        &kept)) {
    *error = path_ + ": not one bdSeq from 0 to 255";
    return false;
  }
  kept_ = true;
  last_ = kept;
  *first = (kept + 1) % kBdSeqModulus;
  return true;
}

bool BdSeqFile::Keep(std::uint64_t bdSeq, std::string* error) {
  if (path_.empty() || (kept_ && last_ == bdSeq)) return true;
  if (!wire::ReplaceFile(path_,
                         "# The bdSeq of the Sparkplug edge node's last "
                         "CONNECT, kept by the\n# Pelmora gateway so that "
                         "a restart continues above it.\n" +
                             std::to_string(bdSeq) + "\n",
                         error)) {
    return false;
  }
  kept_ = true;
  last_ = bdSeq;
  return true;
}

}  // namespace pelmora::gateway
