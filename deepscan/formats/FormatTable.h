// The extent rules, one per format family, dispatched from one table.
//
// A rule is called with the volume (whose unit stream it reads through), the start
// unit, a copy of the first 512 bytes of that unit as a fixed-size span (header fields,
// read through HeaderFields.h; the unit buffer itself changes as the stream moves), the
// extension text to refine (MeasureFile has set it to the type's name) and the length
// output, counted in bytes from the first byte of the start unit. It answers success.
// Rules never trust a header field: every count, offset and size is bounded before use,
// loops make progress or stop, and memory taken from a field is capped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "deepscan/FileTypes.h"

constexpr size_t kRuleHeaderBytes = 512;
// The first kRuleHeaderBytes bytes of the start unit.
using RuleHeader = std::span<const uint8_t, kRuleHeaderBytes>;

using ExtentRule = bool (*)(CLogicalDriver& volume, uint64_t unit, RuleHeader header, std::u16string& extension,
                            uint64_t& length);

struct FormatRule {
  FileTypeId nType;
  const char16_t* szExtension;  // the extension set before the rule runs
  ExtentRule pRule;
  // The smallest file of the format that can be valid: a shorter measure is not a file
  // (a header alone, or bytes that only look like one).
  uint64_t nMinBytes;
};

// The rule of a type id, or null when the type has none (41 CDR, the reserved ids).
const FormatRule* FindFormatRule(FileTypeId type);
// Every row of the table (tests).
const FormatRule* FormatRules(size_t& count);

// The rules, each defined in its family's file under deepscan/formats/.
namespace rules {
bool MeasureBmp(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureGif(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureJpeg(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasurePcx(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasurePng(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasurePsd(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureTga(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureTiff(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureRaf(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureCompoundDocument(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureDxf(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureHtml(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool Measure3ds(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasurePdf(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureDbf(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureRiff(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureMidi(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureBoxes(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureMp3(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureZip(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureRar(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureDbx(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasurePst(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
bool MeasureText(CLogicalDriver&, uint64_t, RuleHeader, std::u16string&, uint64_t&);
}  // namespace rules
