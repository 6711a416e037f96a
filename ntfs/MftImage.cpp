// The MFT image of an NTFS volume: locating the MFT, reading and checking its records,
// the index of records by parent folder, and the blocks of records kept in memory.
//
// Format notes: the MFT is the $DATA stream of record 0, a run of fixed-size records
// (m_nRecordSize bytes; record n at byte n x m_nRecordSize of the stream). Record 0 lies
// at the boot sector's MFT cluster; its $DATA runs map the rest, continued in extension
// records named by its $ATTRIBUTE_LIST when the MFT is fragmented. A record begins
// "FILE" and is fixed up (update sequence) and checked (MftRecord.h) before any field of
// it is read. Fields used here (ntfs/NTFSLayout.h): the flags word at 0x16 (in use,
// folder), the base record reference at 0x20 (48 bits; 0 in a base record) and, in the
// $FILE_NAME value, the parent folder reference at 0 (48 bits) and the flags at 0x38.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include <sys/mman.h>

#include "ntfs/MftRecord.h"
#include "ntfs/NTFSDriver.h"
#include "ntfs/NTFSLayout.h"
#include "ntfs/NtfsStream.h"
#include "ntfs/RunList.h"
#include "platform/ByteReader.h"
#include "platform/RawDevice.h"
#include "tasks/FrontEnd.h"
#include "tasks/Progress.h"
#include "tasks/StopEvents.h"

using namespace ntfsrecord;

// The volume's only memory outside its members: the blocks of the MFT read so far.
CNTFSDriver::~CNTFSDriver() {
  for (uint64_t b = 0; b < m_nBlockCount; ++b)
    if (uint8_t* block = m_blocks[b].load(std::memory_order_relaxed)) ::munmap(block, m_nBlockBytes);
}

bool CNTFSDriver::ReadClusterRange(uint64_t lcn, uint64_t count, uint8_t* buffer) {
  if (count == 0) return true;
  if (count > 0xFFFFFFFFu / m_nSectorsPerCluster) return false;
  return ReadSectors(ClusterToSector(lcn), buffer, m_nBytesPerSector, uint32_t(count * m_nSectorsPerCluster));
}

bool CNTFSDriver::PrepareMft() {
  m_pMftRecord.assign(m_nRecordSize, 0);
  m_pRecordBuffer.assign(m_nRecordSize, 0);
  uint64_t sector;
  if (__builtin_mul_overflow(m_geometry.nMftCluster, uint64_t(m_nSectorsPerCluster), &sector)) return false;
  if (!ReadSectors(sector, m_pMftRecord.data(), m_nBytesPerSector, m_nRecordSize / m_nBytesPerSector)) return false;
  if (!ApplyFixup(m_pMftRecord) || CheckRecord(m_pMftRecord) != RecordCheck::Ok) return false;
  AttributeView data = FindAttribute(m_pMftRecord, kData);
  if (!data || !data.NonResident() || data.FirstVcn() != 0) return false;
  auto rl = data.RunList();
  if (DecodeRunList(rl.data(), rl.size(), data.FirstVcn(), m_nClusterCount, m_mftRuns) != RunListResult::Ok ||
      m_mftRuns.empty())
    return false;
  m_nMftBytes = data.RealSize();
  // An MFT fragmented beyond what record 0 can hold continues in extension records
  // named by record 0's attribute list; their runs are added in VCN order.
  NtfsStream full;
  if (LoadStream(0, kData, full) && !full.bResident && !full.runs.empty()) m_mftRuns = full.runs;
  // The MFT is as long as its runs map from VCN 0 on without a gap, and never longer
  // than the volume, nor than the device that holds it (the boot sector's size is only a
  // claim): a hostile size must not decide how much memory the image takes.
  uint64_t mapped = 0;
  for (const auto& r : m_mftRuns) {
    if (r.nVcn != mapped) break;
    mapped += r.nLength;
  }
  mapped = std::min(mapped, m_nClusterCount);
  if (m_hDevice) mapped = std::min<uint64_t>(mapped, m_hDevice->Size() / m_nBytesPerCluster);
  m_nMftBytes = std::min(m_nMftBytes, mapped * m_nBytesPerCluster);
  m_nRecordCount = m_nMftBytes / m_nRecordSize;
  return m_nRecordCount > 5;
}

bool CNTFSDriver::ReadRecord(uint64_t n, uint8_t* buffer) {
  // Once the MFT is in memory, records come from there (fixed up and checked already).
  if (m_bMftLoaded) {
    const uint8_t* r = ImageRecord(n);
    if (!r) return false;
    std::memcpy(buffer, r, m_nRecordSize);
    return true;
  }
  uint64_t offset;
  if (__builtin_mul_overflow(n, uint64_t(m_nRecordSize), &offset)) return false;
  std::span<uint8_t> rec(buffer, m_nRecordSize);
  if (!ReadStreamBytes(m_mftRuns, offset, buffer, m_nRecordSize)) return false;
  return ApplyFixup(rec) && CheckRecord(rec) == RecordCheck::Ok;
}

bool CNTFSDriver::ReadMftBytes(uint64_t offset, uint64_t length, uint8_t* out) {
  const uint64_t bpc = m_nBytesPerCluster;
  for (uint64_t vcn = offset / bpc, left = length / bpc; left > 0;) {
    uint64_t lcn, remaining;
    bool sparse;
    if (!MapVcnInRuns(m_mftRuns, vcn, lcn, remaining, sparse)) return false;
    const uint64_t n = std::min(remaining, left);
    // When the read fails it is done again a sector at a time, and only what cannot be
    // read is left as zeros (the records there then fail their fixup or are not "FILE"),
    // so a bad sector costs the record it holds and no other.
    if (sparse) {
      std::memset(out, 0, n * bpc);
    } else if (!ReadClusterRange(lcn, n, out)) {
      const uint64_t bps = m_nBytesPerSector, first = ClusterToSector(lcn);
      for (uint64_t k = 0; k < n * m_nSectorsPerCluster; ++k) {
        if (ReadSectors(first + k, out + k * bps, uint32_t(bps), 1)) continue;
        // A source that stopped answering ends the read (the bad-sector policy, platform/BadAreas.h).
        if (m_hDevice && m_hDevice->IsGone()) return false;
        std::memset(out + k * bps, 0, bps);
      }
    }
    out += n * bpc;
    vcn += n;
    left -= n;
  }
  return true;
}

void CNTFSDriver::AdmitRecord(uint8_t* record, uint64_t index, std::vector<uint32_t>*& lastList,
                              uint64_t& lastParent) {
  std::span<uint8_t> r(record, m_nRecordSize);
  if (index > 0xFFFFFFFFu || !ApplyFixup(r) || CheckRecord(r) != RecordCheck::Ok) return;
  // The record is indexed under the parent of each name it is listed by (a hard link in
  // another folder is listed there too), once per folder.
  ForEachListedName(r, [&](const NtfsFileNameView& name) {
    const uint64_t parent = name.Parent();
    // Records of one folder mostly follow each other: the last folder's list is kept at hand.
    if (!lastList || parent != lastParent) {
      lastList = &m_children[parent];
      lastParent = parent;
    }
    if (lastList->empty() || lastList->back() != uint32_t(index)) lastList->push_back(uint32_t(index));
  });
}

bool CNTFSDriver::ScanMft(IProgressWindow* progress) {
  if (m_bMftLoaded) return true;
  const uint64_t bpc = m_nBytesPerCluster;
  const uint64_t clusters = (m_nMftBytes + bpc - 1) / bpc;
  // Cluster and record sizes are powers of two, so the largest of the three is a
  // multiple of both.
  m_nBlockBytes = std::max<uint64_t>({uint64_t(CRawDevice::kDefaultWindowBytes), bpc, m_nRecordSize});
  m_nRecordsPerBlock = m_nBlockBytes / m_nRecordSize;
  m_children.clear();
  // The MFT is read a block at a time into one buffer that stays in the processor's
  // cache; nothing of it is kept but the index. Holding the whole MFT would cost a page
  // fault per 4 KiB of it, more than reading and checking it.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[m_nBlockBytes]);
  uint64_t nextRecord = 0, lastParent = 0, chunks = 0;
  std::vector<uint32_t>* lastList = nullptr;
  for (uint64_t offset = 0; offset < clusters * bpc; offset += m_nBlockBytes) {
    if (progress && IsDialogStopSignalled()) {
      m_children.clear();
      return false;
    }
    const uint64_t length = std::min(m_nBlockBytes, clusters * bpc - offset);
    // PrepareMft sized the MFT by runs that map it without a gap.
    if (!ReadMftBytes(offset, length, buffer.get())) {
      m_children.clear();
      return false;
    }
    for (uint64_t at = 0; nextRecord < m_nRecordCount && at + m_nRecordSize <= length; at += m_nRecordSize)
      AdmitRecord(buffer.get() + at, nextRecord++, lastList, lastParent);
    if (chunks++ % 32 == 0)
      SendProgress(progress, WM_SCANPROGRESS, SCAN_POSITION, int64_t((offset + length) / bpc));
  }
  m_nBlockCount = (m_nRecordCount + m_nRecordsPerBlock - 1) / m_nRecordsPerBlock;
  m_nValidWordsPerBlock = (m_nRecordsPerBlock + 63) / 64;
  m_blocks = std::make_unique<std::atomic<uint8_t*>[]>(m_nBlockCount);
  m_validBits.assign(m_nBlockCount * m_nValidWordsPerBlock, 0);
  m_bMftLoaded = true;
  return true;
}

void CNTFSDriver::EnsureMftLoaded() {
  if (m_bMftLoaded) return;
  if (!FrontEndHooks().ReadMft(this)) ScanMft(nullptr);
}

const uint8_t* CNTFSDriver::LoadBlock(uint64_t b) {
  if (uint8_t* block = m_blocks[b].load(std::memory_order_acquire)) return block;
  std::lock_guard<std::mutex> lock(m_blockLock);
  if (uint8_t* block = m_blocks[b].load(std::memory_order_relaxed)) return block;
  // Pages taken in one call rather than one fault at a time as the read fills them.
  void* mem = ::mmap(nullptr, m_nBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (mem == MAP_FAILED) return nullptr;
  auto* block = static_cast<uint8_t*>(mem);
  const uint64_t first = b * m_nRecordsPerBlock;
  const uint64_t count = std::min(m_nRecordsPerBlock, m_nRecordCount - first);
  const uint64_t bpc = m_nBytesPerCluster;
  const uint64_t length = std::min(m_nBlockBytes, (m_nMftBytes + bpc - 1) / bpc * bpc - b * m_nBlockBytes);
  // The runs mapped this range when the MFT was read; records that no longer pass (the
  // device changed, or a read fails now) are left out like any other bad record.
  uint64_t* valid = &m_validBits[b * m_nValidWordsPerBlock];
  if (ReadMftBytes(b * m_nBlockBytes, length, block)) {
    for (uint64_t k = 0; k < count; ++k) {
      std::span<uint8_t> r(block + k * m_nRecordSize, m_nRecordSize);
      if (ApplyFixup(r) && CheckRecord(r) == RecordCheck::Ok) valid[k / 64] |= uint64_t(1) << (k % 64);
    }
  }
  m_blocks[b].store(block, std::memory_order_release);
  return block;
}

const uint8_t* CNTFSDriver::ImageRecord(uint64_t index) {
  if (!m_bMftLoaded || index >= m_nRecordCount) return nullptr;
  const uint64_t b = index / m_nRecordsPerBlock, k = index % m_nRecordsPerBlock;
  const uint8_t* block = LoadBlock(b);
  if (!block || !(m_validBits[b * m_nValidWordsPerBlock + k / 64] & (uint64_t(1) << (k % 64)))) return nullptr;
  return block + k * m_nRecordSize;
}

uint64_t CNTFSDriver::OwnerOf(uint64_t index) {
  const uint8_t* r = ImageRecord(index);
  if (!r) return index;
  uint64_t base = bytes::RawLE64(r + kBaseRecord) & kRecordNumberMask;
  return base != 0 && base != index && ImageRecord(base) ? base : index;
}

const std::vector<uint32_t>& CNTFSDriver::ChildrenOf(uint64_t parent) {
  static const std::vector<uint32_t> none;
  auto it = m_children.find(parent);
  return it == m_children.end() ? none : it->second;
}

bool CNTFSDriver::HasChildFolder(uint64_t record) {
  EnsureMftLoaded();
  if (!m_bMftLoaded) return false;
  if (record == 0 || record == 1) return true;
  for (uint32_t d : ChildrenOf(record)) {
    const uint64_t owner = OwnerOf(d);
    if (owner == record) continue;
    const uint8_t* r = ImageRecord(d);
    if (!r || !(bytes::RawLE16(ImageRecord(owner) + kFlags) & kFlagFolder)) continue;
    bool found = false;
    ForEachListedName({r, m_nRecordSize}, [&](const NtfsFileNameView& name) {
      found = found || (name.Parent() == record && !(name.Flags() & kFnFlagSystem));
    });
    if (found) return true;
  }
  return false;
}
