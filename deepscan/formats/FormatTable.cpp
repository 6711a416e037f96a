#include "deepscan/formats/FormatTable.h"

namespace {
using namespace rules;
constexpr FormatRule kRules[] = {
    // type, extension, rule, the smallest valid file (what it holds at least)
    {FT_BMP, u"BMP", MeasureBmp, 30},  // file header, core header, one row of four bytes
    {FT_GIF, u"GIF", MeasureGif, 26},  // header, screen descriptor, one image of one data block, trailer
    {FT_JPG, u"JPG", MeasureJpeg, 97},  // SOI, one quantisation table, a one-component frame and scan header, a data byte, EOI
    {FT_PCX, u"PCX", MeasurePcx, 129},  // the 128-byte header and a data byte
    {FT_PNG, u"PNG", MeasurePng, 67},  // signature, IHDR, one IDAT, IEND
    {FT_PSD, u"PSD", MeasurePsd, 41},  // header, the three section lengths, compression and a data byte
    {FT_TGA, u"TGA", MeasureTga, 19},  // the 18-byte header and a data byte
    {FT_TIFF, u"TIFF", MeasureTiff, 32},  // header and an IFD of two entries
    {FT_RAF, u"RAF", MeasureRaf, 100},  // the header up to its offset table
    {FT_MSCOM, u"MSCOM", MeasureCompoundDocument, 1536},  // header, one allocation-table sector, one directory sector
    {FT_DXF, u"DXF", MeasureDxf, 32},  // one empty section and EOF
    {FT_HTM, u"HTM", MeasureHtml, 13},  // "<html></html>"
    {FT_3DS, u"3DS", Measure3ds, 12},  // the main chunk holding one empty chunk
    {FT_PDF, u"PDF", MeasurePdf, 64},  // header, one object, trailer, %%EOF
    {FT_DBF, u"DBF", MeasureDbf, 67},  // header with one field descriptor, terminator, one record byte
    {FT_AVI, u"AVI", MeasureRiff, 88},  // RIFF header, the hdrl list and its main header
    {FT_MID, u"MID", MeasureMidi, 26},  // MThd and one track holding its end event
    {FT_MOV, u"MOV", MeasureBoxes, 16},  // two boxes
    {FT_3GP, u"3GP", MeasureBoxes, 16},  // two boxes
    {FT_3G2, u"3G2", MeasureBoxes, 16},  // two boxes
    {FT_M4V, u"M4V", MeasureBoxes, 16},  // two boxes
    {FT_MP4, u"MP4", MeasureBoxes, 16},  // two boxes
    {FT_MP3, u"MP3", MeasureMp3, 96},  // one MPEG-1 Layer III frame at its lowest rate
    {FT_WAV, u"WAV", MeasureRiff, 44},  // RIFF header, fmt chunk, an empty data chunk
    {FT_ZIP, u"ZIP", MeasureZip, 98},  // one local header, one central entry, the end record
    {FT_RAR, u"RAR", MeasureRar, 20},  // marker block and archive header
    {FT_DBX, u"DBX", MeasureDbx, 9404},  // the fixed file header
    {FT_PST, u"PST", MeasurePst, 512},  // the file header
    {FT_TXT, u"TXT", MeasureText, 16},  // the shortest text carved
};
}  // namespace

const FormatRule* FindFormatRule(FileTypeId type) {
  for (const auto& r : kRules)
    if (r.nType == type) return &r;
  return nullptr;
}

const FormatRule* FormatRules(size_t& count) {
  count = std::size(kRules);
  return kRules;
}
