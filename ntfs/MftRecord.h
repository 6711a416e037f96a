// MFT records: the fixup, the bounds gate, and attribute lookup.
//
// Format notes: a record is m_nRecordSize bytes beginning "FILE". The update sequence
// array replaces the last word of every 512-byte stride (the stride is 512 whatever the
// sector size). Attributes follow each other from the first attribute offset, each at
// the previous one's start plus its length, until the type 0xFFFFFFFF.
//
// ApplyFixup checks the update sequence array's bounds before it writes. CheckRecord is
// the gate, run on the fixed-up record before any attribute is looked at; afterwards
// every attribute walk may rely on it: the update sequence array and the words it
// replaces lie inside the record; every attribute header
// is at least its minimum size, its length non-zero, a multiple of 8 and inside the
// record; a resident value and an attribute's name lie inside their attribute; a
// non-resident run list offset lies inside its attribute. The gate checks bounds, not
// strictness: a torn record whose sequence words do not match is accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"

enum class RecordCheck { Ok, NotARecord, Corrupt };

// Applies the update sequence fixup in place; false (nothing written) when the record
// lacks "FILE" or its update sequence array does not fit.
bool ApplyFixup(std::span<uint8_t> record);
// Checks a fixed-up record's bounds (see above); a record without "FILE" is NotARecord.
RecordCheck CheckRecord(std::span<const uint8_t> record);

// A view of one attribute inside a checked record.
struct AttributeView {
  const uint8_t* p = nullptr;  // attribute start; null for none
  uint32_t nLength = 0;
  explicit operator bool() const { return p != nullptr; }
  uint32_t Type() const;
  bool NonResident() const;
  bool Named() const;
  // Resident value (empty for a non-resident attribute).
  std::span<const uint8_t> Value() const;
  // Non-resident fields.
  uint64_t FirstVcn() const;
  uint64_t LastVcn() const;
  uint64_t AllocatedSize() const;
  uint64_t RealSize() const;
  std::span<const uint8_t> RunList() const;
  // The real size of a non-resident attribute, or the value length of a resident one;
  // the allocated size, or the value length.
  uint64_t ValueSize() const;
  uint64_t ValueAllocatedSize() const;
};

// The first attribute of the type. For $FILE_NAME (0x30) the name a record is known by:
// the first that is not a DOS 8.3 name (namespace 2), whatever the order of the names in
// the record, or the first DOS name when there is no other. The record must have passed
// CheckRecord.
AttributeView FindAttribute(std::span<const uint8_t> record, uint32_t type);
// The attribute of the type with exactly this name (empty: unnamed); for $DATA, the
// unnamed stream or a named (alternate) stream.
AttributeView FindNamedAttribute(std::span<const uint8_t> record, uint32_t type, std::u16string_view name);

// Calls fn(AttributeView) for every attribute of the record, in record order, until fn
// returns false. The record must have passed CheckRecord.
template <class F>
void ForEachAttribute(std::span<const uint8_t> record, F&& fn);

// Whether an attribute's name is exactly name.
bool AttributeNameIs(const AttributeView& a, std::u16string_view name);
// An attribute's name (empty when unnamed).
std::u16string AttributeName(const AttributeView& a);

template <class F>
void ForEachAttribute(std::span<const uint8_t> r, F&& fn) {
  size_t pos = bytes::RawLE16(r.data() + ntfsrecord::kFirstAttribute);
  for (;;) {
    const uint8_t* p = r.data() + pos;
    if (bytes::RawLE32(p + ntfsrecord::kAttrType) == ntfsrecord::kAttrEnd) return;
    AttributeView a{p, bytes::RawLE32(p + ntfsrecord::kAttrLength)};
    if (!fn(a)) return;
    pos += a.nLength;
  }
}
