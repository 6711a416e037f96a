#include "device/LostPartitions.h"

#include <cstring>

#include "platform/ByteReader.h"

bool IsNtfsBootSector(const uint8_t* b) {
  if (b[0] != 0xEB || bytes::RawLE16(b + 510) != 0xAA55) return false;
  if (std::memcmp(b + 3, "NTFS    ", 8) != 0 || b[11] != 0) return false;
  uint16_t bps = bytes::RawLE16(b + 11);
  if (bps != 512 && bps != 1024) return false;
  switch (b[13]) {
    case 1: case 2: case 4: case 8: case 16: case 32: case 64: case 128: break;
    default: return false;
  }
  return bytes::RawLE32(b + 36) == 0x00800080 && b[16] == 0 && b[17] == 0 && b[18] == 0;
}

bool IsFatBootSector(const uint8_t* b) {
  if (b[0] != 0xEB || b[510] != 0x55 || b[511] != 0xAA) return false;
  uint16_t bps = bytes::RawLE16(b + 11);
  return bps == 512 || bps == 1024 || bps == 2048 || bps == 4096;
}

uint64_t LostVolumeSectors(const uint8_t* b, bool ntfs) {
  uint64_t sectors;
  if (ntfs) {
    sectors = bytes::RawLE64(b + 0x28);
  } else {
    uint32_t total16 = bytes::RawLE16(b + 19);
    sectors = total16 ? total16 : bytes::RawLE32(b + 32);
  }
  // Counts are in the volume's sectors; the scan moves in 512-byte sectors.
  uint64_t scale = bytes::RawLE16(b + 11) / 512;
  if (scale > 1 && sectors <= UINT64_MAX / scale) sectors *= scale;
  return sectors ? sectors : 1;
}

