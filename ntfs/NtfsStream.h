// NTFS attribute streams and $FILE_NAME values: the one reader of a file's data.
//
// Format notes: a non-resident attribute keeps three sizes. The allocated size is what
// its clusters hold; the real size is the file's length; the initialized size (the
// "valid data length") is how much of it was ever written: bytes from there up to the
// real size read as zeros, whatever the clusters hold (stale data of a former file).
// The runs map VCNs to clusters or to sparse holes; a stream whose sizes claim more than
// its runs map is damaged or crafted, and only the mapped part can be read.
//
// Every content read goes through here and is bounded the same way: at most the real
// size, never past the last mapped VCN, and zeros from the initialized size on.
// Compressed streams are read a compression unit at a time (LZNT1), under the same bounds.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "ntfs/MftRecord.h"
#include "ntfs/NTFSLayout.h"
#include "ntfs/RunList.h"
#include "platform/ByteReader.h"

class CNTFSDriver;

// The data of an attribute gathered from every record that holds a part of it: a
// resident value, or the runs of all its extents in VCN order with the sizes of the
// first extent.
struct NtfsStream {
  bool bResident = false;
  std::vector<uint8_t> value;        // resident value
  std::vector<NtfsRun> runs;         // non-resident runs, all extents
  uint64_t nRealSize = 0, nAllocatedSize = 0;
  uint64_t nInitializedSize = 0;     // non-resident: bytes that hold data; the rest reads as zeros
  bool bCompressed = false;
  bool bEncrypted = false;           // written as stored: it cannot be decrypted here
  uint32_t nCompressionUnitClusters = 0;
};

// A $FILE_NAME value, read in place (no copy): the parent, the times, the sizes kept with
// the name, the flags and the name. Valid() says whether the value holds its whole name;
// nothing else may be asked of an invalid view.
class NtfsFileNameView {
 public:
  explicit NtfsFileNameView(std::span<const uint8_t> value) : m_value(value) {}
  bool Valid() const {
    return m_value.size() >= ntfsrecord::kFnName &&
           m_value.size() >= ntfsrecord::kFnName + 2 * size_t(m_value[ntfsrecord::kFnNameLength]);
  }
  uint64_t Parent() const { return Le64(ntfsrecord::kFnParent) & ntfsrecord::kRecordNumberMask; }
  // The sequence number the parent reference carries (0: not recorded).
  uint16_t ParentSequence() const { return uint16_t(Le64(ntfsrecord::kFnParent) >> 48); }
  uint64_t CreatedTicks() const { return Le64(ntfsrecord::kFnCreated); }
  uint64_t ModifiedTicks() const { return Le64(ntfsrecord::kFnModified); }
  uint64_t AccessedTicks() const { return Le64(ntfsrecord::kFnAccessed); }
  uint64_t AllocatedSize() const { return Le64(ntfsrecord::kFnAllocatedSize); }
  uint64_t RealSize() const { return Le64(ntfsrecord::kFnRealSize); }
  uint32_t Flags() const { return bytes::RawLE32(m_value.data() + ntfsrecord::kFnFlags); }
  uint8_t Namespace() const { return m_value[ntfsrecord::kFnNamespace]; }
  size_t NameLength() const { return m_value[ntfsrecord::kFnNameLength]; }
  char16_t NameUnit(size_t k) const { return char16_t(bytes::RawLE16(m_value.data() + ntfsrecord::kFnName + 2 * k)); }
  std::u16string Name() const;

 private:
  uint64_t Le64(size_t at) const { return bytes::RawLE64(m_value.data() + at); }
  std::span<const uint8_t> m_value;
};

// Calls fn(const NtfsFileNameView&) for each name a record is listed under: every whole
// $FILE_NAME that is not a DOS 8.3 name (the long name and the names of hard links, in
// record order), or, when the record has none of those, its first DOS name. A record's DOS
// name is never shown beside its long name, whichever of the two comes first.
template <class F>
void ForEachListedName(std::span<const uint8_t> record, F&& fn) {
  bool any = false;
  std::span<const uint8_t> dos;
  ForEachAttribute(record, [&](const AttributeView& a) {
    if (a.Type() != ntfsrecord::kFileName || a.Named() || a.NonResident()) return true;
    NtfsFileNameView name(a.Value());
    if (!name.Valid()) return true;
    if (name.Namespace() == ntfsrecord::kFnNamespaceDos) {
      if (dos.empty()) dos = a.Value();
      return true;
    }
    any = true;
    fn(name);
    return true;
  });
  if (!any && !dos.empty()) fn(NtfsFileNameView(dos));
}

// The named $DATA streams (alternate data streams) of a record: from its attribute list
// when it has one, otherwise from the record itself; each name once, in the order found.
// The size is the stream's real size (or value length) where the first extent is at hand,
// else 0 until the stream is loaded.
struct NtfsNamedStream {
  std::u16string strName;
  uint64_t nSize = 0;
};

// Where a stream's content goes, in order: bytes read from the volume, and runs of bytes
// that read as zeros (sparse clusters, all-zero compression units, the part past the
// initialized size). False from either stops the read.
class IStreamSink {
 public:
  virtual ~IStreamSink() = default;
  virtual bool Data(const uint8_t* data, uint64_t n) = 0;
  virtual bool Zeros(uint64_t n) = 0;
  // The n bytes at content offset `at` could not be read (bad sectors); they are delivered
  // as zeros through Data as well.
  virtual void Unreadable(uint64_t at, uint64_t n) {}
};

enum class StreamReadResult {
  Ok,          // the whole content was delivered
  Stopped,     // stopped asked for it
  ReadFailed,  // a cluster could not be read (uncompressed data: the source stopped answering;
               // a bad sector there is delivered as zeros and told to the sink)
  SinkFailed,  // the sink refused
  Unmapped,    // the sizes claim more than the runs map: the mapped part was delivered
  Corrupt,     // a compression unit does not decompress
};

// The bytes of a stream that can be delivered: the resident value's length, or the real
// size bounded by the extent its runs map from VCN 0 on without a gap.
uint64_t StreamContentBytes(const NtfsStream& stream, uint32_t bytesPerCluster);

// Delivers the stream's content to sink, bounded as the notes above say. stopped (may be
// empty) is asked between pieces. What was delivered before a failure stays delivered.
StreamReadResult ReadStreamContent(CNTFSDriver& volume, const NtfsStream& stream, const std::function<bool()>& stopped,
                                   IStreamSink& sink);

// The cluster holding the stream's first byte; false for a resident or empty stream, or
// when its first VCN is sparse or unmapped.
bool FirstClusterOf(const NtfsStream& stream, uint64_t& lcn);
