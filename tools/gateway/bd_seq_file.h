// The bdSeq of the edge node's last CONNECT, kept in the gateway's state
// folder so that the process that replaces it starts one above: the will
// of a predecessor whose connection the broker has not yet seen end (a
// machine that died, a process frozen) then never matches the NBIRTH of
// the process that is alive.
//
// The file holds one line, the number (0 to 255), and is replaced whole
// (wire::ReplaceFile), never edited in place. One file per edge node, so
// that gateways of several nodes can share a state folder.
#ifndef PELMORA_TOOLS_GATEWAY_BD_SEQ_FILE_H_
#define PELMORA_TOOLS_GATEWAY_BD_SEQ_FILE_H_

#include <cstdint>
#include <string>

namespace pelmora::gateway {

// Used by one thread at a time: Load before the broker link starts, Keep
// from its network thread after.
class BdSeqFile {
 public:
  // The file of edge node `edgeNode` of `group` in state folder `folder`.
  static std::string PathIn(const std::string& folder, const std::string& group,
                            const std::string& edgeNode);

  // `path` empty: nothing is read or kept (a node that starts at 0).
  explicit BdSeqFile(std::string path) : path_(std::move(path)) {}

  // The bdSeq this process starts with: one above the one kept, 0 when no
  // file is there yet. False with `error` naming the file when it cannot
  // be read or holds no such number.
  bool Load(std::uint64_t* first, std::string* error);

  // Keeps `bdSeq` as the last one used, before the CONNECT that carries it
  // is sent; nothing is written when it is kept already. False with
  // `error` when the file could not be replaced.
  bool Keep(std::uint64_t bdSeq, std::string* error);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool kept_ = false;
  std::uint64_t last_ = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_BD_SEQ_FILE_H_
