// The run-list decoder and the VCN lookup over arbitrary bytes. The input's first four bytes
// are the volume's cluster count (little-endian; 0 leaves the volume bound out), the next two
// the first VCN; the rest is the run list. A decode that answers Ok must hold its promises,
// checked here: runs follow each other without gaps from the first VCN, no run is empty, a
// run with clusters lies inside the volume, and the lookup answers every VCN of every run
// with that run's cluster and the clusters left, and nothing just past the last run.
//
// The seeds in corpus/fuzz_runlist are the $DATA run lists of fuzz_ntfs_volume seeds (the
// MFT's in one run and in two, a fragmented, a sparse and a compressed file's, and two of the
// Windows-made images) and hand-made edge cases (eight-byte lengths and offsets, a negative
// offset, a run past the volume after a sparse one, a missing end byte).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/RunList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint64_t clusters = uint64_t(data[0]) | uint64_t(data[1]) << 8 | uint64_t(data[2]) << 16 |
                            uint64_t(data[3]) << 24;
  const uint64_t firstVcn = uint64_t(data[4]) | uint64_t(data[5]) << 8;
  // A copy of exactly the run list's bytes, so that a read past them is caught.
  std::vector<uint8_t> list(data + 6, data + size);

  std::vector<NtfsRun> runs;
  RunListResult result = DecodeRunList(list.data(), list.size(), firstVcn, clusters, runs, 256);
  uint64_t lcn = 0, remaining = 0;
  bool sparse = false;
  if (result != RunListResult::Ok) {
    (void)MapVcnInRuns(runs, firstVcn, lcn, remaining, sparse);
    return 0;
  }
  if (runs.size() > 256) __builtin_trap();
  uint64_t next = firstVcn;
  for (const auto& r : runs) {
    if (r.nVcn != next || r.nLength == 0) __builtin_trap();
    if (!r.bSparse && clusters && (r.nLcn >= clusters || r.nLength > clusters - r.nLcn)) __builtin_trap();
    next = r.nVcn + r.nLength;
    for (uint64_t vcn : {r.nVcn, r.nVcn + r.nLength / 2, r.nVcn + r.nLength - 1}) {
      if (!MapVcnInRuns(runs, vcn, lcn, remaining, sparse)) __builtin_trap();
      if (sparse != r.bSparse || remaining != r.nLength - (vcn - r.nVcn)) __builtin_trap();
      if (!sparse && lcn != r.nLcn + (vcn - r.nVcn)) __builtin_trap();
    }
  }
  if (next > firstVcn && MapVcnInRuns(runs, next, lcn, remaining, sparse)) __builtin_trap();
  if (firstVcn > 0 && MapVcnInRuns(runs, firstVcn - 1, lcn, remaining, sparse)) __builtin_trap();
  return 0;
}
