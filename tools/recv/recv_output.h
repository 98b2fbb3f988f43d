// What the receiver shows: a line per datagram, as text or as a JSON
// object; the live table; the summary on exit; and the mirror file.
#ifndef PELMORA_TOOLS_RECV_RECV_OUTPUT_H_
#define PELMORA_TOOLS_RECV_RECV_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datagram.h"
#include "recv_options.h"
#include "signed_datagram.h"
#include "stations.h"

namespace pelmora::recv {

// To stdout, unless the options say quiet or live; the caller flushes.
void PrintDatagram(const RecvOptions& options, const wire::Datagram& datagram,
                   std::size_t size);
// A command or a reply seen on the link; not checked against a key.
void PrintSigned(const RecvOptions& options,
                 const wire::SignedDatagram& datagram, std::size_t size);
void PrintMalformed(const RecvOptions& options,
                    const std::vector<std::uint8_t>& bytes,
                    const std::string& error);

// The totals first, in the lines a one-station run has always had, so that
// readers of those lines need not know about stations; then, when more
// than one station was seen, the same for each.
void PrintSummary(const RecvOptions& options, const StationSet& set);

// The live table as it is now, drawn over the last frame, and flushed.
void DrawLiveTable(const RecvOptions& options, const StationSet& set);

// One station's file is 'name|value' lines; with more, each line leads
// with the MAC so that the stations' points stay apart. False, with the
// reason on stderr, when the file cannot be written.
bool WriteMirror(const std::string& path, const StationSet& set);

}  // namespace pelmora::recv

#endif  // PELMORA_TOOLS_RECV_RECV_OUTPUT_H_
