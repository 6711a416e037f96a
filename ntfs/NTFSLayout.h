// NTFS boot sector fields, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ntfslayout {
// offset                                       size  meaning
constexpr size_t kJump = 0x00;                  // 3   jump instruction; EB xx 90
constexpr size_t kOemId = 0x03;                 // 8   "NTFS    "
constexpr size_t kBytesPerSector = 0x0B;        // 2   512 or 1024
constexpr size_t kSectorsPerCluster = 0x0D;     // 1   a power of two up to 128
constexpr size_t kUnusedZero = 0x10;            // 3   0 (where FAT keeps its table count and root size)
constexpr size_t kUnusedMarker = 0x24;          // 4   0x00800080
constexpr size_t kTotalSectors = 0x28;          // 8   sectors of the volume
constexpr size_t kMftCluster = 0x30;            // 8   first cluster of the MFT
constexpr size_t kClustersPerRecord = 0x40;     // 4   < 0x80: clusters; else 2^(256 - v) bytes
constexpr size_t kSignature = 0x1FE;            // 2   0xAA55
constexpr unsigned kBootSignature = 0xAA55;
constexpr uint8_t kJumpShort = 0xEB;
constexpr uint32_t kUnusedMarkerValue = 0x00800080;
constexpr size_t kUnusedZeroSize = 3;
constexpr size_t kBootSectorBytes = 512;
// The parser reads these fields of a 512-byte span without further checks.
static_assert(kOemId + 9 <= kBootSectorBytes && kBytesPerSector + 2 <= kBootSectorBytes &&
                  kSectorsPerCluster + 1 <= kBootSectorBytes && kTotalSectors + 8 <= kBootSectorBytes &&
                  kMftCluster + 8 <= kBootSectorBytes && kClustersPerRecord + 4 <= kBootSectorBytes &&
                  kSignature + 2 <= kBootSectorBytes,
              "a boot sector field lies outside the sector");
}  // namespace ntfslayout

namespace ntfsrecord {
// MFT record header                             size  meaning
constexpr size_t kSignature = 0x00;              // 4   "FILE"
constexpr size_t kUsaOffset = 0x04;              // 2   update sequence array offset
constexpr size_t kUsaCount = 0x06;               // 2   entries, the sequence number itself included
constexpr size_t kSequence = 0x10;               // 2   the record's sequence number (a reference's high 16 bits)
constexpr size_t kFirstAttribute = 0x14;         // 2   offset of the first attribute
constexpr size_t kFlags = 0x16;                  // 2   0x01 in use, 0x02 folder
constexpr size_t kBaseRecord = 0x20;             // 8   an extension record's base record (48 bits); 0 in a base record
constexpr size_t kHeaderMin = 0x18;              //     bytes a record header needs
constexpr uint32_t kFileMagic = 0x454C4946;      // "FILE"
constexpr uint16_t kFlagInUse = 0x01, kFlagFolder = 0x02;
constexpr size_t kFixupStride = 512;             // the update sequence protects every 512 bytes

// Attribute header
constexpr size_t kAttrType = 0x00;               // 4   0xFFFFFFFF ends the list
constexpr size_t kAttrLength = 0x04;             // 4   the whole attribute
constexpr size_t kAttrNonResident = 0x08;        // 1
constexpr size_t kAttrNameLength = 0x09;         // 1   UTF-16 units; 0 unnamed
constexpr size_t kAttrNameOffset = 0x0A;         // 2   offset of the name in the attribute
constexpr size_t kAttrFlags = 0x0C;              // 2   0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
constexpr size_t kAttrResidentMin = 0x18;        //     bytes a resident header needs
constexpr size_t kAttrValueLength = 0x10;        // 4   resident
constexpr size_t kAttrValueOffset = 0x14;        // 2   resident
constexpr size_t kAttrNonResidentMin = 0x40;     //     bytes a non-resident header needs
constexpr size_t kAttrFirstVcn = 0x10;           // 8   non-resident
constexpr size_t kAttrLastVcn = 0x18;            // 8
constexpr size_t kAttrRunListOffset = 0x20;      // 2
constexpr size_t kAttrCompressionUnit = 0x22;    // 1   log2 of the clusters of a compression unit; 0 none
constexpr size_t kAttrAllocatedSize = 0x28;      // 8
constexpr size_t kAttrRealSize = 0x30;           // 8
constexpr size_t kAttrInitializedSize = 0x38;    // 8   bytes written; the rest up to the real size reads as zeros
constexpr uint16_t kAttrFlagCompressed = 0x0001, kAttrFlagEncrypted = 0x4000;
constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr uint32_t kStandardInformation = 0x10, kAttributeList = 0x20, kFileName = 0x30, kData = 0x80;

// $STANDARD_INFORMATION value: the times Windows shows
constexpr size_t kSiCreated = 0x00;              // 8   100 ns ticks since 1601
constexpr size_t kSiModified = 0x08;             // 8
constexpr size_t kSiChanged = 0x10;              // 8   record change time
constexpr size_t kSiAccessed = 0x18;             // 8
constexpr size_t kSiTimesEnd = 0x20;             //     bytes the four times need

// $FILE_NAME value
constexpr size_t kFnParent = 0x00;               // 6   parent record number (+2 sequence)
constexpr size_t kFnCreated = 0x08;              // 8   100 ns ticks since 1601
constexpr size_t kFnModified = 0x10;             // 8
constexpr size_t kFnChanged = 0x18;              // 8   record change time
constexpr size_t kFnAccessed = 0x20;             // 8
constexpr size_t kFnAllocatedSize = 0x28;        // 8
constexpr size_t kFnRealSize = 0x30;             // 8
constexpr size_t kFnFlags = 0x38;                // 4   file attributes; 0x04 system
constexpr size_t kFnNameLength = 0x40;           // 1   UTF-16 units
constexpr size_t kFnNamespace = 0x41;            // 1   0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
constexpr size_t kFnName = 0x42;                 // 2 x length
constexpr uint32_t kFnFlagSystem = 0x04;
constexpr uint8_t kFnNamespaceDos = 2;
constexpr uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFULL;  // file references: 48-bit record, 16-bit sequence

// $ATTRIBUTE_LIST entry
constexpr size_t kAlType = 0x00;                 // 4   attribute type
constexpr size_t kAlLength = 0x04;               // 2   entry length
constexpr size_t kAlNameLength = 0x06;           // 1   UTF-16 units of the attribute's name
constexpr size_t kAlNameOffset = 0x07;           // 1   offset of the name in the entry
constexpr size_t kAlFirstVcn = 0x08;             // 8   first VCN of the extent the entry names
constexpr size_t kAlRecord = 0x10;               // 8   file reference of the record holding the attribute
constexpr size_t kAlMinLength = 0x1A;            //     bytes an entry needs
}  // namespace ntfsrecord
