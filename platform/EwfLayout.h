// EWF version 1 on-disk layout (the "EVF" segment files NAME.E01, NAME.E02, ... written by
// ewfacquire, ewfexport, EnCase 1 to 7, linen and FTK Imager), little-endian, and the pure
// parses the reader (platform/EwfImage.cpp) and its tests use. Every checksum in the format
// is an Adler-32 (initial value 1) of the bytes before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ewflayout {

// Segment file header, 13 bytes                   size  meaning
constexpr size_t kSignature = 0;                   // 8   "EVF\x09\x0d\x0a\xff\x00"
constexpr size_t kFieldsStart = 8;                 // 1   0x01
constexpr size_t kSegmentNumber = 9;               // 2   1 for the first segment, then 2, 3, ...
constexpr size_t kFileHeaderSize = 13;             //     the first section descriptor follows
constexpr uint8_t kSignatureBytes[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};

// Section descriptor, 76 bytes                     size  meaning
constexpr size_t kSectionType = 0;                 // 16  type, ASCII, NUL-padded: "header", "volume", "table", ...
constexpr size_t kSectionNext = 16;                // 8   byte offset of the next descriptor in this file
constexpr size_t kSectionSize = 24;                // 8   bytes of the section, this descriptor included (0: not set)
constexpr size_t kSectionChecksum = 72;            // 4   Adler-32 of bytes 0 to 71
constexpr size_t kSectionDescriptorSize = 76;

// Media values: the data of a "volume" or "disk" section in the first segment, repeated by the
// "data" section. Two sizes exist: 94 bytes (the original format, SMART) and 1052 bytes
// (EnCase, FTK Imager, linen).                     size  meaning
constexpr size_t kMediaChunkCount = 4;             // 4   chunks of the whole image
constexpr size_t kMediaSectorsPerChunk = 8;        // 4   sectors per chunk (64 by default)
constexpr size_t kMediaBytesPerSector = 12;        // 4   bytes per sector (512 by default)
constexpr size_t kMediaSectorCount = 16;           // 4 (short form) or 8 (long form) sectors of the media
constexpr size_t kMediaSetIdentifier = 64;         // 16  GUID shared by the segments of one image (long form)
constexpr size_t kMediaShortSize = 94;
constexpr size_t kMediaShortChecksum = 90;         // 4   Adler-32 of bytes 0 to 89
constexpr size_t kMediaLongSize = 1052;
constexpr size_t kMediaLongChecksum = 1048;        // 4   Adler-32 of bytes 0 to 1047

// Table ("table", "table2") header, 24 bytes       size  meaning
constexpr size_t kTableEntryCount = 0;             // 4   entries that follow the header
constexpr size_t kTableBaseOffset = 8;             // 8   added to every entry (EnCase 6 and later; 0 before)
constexpr size_t kTableHeaderChecksum = 20;        // 4   Adler-32 of bytes 0 to 19
constexpr size_t kTableHeaderSize = 24;
// Then the entries, 4 bytes each: bit 31 set when the chunk is zlib-compressed, bits 0 to 30 the
// chunk's offset in the segment file less the base offset. Then, except in the original format,
// a 4-byte Adler-32 of the entries.
constexpr size_t kTableEntrySize = 4;
constexpr uint32_t kEntryCompressed = 0x80000000u;
constexpr uint32_t kEntryOffsetMask = 0x7fffffffu;
// A chunk stored uncompressed is followed by the Adler-32 of its bytes.
constexpr size_t kChunkChecksumSize = 4;

// Adler-32 as the format computes it (initial value 1).
uint32_t Adler32(std::span<const uint8_t> bytes);

struct SectionDescriptor {
  std::string strType;   // the type up to its first NUL
  uint64_t nNext = 0;    // offset of the next descriptor in the segment file
  uint64_t nSize = 0;    // bytes of the section, descriptor included; 0 when the writer left it out
  uint32_t nStoredChecksum = 0;
  uint32_t nComputedChecksum = 0;
  bool ChecksumOk() const { return nStoredChecksum == nComputedChecksum; }
};
// Parses a descriptor from its 76 bytes; null when fewer are given.
std::optional<SectionDescriptor> ParseSectionDescriptor(std::span<const uint8_t> bytes);

// The segment number of a segment file from its first 13 bytes; null when they do not carry
// the signature and the start of the fields.
std::optional<uint16_t> ParseSegmentNumber(std::span<const uint8_t> bytes);

struct MediaValues {
  uint32_t nChunkCount = 0;
  uint32_t nSectorsPerChunk = 0;
  uint32_t nBytesPerSector = 0;
  uint64_t nSectorCount = 0;
  uint8_t setIdentifier[16] = {};  // zeros in the short form
  bool bShortForm = false;         // 94 bytes: the original format, whose tables carry no checksum of their entries
  bool SameImage(const MediaValues& o) const;
};
enum class MediaParse { Ok, UnknownSize, BadChecksum };
// Parses the data of a volume, disk or data section (the bytes after its descriptor). *values
// is filled also when the checksum fails.
MediaParse ParseMediaValues(std::span<const uint8_t> data, MediaValues* values);

struct TableHeader {
  uint32_t nEntryCount = 0;
  uint64_t nBaseOffset = 0;
};
// Parses a table header from its 24 bytes; null when fewer are given or its checksum fails.
std::optional<TableHeader> ParseTableHeader(std::span<const uint8_t> bytes);

}  // namespace ewflayout
