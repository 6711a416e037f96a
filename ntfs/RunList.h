// NTFS run lists (mapping pairs): the one decoder of the program.
//
// Format notes: a sequence of entries ending at a header byte 0. The header's low nibble
// L counts the length bytes, its high nibble O the offset bytes; the length is unsigned,
// the offset signed and relative to the previous run's first cluster. O = 0 is a sparse
// run (its clusters read as zeros).
//
// Every entry is checked against the bytes left before it is read. Oddities are treated
// as follows: a nibble above 8, a zero length, or an entry that runs past the buffer
// ends the decode as corrupt; a run whose clusters fall before cluster 0 or past the
// volume's cluster count (when given) is corrupt; the VCNs must not overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct NtfsRun {
  uint64_t nVcn = 0;     // first VCN of the run
  uint64_t nLcn = 0;     // first cluster; meaningless when bSparse
  uint64_t nLength = 0;  // clusters
  bool bSparse = false;
};

enum class RunListResult { Ok, Corrupt };

// Decodes the run list in [data, data + size), starting at firstVcn. clusterCount 0
// skips the volume bound. At most maxRuns runs are decoded (more is corrupt).
RunListResult DecodeRunList(const uint8_t* data, size_t size, uint64_t firstVcn, uint64_t clusterCount,
                            std::vector<NtfsRun>& runs, size_t maxRuns = 65536);

// The run holding vcn: its LCN at vcn (0 for sparse) and the clusters left in the run
// from vcn on. False when no run holds it.
bool MapVcnInRuns(const std::vector<NtfsRun>& runs, uint64_t vcn, uint64_t& lcn, uint64_t& remaining, bool& sparse);
