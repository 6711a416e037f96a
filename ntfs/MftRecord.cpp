#include "ntfs/MftRecord.h"

#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"

using namespace ntfsrecord;
using bytes::RawLE16;
using bytes::RawLE32;
using bytes::RawLE64;

namespace {
bool UsaFits(std::span<const uint8_t> r) {
  const size_t usa = RawLE16(r.data() + kUsaOffset), count = RawLE16(r.data() + kUsaCount);
  return count != 0 && usa >= 8 && bytes::Fits(r, usa, count * 2) && (count - 1) * kFixupStride <= r.size();
}
}  // namespace

RecordCheck CheckRecord(std::span<const uint8_t> r) {
  if (r.size() < kHeaderMin || RawLE32(r.data() + kSignature) != kFileMagic) return RecordCheck::NotARecord;
  if (!UsaFits(r)) return RecordCheck::Corrupt;
  size_t pos = RawLE16(r.data() + kFirstAttribute);
  if (pos < kHeaderMin || pos >= r.size()) return RecordCheck::Corrupt;
  for (;;) {
    if (!bytes::Fits(r, pos, 4)) return RecordCheck::Corrupt;
    uint32_t type = RawLE32(r.data() + pos);
    if (type == kAttrEnd) return RecordCheck::Ok;
    if (!bytes::Fits(r, pos, kAttrResidentMin)) return RecordCheck::Corrupt;
    const uint8_t* a = r.data() + pos;
    uint32_t len = RawLE32(a + kAttrLength);
    if (len < kAttrResidentMin || len % 8 || len > r.size() - pos) return RecordCheck::Corrupt;
    size_t nameLength = a[kAttrNameLength];
    if (nameLength && (size_t(RawLE16(a + 0x0A)) + nameLength * 2 > len)) return RecordCheck::Corrupt;
    if (a[kAttrNonResident]) {
      if (len < kAttrNonResidentMin || RawLE16(a + kAttrRunListOffset) >= len) return RecordCheck::Corrupt;
    } else {
      size_t off = RawLE16(a + kAttrValueOffset), vlen = RawLE32(a + kAttrValueLength);
      if (off > len || vlen > len - off) return RecordCheck::Corrupt;
    }
    pos += len;
  }
}

bool ApplyFixup(std::span<uint8_t> r) {
  if (r.size() < kHeaderMin || RawLE32(r.data() + kSignature) != kFileMagic || !UsaFits(r)) return false;
  const size_t usa = RawLE16(r.data() + kUsaOffset), count = RawLE16(r.data() + kUsaCount);
  for (size_t i = 1; i < count; ++i) {
    uint8_t* target = r.data() + i * kFixupStride - 2;
    target[0] = r[usa + 2 * i];
    target[1] = r[usa + 2 * i + 1];
  }
  return true;
}

uint32_t AttributeView::Type() const { return RawLE32(p + kAttrType); }
bool AttributeView::NonResident() const { return p[kAttrNonResident] != 0; }
bool AttributeView::Named() const { return p[kAttrNameLength] != 0; }
std::span<const uint8_t> AttributeView::Value() const {
  if (NonResident()) return {};
  return {p + RawLE16(p + kAttrValueOffset), RawLE32(p + kAttrValueLength)};
}
uint64_t AttributeView::FirstVcn() const { return NonResident() ? RawLE64(p + kAttrFirstVcn) : 0; }
uint64_t AttributeView::LastVcn() const { return NonResident() ? RawLE64(p + kAttrLastVcn) : 0; }
uint64_t AttributeView::AllocatedSize() const { return NonResident() ? RawLE64(p + kAttrAllocatedSize) : 0; }
uint64_t AttributeView::RealSize() const { return NonResident() ? RawLE64(p + kAttrRealSize) : 0; }
std::span<const uint8_t> AttributeView::RunList() const {
  if (!NonResident()) return {};
  size_t off = RawLE16(p + kAttrRunListOffset);
  return {p + off, nLength - off};
}
uint64_t AttributeView::ValueSize() const { return NonResident() ? RealSize() : Value().size(); }
uint64_t AttributeView::ValueAllocatedSize() const { return NonResident() ? AllocatedSize() : Value().size(); }

AttributeView FindAttribute(std::span<const uint8_t> r, uint32_t type) {
  AttributeView found, dosName;
  ForEachAttribute(r, [&](const AttributeView& a) {
    if (a.Type() != type) return true;
    if (type != kFileName) {
      found = a;
      return false;
    }
    if (a.Named() || a.NonResident()) return true;
    // A DOS 8.3 name stands beside the long one (Windows writes it first, ntfs-3g after).
    const auto v = a.Value();
    if (v.size() > kFnNamespace && v[kFnNamespace] == kFnNamespaceDos) {
      if (!dosName) dosName = a;
      return true;
    }
    found = a;
    return false;
  });
  return found ? found : dosName;
}

bool AttributeNameIs(const AttributeView& a, std::u16string_view name) {
  const size_t n = a.p[kAttrNameLength];
  if (n != name.size()) return false;
  const uint8_t* at = a.p + RawLE16(a.p + kAttrNameOffset);
  for (size_t k = 0; k < n; ++k)
    if (char16_t(RawLE16(at + 2 * k)) != name[k]) return false;
  return true;
}

std::u16string AttributeName(const AttributeView& a) {
  std::u16string name(a.p[kAttrNameLength], u'\0');
  const uint8_t* at = a.p + RawLE16(a.p + kAttrNameOffset);
  for (size_t k = 0; k < name.size(); ++k) name[k] = char16_t(RawLE16(at + 2 * k));
  return name;
}

AttributeView FindNamedAttribute(std::span<const uint8_t> r, uint32_t type, std::u16string_view name) {
  AttributeView found;
  ForEachAttribute(r, [&](const AttributeView& a) {
    if (a.Type() != type || !AttributeNameIs(a, name)) return true;
    found = a;
    return false;
  });
  return found;
}
