#include "deepscan/FileTypes.h"

#include <cctype>

namespace {
constexpr const char* kTypeNames[] = {
    "BMP", "GIF", "JPG", "PCX", "PNG", "PSD", "TGA", "TIFF", "CR2", "NEF", "RAF", "PEF", "ORF",
    "MSCOM", "DOC", "XLS", "PPT", "VSD", "PUB", "ONE", "MPP", "DOCX", "XLSX", "PPTX", "CDR", "DWG",
    "DXF", "HTM", "HTML", "3DS", "PDF", "RTF", "SDR", "TXT", "DBF", "FXP", "MDB", "MDF", "MNY", "ASF",
    "AVI", "CDR", "MID", "MOV", "MPG", "MP3", "RM", "WAV", "WMA", "WMV", "3GP", "3G2", "M4V", "MP4",
    "ZIP", "RAR", "TAR", "DBX", "PST", "MSG", "URL", "WAB"};
static_assert(std::size(kTypeNames) == kLastFileType + 1);

constexpr const char16_t* kHeaderCheck[] = {u"BMP", u"GIF", u"JPG", u"PCX", u"PNG", u"PSD", u"TGA", u"TIFF",
                                            u"CR2", u"NEF", u"RAF", u"PEF", u"ORF", u"DOC", u"XLS", u"PPT",
                                            u"VSD", u"DXF", u"HTM", u"HTML", u"3DS", u"PDF", u"AVI", u"CDR",
                                            u"WAV", u"ZIP", u"RAR", u"DBX", u"PST", u"MSG"};
static_assert(std::size(kHeaderCheck) == 30);

using L = CLogicalDriver;
}  // namespace

std::optional<std::string_view> FileTypeName(FileTypeId id) {
  if (id > kLastFileType) return std::nullopt;
  return kTypeNames[id];
}

const std::vector<CatalogueCategory>& Catalogue() {
  static const std::vector<CatalogueCategory> catalogue = {
      {"Common Picture",
       {{"Bitmap (.bmp)", "bmp", &L::m_bScanBMP, true, "bmp"},
        {"GIF Graphics File (.gif)", "gif", &L::m_bScanGIF, false, "gif"},
        {"JPG/JPEG (.jpg .jpeg)", "jpg", &L::m_bScanJPG, true, "jpg"},
        {"Paintbrush File (.pcx .scr)", "pcx", &L::m_bScanPCX, false, "pcx"},
        {"PNG Graphics File (.png)", "png", &L::m_bScanPNG, false, "png"},
        {"Adobe Photoshop (.psd)", "psd", &L::m_bScanPSD, false, "psd"},
        {"TGA File (.tga)", "tga", &L::m_bScanTGA, false, "tga"},
        {"TIFF Graphics File (.tif .tiff)", "tif", &L::m_bScanTIF, false, "tif"}}},
      {"Camera RAW Image",
       {{"Canon RAW (.cr2 .crw)", "cr2", &L::m_bScanCR2, false, "cr2"},
        {"Nikon RAW (.nef)", "nef", &L::m_bScanNEF, false, "nef"},
        {"Fujifilm RAW (.raf)", "raf", &L::m_bScanRAF, false, "raf"},
        {"Pentax RAW (.pef)", "pef", &L::m_bScanPEF, false, "pef"},
        {"Olympus RAW (.orf)", "orf", &L::m_bScanORF, false, "orf"}}},
      {"Microsoft Office Document",
       {{"Microsoft Office Word (.doc)", "doc", &L::m_bScanDOC, true, "doc"},
        {"Microsoft Office Excel (.xls)", "xls", &L::m_bScanXLS, true, "xls"},
        {"Microsoft Office PowerPoint (.ppt)", "ppt", &L::m_bScanPPT, true, "ppt"},
        {"Microsoft Office Visio (.vsd)", "vsd", &L::m_bScanVSD, true, "vsd"},
        {"Microsoft Office Word 2007 (.docx)", "docx", &L::m_bScanDOCX, true, "docx"},
        {"Microsoft Office Excel 2007 (.xlsx)", "xlsx", &L::m_bScanXLSX, true, "xlsx"},
        {"Microsoft Office PowerPoint 2007 (.pptx)", "pptx", &L::m_bScanPPTX, true, "pptx"}}},
      {"Document",
       {{"Autodesk 3D Studio File (.3ds)", "3ds", &L::m_bScan3DS, false, "3ds"},
        {"dBASE/FoxBASE/FoxPro Database File (.dbf)", "dbf", &L::m_bScanDBF, false, "dbf"},
        {"AutoCAD DXF File (.dxf)", "dxf", &L::m_bScanDXF, false, "dxf"},
        {"Adobe PDF Document (.pdf)", "pdf", &L::m_bScanPDF, true, "pdf"},
        {"HTML Document (.htm .html)", "html", &L::m_bScanHTML, false, "html"},
        {"Text Document (.txt .csv .xml .json .log, source code)", "txt", &L::m_bScanTXT, false, "txt"}}},
      {"Archive",
       {{"RAR Archive (.rar)", "rar", &L::m_bScanRAR, true, "rar"},
        {"ZIP Archive (.zip)", "zip", &L::m_bScanZIP, true, "zip"}}},
      {"Email",
       {{"Microsoft Outlook Express Mail File (.dbx)", "dbx", &L::m_bScanDBX, false, "dbx"},
        {"Microsoft Office Outlook Personal Folders (.pst)", "pst", &L::m_bScanPST, false, "pst"},
        {"Microsoft Office Outlook Message File (.msg)", "msg", &L::m_bScanMSG, false, "msg"}}},
      {"Multimedia",
       {{"3GP Video File (.3gp)", "3gp", &L::m_bScan3GP, false, "3gp"},
        {"3G2 Video File (.3g2)", "3g2", &L::m_bScan3G2, false, "3g2"},
        {"AVI Multimedia File (.avi)", "avi", &L::m_bScanAVI, false, "avi"},
        {"iPod H.264 Video File (.m4v)", "m4v", &L::m_bScanM4V, false, "m4v"},
        {"QuickTime Video File (.mov)", "mov", &L::m_bScanMOV, true, "mov"},
        {"MPEG-4 Video File (.mp4)", "mp4", &L::m_bScanMP4, false, "mp4"},
        {"MIDI Music File (.mid)", "mid", &L::m_bScanMID, false, "mid"},
        {"MP3 Music File (.mp3)", "mp3", &L::m_bScanMP3, false, "mp3"},
        {"WAVE Multimedia File (.wav)", "wav", &L::m_bScanWAV, false, "wav"},
        {"CorelDRAW Drawing (.cdr)", "cdr", &L::m_bScanCDR, false, "cdr"}}},
  };
  return catalogue;
}

const std::vector<NamedFlag>& ScanFlags() {
  static const std::vector<NamedFlag> flags = {
      {"bmp", &L::m_bScanBMP},   {"gif", &L::m_bScanGIF},   {"jpg", &L::m_bScanJPG},   {"pcx", &L::m_bScanPCX},
      {"png", &L::m_bScanPNG},   {"psd", &L::m_bScanPSD},   {"tga", &L::m_bScanTGA},   {"tif", &L::m_bScanTIF},
      {"cr2", &L::m_bScanCR2},   {"nef", &L::m_bScanNEF},   {"raf", &L::m_bScanRAF},   {"pef", &L::m_bScanPEF},
      {"orf", &L::m_bScanORF},   {"doc", &L::m_bScanDOC},   {"xls", &L::m_bScanXLS},   {"ppt", &L::m_bScanPPT},
      {"vsd", &L::m_bScanVSD},   {"docx", &L::m_bScanDOCX}, {"xlsx", &L::m_bScanXLSX}, {"pptx", &L::m_bScanPPTX},
      {"3ds", &L::m_bScan3DS},   {"dxf", &L::m_bScanDXF},   {"pdf", &L::m_bScanPDF},   {"html", &L::m_bScanHTML},
      {"dbf", &L::m_bScanDBF},   {"rar", &L::m_bScanRAR},   {"zip", &L::m_bScanZIP},   {"dbx", &L::m_bScanDBX},
      {"pst", &L::m_bScanPST},   {"msg", &L::m_bScanMSG},   {"3gp", &L::m_bScan3GP},   {"avi", &L::m_bScanAVI},
      {"mov", &L::m_bScanMOV},   {"mp4", &L::m_bScanMP4},   {"mid", &L::m_bScanMID},   {"mp3", &L::m_bScanMP3},
      {"wav", &L::m_bScanWAV},   {"cdr", &L::m_bScanCDR},   {"3g2", &L::m_bScan3G2},   {"m4v", &L::m_bScanM4V},
      {"txt", &L::m_bScanTXT},
  };
  return flags;
}

ScanFlag FindScanFlag(std::string_view name) {
  for (const auto& f : ScanFlags())
    if (name == f.szName) return f.pFlag;
  return nullptr;
}

void SetDefaultScanFlags(CLogicalDriver& volume) {
  for (const auto& category : Catalogue())
    for (const auto& e : category.entries) volume.*(e.pFlag) = e.bCheckedAtStart ? 1 : 0;
}

void SetAllScanFlags(CLogicalDriver& volume, bool on) {
  for (const auto& f : ScanFlags()) volume.*(f.pFlag) = on ? 1 : 0;
}

bool ApplyScanTypeNames(CLogicalDriver& volume, const std::string& list, std::string* error) {
  if (list.empty()) {
    SetDefaultScanFlags(volume);
    return true;
  }
  SetAllScanFlags(volume, false);
  std::string unknown;
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    start = end + 1;
    for (auto& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (name.empty()) continue;
    if (name == "all") SetAllScanFlags(volume, true);
    else if (ScanFlag f = FindScanFlag(name)) volume.*f = 1;
    else unknown += (unknown.empty() ? "" : ", ") + name;
  }
  if (unknown.empty()) return true;
  std::string known;
  for (const auto& f : ScanFlags()) known += (known.empty() ? "" : ",") + std::string(f.szName);
  if (error) *error = "unknown type name(s): " + unknown + " (known: all," + known + ")";
  return false;
}

std::string ScanTypeNamesOf(const CLogicalDriver& volume) {
  std::string names;
  for (const auto& f : ScanFlags())
    if (volume.*(f.pFlag)) names += (names.empty() ? "" : ",") + std::string(f.szName);
  return names;
}

bool IsHeaderCheckExtension(std::u16string_view upperExtension) {
  for (const char16_t* name : kHeaderCheck)
    if (upperExtension == name) return true;
  return false;
}
