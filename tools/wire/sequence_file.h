// The sequences a server has used per station, kept in a small file so that
// a restarted server (the gateway, or pelmora-cmd in its place) continues
// above them: a station acts only on a sequence above the last one of its
// session, and a server that started again from below would have its
// commands called old.
//
// One "MAC SEQUENCE" line per station, '#' comments. The file is replaced
// whole, never edited in place: written to a temporary file beside it,
// synced, renamed over it, the folder synced, so that a crash or a power
// cut leaves the old file or the new one, never a part. Linux only, like
// the command path it serves.
#ifndef PELMORA_TOOLS_WIRE_SEQUENCE_FILE_H_
#define PELMORA_TOOLS_WIRE_SEQUENCE_FILE_H_

#include <cstdint>
#include <map>
#include <string>

namespace pelmora::wire {

// The folder a server keeps its state in unless told: $STATE_DIRECTORY (the
// first, where systemd gives several), else $XDG_STATE_HOME/pelmora, else
// ~/.local/state/pelmora; empty with `error` when none of them is set.
std::string DefaultStateDirectory(std::string* error);

// Makes the folder `path` (and those above it) where missing, owner-only;
// false with `error` naming it when it cannot be made or is no folder.
bool MakeStateDirectory(const std::string& path, std::string* error);

// Replaces the file at `path` with `text` whole: written to "PATH.new"
// beside it, synced, renamed over it, the folder synced, so that a crash
// leaves the old file or the new one, never a part. False with `error`
// naming the file when it could not, which leaves the old one as it was.
bool ReplaceFile(const std::string& path, const std::string& text,
                 std::string* error);

class SequenceFile {
 public:
  // The name of the file in a state folder.
  static constexpr char kName[] = "sequences";

  // `path` empty: kept in memory only, for tests of other rules.
  explicit SequenceFile(std::string path) : path_(std::move(path)) {}

  // Reads the file; one that does not exist yet holds nothing. False with
  // `error` naming the file, and the line that is not "MAC SEQUENCE".
  bool Load(std::string* error);

  // The sequence kept for `mac` ("00-11-22-33-44-55"); 0 when none.
  std::uint32_t Kept(const std::string& mac) const;

  // Keeps `sequences`, each raised to what was kept and to what the file
  // holds now (a server that ran meanwhile), beside every other station's;
  // false with `error` when the file could not be replaced, which leaves
  // what was kept as it was.
  bool Keep(const std::map<std::string, std::uint32_t>& sequences,
            std::string* error);

  const std::string& path() const { return path_; }

 private:
  // Reads the file into `kept`; `*error` as Load's.
  bool Read(std::map<std::string, std::uint32_t>* kept,
            std::string* error) const;

  std::string path_;
  std::map<std::string, std::uint32_t> kept_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_SEQUENCE_FILE_H_
