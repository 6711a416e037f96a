// One MFT record over arbitrary bytes: the input is padded or cut to a record of 1024 bytes
// (inputs up to 1024 bytes) or 4096 bytes (longer ones). The fixup and the bounds gate run
// on it; only a record the gate accepts is walked, as every reader of the program walks
// one: the attributes the volume code looks up (0x10, 0x20, 0x30, 0x80), then every
// attribute in turn with each accessor, and every non-resident run list decoded and
// mapped. The oracles are the sanitizers and the gate's promises: a value or run list that
// an accessor hands out lies inside its attribute, and the attribute inside the record.
//
// The seeds in corpus/fuzz_ntfs_record are records of the fuzz_ntfs_volume seeds: from the
// volume mkntfs made, record 0, the root, a folder, and files resident, compressed,
// fragmented, sparse and deleted; from the Windows-made images, their roots, a folder, a
// file with DOS and Win32 names, and the compressed file; one record padded to 4096 bytes and
// one cut after 300 bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/MftRecord.h"
#include "ntfs/RunList.h"

namespace {
// Traps when a span an accessor handed out leaves the attribute it came from.
void CheckInside(const AttributeView& a, std::span<const uint8_t> part) {
  if (part.empty()) return;
  if (part.data() < a.p || part.data() + part.size() > a.p + a.nLength) __builtin_trap();
}

void Walk(const AttributeView& a, std::span<const uint8_t> record) {
  if (!a) return;
  if (a.p < record.data() || a.p + a.nLength > record.data() + record.size()) __builtin_trap();
  volatile uint64_t sink = a.Type();
  sink = sink + a.Named() + a.ValueSize() + a.ValueAllocatedSize();
  auto value = a.Value();
  CheckInside(a, value);
  uint64_t sum = 0;
  for (uint8_t b : value) sum += b;
  sink = sink + sum;
  if (!a.NonResident()) return;
  sink = sink + a.FirstVcn() + a.LastVcn() + a.AllocatedSize() + a.RealSize();
  auto rl = a.RunList();
  CheckInside(a, rl);
  for (uint64_t clusters : {uint64_t(0), uint64_t(1) << 20}) {
    std::vector<NtfsRun> runs;
    if (DecodeRunList(rl.data(), rl.size(), a.FirstVcn(), clusters, runs) != RunListResult::Ok) continue;
    uint64_t lcn, remaining;
    bool sparse;
    for (const auto& r : runs) {
      if (!MapVcnInRuns(runs, r.nVcn, lcn, remaining, sparse)) __builtin_trap();
      (void)MapVcnInRuns(runs, r.nVcn + r.nLength - 1, lcn, remaining, sparse);
    }
    (void)MapVcnInRuns(runs, a.LastVcn(), lcn, remaining, sparse);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> record(data, data + std::min<size_t>(size, 4096));
  record.resize(size <= 1024 ? 1024 : 4096, 0);
  (void)ApplyFixup(record);
  std::span<const uint8_t> r(record);
  if (CheckRecord(r) != RecordCheck::Ok) return 0;

  for (uint32_t type : {0x10u, 0x20u, 0x30u, 0x80u}) Walk(FindAttribute(r, type), r);

  // Every attribute, from the first on, as the gate lets a walk rely on.
  size_t pos = uint16_t(record[0x14] | record[0x15] << 8);
  for (int n = 0; n < 1024; ++n) {
    const uint8_t* p = record.data() + pos;
    uint32_t type = uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
    if (type == 0xFFFFFFFFu) break;
    AttributeView a{p, uint32_t(p[4] | p[5] << 8 | p[6] << 16 | uint32_t(p[7]) << 24)};
    Walk(a, r);
    pos += a.nLength;
  }
  return 0;
}
