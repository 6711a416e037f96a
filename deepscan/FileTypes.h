// The deep scan's vocabulary: type ids and their names, the catalogue from which the
// user picks types, and the extensions whose header can be checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/Driver.h"

using FileTypeId = uint16_t;
constexpr FileTypeId kNoFileType = 0xFFFF;

enum : FileTypeId {
  FT_BMP = 0, FT_GIF = 1, FT_JPG = 2, FT_PCX = 3, FT_PNG = 4, FT_PSD = 5, FT_TGA = 6, FT_TIFF = 7,
  FT_CR2 = 8, FT_NEF = 9, FT_RAF = 10, FT_PEF = 11, FT_ORF = 12, FT_MSCOM = 13, FT_DOC = 14, FT_XLS = 15,
  FT_PPT = 16, FT_VSD = 17, FT_PUB = 18, FT_ONE = 19, FT_MPP = 20, FT_DOCX = 21, FT_XLSX = 22, FT_PPTX = 23,
  FT_CDR_RESERVED = 24, FT_DWG = 25, FT_DXF = 26, FT_HTM = 27, FT_HTML = 28, FT_3DS = 29, FT_PDF = 30,
  FT_RTF = 31, FT_SDR = 32, FT_TXT = 33, FT_DBF = 34, FT_FXP = 35, FT_MDB = 36, FT_MDF = 37, FT_MNY = 38,
  FT_ASF = 39, FT_AVI = 40, FT_CDR = 41, FT_MID = 42, FT_MOV = 43, FT_MPG = 44, FT_MP3 = 45, FT_RM = 46,
  FT_WAV = 47, FT_WMA = 48, FT_WMV = 49, FT_3GP = 50, FT_3G2 = 51, FT_M4V = 52, FT_MP4 = 53, FT_ZIP = 54,
  FT_RAR = 55, FT_TAR = 56, FT_DBX = 57, FT_PST = 58, FT_MSG = 59, FT_URL = 60, FT_WAB = 61,
};
constexpr FileTypeId kLastFileType = FT_WAB;

// The upper-case name of a type id (also the first extension of a carved file of that
// type); nothing for values above 61.
std::optional<std::string_view> FileTypeName(FileTypeId id);

// A type enable flag of a volume.
using ScanFlag = uint32_t CLogicalDriver::*;

struct CatalogueEntry {
  const char* szDescription;   // what the user sees
  const char* szIconExtension;  // only to fetch an icon
  ScanFlag pFlag;
  bool bCheckedAtStart;
  const char* szFlagName;       // the flag's type name in lower case ("jpg", "docx", ...)
};
struct CatalogueCategory {
  const char* szName;
  std::vector<CatalogueEntry> entries;
};

// The seven categories and their forty entries, in the wizard's order.
const std::vector<CatalogueCategory>& Catalogue();
// The forty flags in declaration order with their lower-case names.
struct NamedFlag {
  const char* szName;
  ScanFlag pFlag;
};
const std::vector<NamedFlag>& ScanFlags();
// The flag named name ("jpg", "3g2", ...), or null.
ScanFlag FindScanFlag(std::string_view name);
// Sets every flag from the catalogue's "checked at start" column.
void SetDefaultScanFlags(CLogicalDriver& volume);
void SetAllScanFlags(CLogicalDriver& volume, bool on);
// Sets the flags from a comma-separated list of flag names or "all" (case does not count);
// an empty list sets the defaults. False with *error naming the unknown names.
bool ApplyScanTypeNames(CLogicalDriver& volume, const std::string& list, std::string* error);
// The names of the flags that are set, comma-separated (what ApplyScanTypeNames takes back).
std::string ScanTypeNamesOf(const CLogicalDriver& volume);

// Whether an upper-case extension text is one of the thirty names whose header can be
// checked.
bool IsHeaderCheckExtension(std::u16string_view upperExtension);
