#include "ntfs/RunList.h"

RunListResult DecodeRunList(const uint8_t* data, size_t size, uint64_t firstVcn, uint64_t clusterCount,
                            std::vector<NtfsRun>& runs, size_t maxRuns) {
  runs.clear();
  size_t pos = 0;
  uint64_t vcn = firstVcn;
  int64_t lcn = 0;
  for (;;) {
    if (pos >= size) return RunListResult::Corrupt;  // the end byte is missing
    uint8_t header = data[pos];
    if (header == 0) return RunListResult::Ok;
    size_t l = header & 0x0F, o = header >> 4;
    if (l == 0 || l > 8 || o > 8 || size - pos - 1 < l + o) return RunListResult::Corrupt;
    uint64_t length = 0;
    for (size_t k = 0; k < l; ++k) length |= uint64_t(data[pos + 1 + k]) << (8 * k);
    int64_t offset = 0;
    if (o) {
      uint64_t raw = 0;
      for (size_t k = 0; k < o; ++k) raw |= uint64_t(data[pos + 1 + l + k]) << (8 * k);
      if (o < 8 && (raw >> (8 * o - 1)) & 1) raw |= ~uint64_t(0) << (8 * o);  // sign-extend
      offset = static_cast<int64_t>(raw);
    }
    pos += 1 + l + o;
    if (length == 0 || length > (uint64_t(1) << 48) || runs.size() >= maxRuns) return RunListResult::Corrupt;
    NtfsRun run;
    run.nVcn = vcn;
    run.nLength = length;
    run.bSparse = o == 0;
    if (!run.bSparse) {
      if (__builtin_add_overflow(lcn, offset, &lcn) || lcn < 0) return RunListResult::Corrupt;
      run.nLcn = static_cast<uint64_t>(lcn);
      if (clusterCount && (run.nLcn >= clusterCount || length > clusterCount - run.nLcn))
        return RunListResult::Corrupt;
    }
    if (__builtin_add_overflow(vcn, length, &vcn)) return RunListResult::Corrupt;
    runs.push_back(run);
  }
}

bool MapVcnInRuns(const std::vector<NtfsRun>& runs, uint64_t vcn, uint64_t& lcn, uint64_t& remaining, bool& sparse) {
  for (const auto& r : runs) {
    if (vcn >= r.nVcn && vcn - r.nVcn < r.nLength) {
      sparse = r.bSparse;
      lcn = r.bSparse ? 0 : r.nLcn + (vcn - r.nVcn);
      remaining = r.nLength - (vcn - r.nVcn);
      return true;
    }
  }
  return false;
}
