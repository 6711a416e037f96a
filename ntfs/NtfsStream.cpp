#include "ntfs/NtfsStream.h"

#include <algorithm>
#include <cstring>

#include "ntfs/Lznt1.h"
#include "ntfs/MftRecord.h"
#include "ntfs/NTFSDriver.h"

using namespace ntfsrecord;

namespace {
constexpr size_t kMaxAttributeListBytes = 1 << 20;
// Uncompressed content is read in pieces of at most this many bytes.
constexpr uint64_t kPieceBytes = 1 << 20;
// Compression units above this size are refused rather than allocated (16 clusters of
// 4 KiB, 64 KiB, in practice).
constexpr uint64_t kMaxCompressionUnitBytes = 4u << 20;

// Clusters mapped from VCN 0 on without a gap (sparse runs count: they are mapped to zeros).
uint64_t MappedClusters(const std::vector<NtfsRun>& runs) {
  uint64_t mapped = 0;
  for (const auto& r : runs) {
    if (r.nVcn != mapped) break;
    mapped += r.nLength;
  }
  return mapped;
}
}  // namespace

std::u16string NtfsFileNameView::Name() const {
  std::u16string name(NameLength(), u'\0');
  for (size_t k = 0; k < name.size(); ++k) name[k] = NameUnit(k);
  return name;
}

uint64_t StreamContentBytes(const NtfsStream& s, uint32_t bytesPerCluster) {
  if (s.bResident) return s.value.size();
  const uint64_t mapped = MappedClusters(s.runs);
  uint64_t mappedBytes;
  if (__builtin_mul_overflow(mapped, uint64_t(bytesPerCluster), &mappedBytes)) mappedBytes = UINT64_MAX;
  return std::min(s.nRealSize, mappedBytes);
}

bool FirstClusterOf(const NtfsStream& s, uint64_t& lcn) {
  if (s.bResident || s.runs.empty()) return false;
  uint64_t remaining;
  bool sparse;
  return MapVcnInRuns(s.runs, 0, lcn, remaining, sparse) && !sparse;
}

namespace {
// A piece of clusters whose read failed, read again sector by sector: the sectors that
// cannot be read are zeros in buffer and told to the sink (at content offset `at` + their
// place, within the `wanted` bytes the piece delivers). False when the source stopped
// answering or a sector lies past the device's end.
bool ReadAroundBadSectors(CNTFSDriver& v, uint64_t lcn, uint64_t clusters, uint8_t* buffer, uint64_t at,
                          uint64_t wanted, IStreamSink& sink) {
  const uint64_t bps = v.m_nBytesPerSector, sectors = clusters * v.m_nSectorsPerCluster;
  const uint64_t first = v.ClusterToSector(lcn);
  for (uint64_t k = 0; k < sectors; ++k) {
    uint8_t* p = buffer + k * bps;
    if (v.ReadSectors(first + k, p, uint32_t(bps), 1)) continue;
    if (!v.FailedSectorsAreBad(first + k, 1)) return false;
    std::memset(p, 0, bps);
    if (k * bps < wanted) sink.Unreadable(at + k * bps, std::min(bps, wanted - k * bps));
  }
  return true;
}
}  // namespace

StreamReadResult ReadStreamContent(CNTFSDriver& v, const NtfsStream& s, const std::function<bool()>& stopped,
                                   IStreamSink& sink) {
  auto isStopped = [&] { return stopped && stopped(); };
  if (isStopped()) return StreamReadResult::Stopped;
  if (s.bResident) return sink.Data(s.value.data(), s.value.size()) ? StreamReadResult::Ok : StreamReadResult::SinkFailed;
  const uint64_t bpc = v.m_nBytesPerCluster;
  if (bpc == 0) return StreamReadResult::ReadFailed;
  const uint64_t content = StreamContentBytes(s, uint32_t(bpc));
  // Bytes past the initialized size are zeros: only [0, dataEnd) is read from the volume.
  const uint64_t dataEnd = std::min(s.nInitializedSize, content);
  const StreamReadResult complete = content < s.nRealSize ? StreamReadResult::Unmapped : StreamReadResult::Ok;
  uint64_t done = 0;
  // Delivers n bytes at the current position: the part below dataEnd from data (null for
  // zeros), the rest as zeros.
  auto deliver = [&](const uint8_t* data, uint64_t n) {
    const uint64_t real = done < dataEnd ? std::min(n, dataEnd - done) : 0;
    if (real) {
      if (data ? !sink.Data(data, real) : !sink.Zeros(real)) return false;
    }
    if (n > real && !sink.Zeros(n - real)) return false;
    done += n;
    return true;
  };

  if (s.bCompressed) {
    const uint64_t unitClusters = s.nCompressionUnitClusters, unitBytes = unitClusters * bpc;
    if (unitClusters == 0 || unitBytes > kMaxCompressionUnitBytes) return StreamReadResult::Corrupt;
    std::vector<uint8_t> stored(unitBytes), plain(unitBytes);
    for (uint64_t vcn = 0; done < content; vcn += unitClusters) {
      if (isStopped()) return StreamReadResult::Stopped;
      if (done >= dataEnd) {
        // Nothing from here on was ever written.
        if (!deliver(nullptr, content - done)) return StreamReadResult::SinkFailed;
        break;
      }
      {
        // Whole units inside one sparse run are zeros, delivered at once.
        uint64_t lcn, remaining;
        bool sparse;
        if (MapVcnInRuns(s.runs, vcn, lcn, remaining, sparse) && sparse && remaining >= unitClusters) {
          const uint64_t units = remaining / unitClusters, left = content - done;
          const uint64_t n = units > left / unitBytes ? left : std::min(units * unitBytes, left);
          if (!deliver(nullptr, n)) return StreamReadResult::SinkFailed;
          vcn += (units - 1) * unitClusters;
          continue;
        }
      }
      const uint64_t n = std::min(unitBytes, content - done);
      // A unit is stored whole (every cluster allocated), sparse (none: zeros), or
      // compressed into the clusters allocated at its start.
      uint64_t allocated = 0;
      for (uint64_t k = 0; k < unitClusters; ++k) {
        uint64_t lcn, remaining;
        bool sparse;
        if (!MapVcnInRuns(s.runs, vcn + k, lcn, remaining, sparse) || sparse) continue;
        if (!v.ReadClusterRange(lcn, 1, stored.data() + allocated * bpc)) return StreamReadResult::ReadFailed;
        ++allocated;
      }
      bool ok;
      if (allocated == 0) {
        ok = deliver(nullptr, n);
      } else if (allocated == unitClusters) {
        ok = deliver(stored.data(), n);
      } else {
        if (!DecompressLznt1(stored.data(), allocated * bpc, plain.data(), unitBytes)) return StreamReadResult::Corrupt;
        ok = deliver(plain.data(), n);
      }
      if (!ok) return StreamReadResult::SinkFailed;
    }
    return complete;
  }

  std::vector<uint8_t> buffer;
  for (uint64_t vcn = 0; done < content;) {
    if (isStopped()) return StreamReadResult::Stopped;
    uint64_t lcn, remaining;
    bool sparse;
    // content lies within the mapped extent, so every VCN below it maps.
    if (!MapVcnInRuns(s.runs, vcn, lcn, remaining, sparse)) return StreamReadResult::Unmapped;
    // A sparse run, or what lies past the initialized size, is zeros at once; data is read
    // in pieces.
    const uint64_t clusters = sparse || done >= dataEnd ? remaining : std::min(remaining, std::max<uint64_t>(1, kPieceBytes / bpc));
    const uint64_t left = content - done;
    const uint64_t n = clusters > left / bpc ? left : std::min(clusters * bpc, left);
    if (sparse || done >= dataEnd) {
      if (!deliver(nullptr, n)) return StreamReadResult::SinkFailed;
    } else {
      // Only the clusters holding initialized bytes are read.
      const uint64_t wanted = std::min(n, dataEnd - done);
      const uint64_t readClusters = (wanted + bpc - 1) / bpc;
      buffer.resize(readClusters * bpc);
      if (!v.ReadClusterRange(lcn, readClusters, buffer.data()) &&
          !ReadAroundBadSectors(v, lcn, readClusters, buffer.data(), done, wanted, sink))
        return StreamReadResult::ReadFailed;
      if (isStopped()) return StreamReadResult::Stopped;
      if (!deliver(buffer.data(), wanted)) return StreamReadResult::SinkFailed;
      if (n > wanted && !deliver(nullptr, n - wanted)) return StreamReadResult::SinkFailed;
    }
    vcn += clusters;
  }
  return complete;
}

// ---------------------------------------------------------------------------------------
// Reading streams of the volume's records.

bool CNTFSDriver::ReadStreamBytes(const std::vector<NtfsRun>& runs, uint64_t offset, uint8_t* out, size_t len) {
  const uint64_t bpc = m_nBytesPerCluster;
  std::vector<uint8_t> cluster(bpc);
  while (len > 0) {
    uint64_t vcn = offset / bpc, within = offset % bpc;
    uint64_t lcn, remaining;
    bool sparse;
    if (!MapVcnInRuns(runs, vcn, lcn, remaining, sparse)) return false;
    size_t piece = size_t(std::min<uint64_t>(len, bpc - within));
    if (sparse) {
      std::memset(out, 0, piece);
    } else {
      if (!ReadClusterRange(lcn, 1, cluster.data())) return false;
      std::memcpy(out, cluster.data() + within, piece);
    }
    out += piece;
    offset += piece;
    len -= piece;
  }
  return true;
}

namespace {
// An attribute list entry's name, when it fits in the entry.
bool EntryName(std::span<const uint8_t> entry, size_t length, std::u16string& name) {
  const size_t n = entry[kAlNameLength], at = entry[kAlNameOffset];
  if (n && (at < kAlMinLength || at + 2 * n > length)) return false;
  name.resize(n);
  for (size_t k = 0; k < n; ++k) name[k] = char16_t(bytes::RawLE16(entry.data() + at + 2 * k));
  return true;
}
}  // namespace

bool CNTFSDriver::ReadAttributeList(const AttributeView& list, std::vector<uint8_t>& entries) {
  // Read whole (bounded), resident or not.
  if (list.NonResident()) {
    std::vector<NtfsRun> runs;
    auto rl = list.RunList();
    if (DecodeRunList(rl.data(), rl.size(), list.FirstVcn(), m_nClusterCount, runs) != RunListResult::Ok) return false;
    if (list.RealSize() > kMaxAttributeListBytes) return false;
    entries.resize(list.RealSize());
    return ReadStreamBytes(runs, 0, entries.data(), entries.size());
  }
  auto v = list.Value();
  entries.assign(v.begin(), v.end());
  return true;
}

std::vector<NtfsNamedStream> CNTFSDriver::NamedStreams(uint64_t record) {
  std::vector<NtfsNamedStream> streams;
  const uint8_t* p = ImageRecord(record);
  if (!p) return streams;
  const std::span<const uint8_t> base(p, m_nRecordSize);
  auto add = [&](std::u16string name, uint64_t size) {
    for (const auto& s : streams)
      if (s.strName == name) return;
    streams.push_back({std::move(name), size});
  };
  // One walk of the record (this runs for every listed file): its named $DATA, unless it
  // has an attribute list, which then names them all.
  AttributeView list;
  ForEachAttribute(base, [&](const AttributeView& a) {
    if (a.Type() == kAttributeList) {
      list = a;
      return false;
    }
    if (a.Type() == kData && a.Named() && a.FirstVcn() == 0) add(AttributeName(a), a.ValueSize());
    return true;
  });
  if (!list) return streams;
  streams.clear();
  std::vector<uint8_t> entries;
  if (!ReadAttributeList(list, entries)) return streams;
  const std::span<const uint8_t> listBytes(entries);
  for (size_t pos = 0; pos < entries.size();) {
    const std::span<const uint8_t> entry = listBytes.subspan(pos);
    const auto t = bytes::LoadLE32(entry, kAlType);
    const auto len = bytes::LoadLE16(entry, kAlLength);
    const auto vcn = bytes::LoadLE64(entry, kAlFirstVcn);
    const auto ref = bytes::LoadLE64(entry, kAlRecord);
    if (!t || !len || !vcn || !ref || *len < kAlMinLength || *len > entry.size()) break;
    pos += *len;
    std::u16string name;
    if (*t != kData || *vcn != 0 || !entry[kAlNameLength] || !EntryName(entry, *len, name)) continue;
    uint64_t size = 0;
    if (const uint8_t* holder = ImageRecord(*ref & kRecordNumberMask))
      if (AttributeView a = FindNamedAttribute({holder, m_nRecordSize}, kData, name); a && a.FirstVcn() == 0)
        size = a.ValueSize();
    add(std::move(name), size);
  }
  return streams;
}

bool CNTFSDriver::LoadStream(uint64_t record, uint32_t type, NtfsStream& stream, std::u16string_view name) {
  stream = NtfsStream{};
  std::vector<uint8_t> base(m_nRecordSize);
  if (!ReadRecord(record, base.data())) return false;
  auto take = [&](const AttributeView& a, bool first) -> bool {
    const uint16_t flags = bytes::RawLE16(a.p + kAttrFlags);
    if (!a.NonResident()) {
      if (!first) return false;
      stream.bResident = true;
      stream.bEncrypted = flags & kAttrFlagEncrypted;
      auto v = a.Value();
      stream.value.assign(v.begin(), v.end());
      return true;
    }
    std::vector<NtfsRun> runs;
    auto rl = a.RunList();
    if (DecodeRunList(rl.data(), rl.size(), a.FirstVcn(), m_nClusterCount, runs) != RunListResult::Ok) return false;
    stream.runs.insert(stream.runs.end(), runs.begin(), runs.end());
    if (a.FirstVcn() == 0) {
      stream.nRealSize = a.RealSize();
      stream.nAllocatedSize = a.AllocatedSize();
      // Never more initialized than real; a crafted larger value changes nothing.
      stream.nInitializedSize = std::min(bytes::RawLE64(a.p + kAttrInitializedSize), stream.nRealSize);
      const uint8_t unitShift = a.p[kAttrCompressionUnit];
      stream.bCompressed = (flags & kAttrFlagCompressed) && unitShift != 0;
      stream.bEncrypted = flags & kAttrFlagEncrypted;
      stream.nCompressionUnitClusters = stream.bCompressed && unitShift < 16 ? 1u << unitShift : 0;
      if (stream.bCompressed && (!stream.nCompressionUnitClusters ||
                                 uint64_t(stream.nCompressionUnitClusters) * m_nBytesPerCluster > kMaxCompressionUnitBytes))
        return false;
    }
    return true;
  };
  AttributeView direct = FindNamedAttribute(base, type, name);
  AttributeView list = FindAttribute(base, kAttributeList);
  if (direct && (!list || !direct.NonResident() ||
                 direct.LastVcn() + 1 >= (direct.AllocatedSize() + m_nBytesPerCluster - 1) / m_nBytesPerCluster)) {
    // The whole attribute is in the base record.
    return take(direct, true);
  }
  if (!list) return false;
  // The attribute list is read whole before other records are read into buffers of their own.
  std::vector<uint8_t> entries;
  if (!ReadAttributeList(list, entries)) return false;
  std::vector<uint8_t> other(m_nRecordSize);
  bool found = false, first = true;
  std::vector<uint64_t> seen;
  // Entries are read through bounded loads; each pass moves pos forward by at least
  // kAlMinLength bytes, and a short or overrunning entry ends the walk.
  const std::span<const uint8_t> listBytes(entries);
  for (size_t pos = 0; pos < entries.size();) {
    const std::span<const uint8_t> entry = listBytes.subspan(pos);
    const auto t = bytes::LoadLE32(entry, kAlType);
    const auto len = bytes::LoadLE16(entry, kAlLength);
    const auto ref = bytes::LoadLE64(entry, kAlRecord);
    if (!t || !len || !ref || *len < kAlMinLength || *len > entry.size()) break;
    const uint64_t rec = *ref & kRecordNumberMask;
    pos += *len;
    std::u16string entryName;
    if (*t != type || !EntryName(entry, *len, entryName) || entryName != name ||
        std::find(seen.begin(), seen.end(), rec) != seen.end())
      continue;
    seen.push_back(rec);
    const uint8_t* source = base.data();
    if (rec != record) {
      if (!ReadRecord(rec, other.data())) continue;
      source = other.data();
    }
    std::span<const uint8_t> r(source, m_nRecordSize);
    // The extent of the attribute in that record (one per record normally).
    AttributeView a = FindNamedAttribute(r, type, name);
    if (!a) continue;
    if (!take(a, first)) return found;
    found = true;
    first = false;
    if (stream.bResident) return true;
  }
  std::sort(stream.runs.begin(), stream.runs.end(), [](const NtfsRun& x, const NtfsRun& y) { return x.nVcn < y.nVcn; });
  return found;
}
