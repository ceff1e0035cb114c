#pragma once

#include <cstdint>
#include <vector>

namespace Quorvel {

struct QVPerfSample;

// The frames of one sample's call chain: those of its first context, and
// after kernel frames the user frames that follow them. `context` is the
// first context marker (0 when the chain has none); the sample's own IP
// leads the frames unless the chain already starts with it. Any other
// second marker ends the walk. A sample without any marker (recorded
// without -g, or with --call-graph dwarf, whose user part is a stack copy
// and not a chain) still has its IP: it is the one frame, in the mode the
// record's misc field gives. Returns false for a first marker other
// than the kernel or user context, which the caller reports and drops.
bool QVPerfCallchainFrames(const QVPerfSample& sample, std::uint64_t& context,
                           std::vector<std::uint64_t>& frames);

}  // namespace Quorvel
