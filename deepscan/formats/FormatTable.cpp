#include "deepscan/formats/FormatTable.h"

namespace {
using namespace rules;
constexpr FormatRule kRules[] = {
    {FT_BMP, u"BMP", MeasureBmp},      {FT_GIF, u"GIF", MeasureGif},
    {FT_JPG, u"JPG", MeasureJpeg},     {FT_PCX, u"PCX", MeasurePcx},
    {FT_PNG, u"PNG", MeasurePng},      {FT_PSD, u"PSD", MeasurePsd},
    {FT_TGA, u"TGA", MeasureTga},      {FT_TIFF, u"TIFF", MeasureTiff},
    {FT_RAF, u"RAF", MeasureRaf},      {FT_MSCOM, u"MSCOM", MeasureCompoundDocument},
    {FT_DXF, u"DXF", MeasureDxf},      {FT_HTM, u"HTM", MeasureHtml},
    {FT_3DS, u"3DS", Measure3ds},      {FT_PDF, u"PDF", MeasurePdf},
    {FT_DBF, u"DBF", MeasureDbf},      {FT_AVI, u"AVI", MeasureRiff},
    {FT_MID, u"MID", MeasureMidi},     {FT_MOV, u"MOV", MeasureBoxes},
    {FT_3GP, u"3GP", MeasureBoxes},    {FT_3G2, u"3G2", MeasureBoxes},
    {FT_M4V, u"M4V", MeasureBoxes},    {FT_MP4, u"MP4", MeasureBoxes},
    {FT_MP3, u"MP3", MeasureMp3},      {FT_WAV, u"WAV", MeasureRiff},
    {FT_ZIP, u"ZIP", MeasureZip},      {FT_RAR, u"RAR", MeasureRar},
    {FT_DBX, u"DBX", MeasureDbx},      {FT_PST, u"PST", MeasurePst},
    {FT_TXT, u"TXT", MeasureText},
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
