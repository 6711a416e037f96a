#include "ui/PictureDecoder.h"
#include "ui/UiText.h"

#include <libraw/libraw.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <memory>
#include <vector>

namespace {

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

// Qt's reader name of a format code; null for the codes Qt does not read.
const char* QtFormatName(int format) {
  switch (format) {
    case PICTURE_BMP: return "bmp";
    case PICTURE_GIF: return "gif";
    case PICTURE_JPEG: return "jpeg";
    case PICTURE_PNG: return "png";
    case PICTURE_ICO: return "ico";
    case PICTURE_TIFF: return "tiff";
    case PICTURE_TGA: return "tga";
    case PICTURE_WBMP: return "wbmp";
    default: return nullptr;
  }
}

bool TooLarge(int64_t width, int64_t height) { return width <= 0 || height <= 0 || width * height > kMaxPicturePixels; }

QImage DecodeWithQt(const uint8_t* data, size_t size, const char* format, QString* error) {
  if (size > size_t(INT32_MAX)) {
    *error = Tr("IDS_UI_THE_PICTURE_IS_TOO_LARGE", u"The picture is too large.");
    return {};
  }
  // The buffer is only read; QBuffer needs a QByteArray, which here borrows the bytes.
  QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer, format);
  reader.setDecideFormatFromContent(false);
  reader.setAllocationLimit(int(kMaxPicturePixels * 4 / (1024 * 1024)));
  QSize claimed = reader.size();
  if (claimed.isValid() && TooLarge(claimed.width(), claimed.height())) {
    *error = Tr("IDS_UI_THE_PICTURE_CLAIMS_1_X_2", u"The picture claims %1 x %2 pixels.").arg(claimed.width()).arg(claimed.height());
    return {};
  }
  QImage image;
  if (!reader.read(&image) || image.isNull()) {
    *error = reader.errorString();
    return {};
  }
  return image;
}

}  // namespace

// PCX (ZSoft): a 128-byte header, then each scan line as bytesPerLine bytes per plane, the
// planes of a line one after the other, run-length coded when encoding is 1 (a byte with
// both top bits set repeats the next byte (b & 0x3F) times). An 8-bit single-plane picture
// keeps its 256-colour palette in the last 769 bytes (0x0C and 768 RGB bytes); pictures of
// up to 16 colours use the 48-byte palette of the header.
//   header: 0 manufacturer 0x0A, 1 version, 2 encoding, 3 bits per pixel per plane,
//           4..11 xmin ymin xmax ymax (16-bit), 16..63 EGA palette, 65 planes,
//           66 bytes per line per plane (16-bit).
QImage DecodePcx(const uint8_t* data, size_t size, QString* error) {
  auto fail = [&](const QString& why) {
    *error = why;
    return QImage();
  };
  if (size < 128 || data[0] != 0x0A) return fail(Tr("IDS_UI_NOT_A_PCX_PICTURE", u"Not a PCX picture."));
  const int encoding = data[2], bits = data[3], planes = data[65];
  const int xmin = Le16(data + 4), ymin = Le16(data + 6), xmax = Le16(data + 8), ymax = Le16(data + 10);
  const int bytesPerLine = Le16(data + 66);
  if (xmax < xmin || ymax < ymin) return fail(Tr("IDS_UI_THE_PCX_PICTURE_HAS_NO_PIXELS", u"The PCX picture has no pixels."));
  const int width = xmax - xmin + 1, height = ymax - ymin + 1;
  if (TooLarge(width, height))
    return fail(Tr("IDS_UI_THE_PCX_PICTURE_CLAIMS_1_X", u"The PCX picture claims %1 x %2 pixels.").arg(width).arg(height));
  const bool mono = bits == 1 && planes == 1, ega = bits == 1 && planes == 4, nibble = bits == 4 && planes == 1,
             indexed = bits == 8 && planes == 1, rgb = bits == 8 && (planes == 3 || planes == 4);
  if (!(mono || ega || nibble || indexed || rgb))
    return fail(Tr("IDS_UI_PCX_PICTURES_OF_1_BITS_IN", u"PCX pictures of %1 bits in %2 planes are not supported.").arg(bits).arg(planes));
  if (encoding > 1) return fail(Tr("IDS_UI_UNKNOWN_PCX_ENCODING", u"Unknown PCX encoding."));
  // Each plane's line must hold the line's pixels.
  if (int64_t(bytesPerLine) * 8 < int64_t(width) * bits || bytesPerLine == 0)
    return fail(Tr("IDS_UI_THE_PCX_LINE_LENGTH_IS_TOO", u"The PCX line length is too short for the width."));

  QVector<QRgb> palette(256, qRgb(0, 0, 0));
  if (mono) {
    palette[0] = qRgb(0, 0, 0);
    palette[1] = qRgb(255, 255, 255);
  } else if (ega || nibble) {
    for (int i = 0; i < 16; ++i) palette[i] = qRgb(data[16 + 3 * i], data[17 + 3 * i], data[18 + 3 * i]);
  }
  size_t dataEnd = size;
  if (indexed) {
    if (size < 128 + 769 || data[size - 769] != 0x0C) return fail(Tr("IDS_UI_THE_PCX_PALETTE_IS_MISSING", u"The PCX palette is missing."));
    const uint8_t* pal = data + size - 768;
    for (int i = 0; i < 256; ++i) palette[i] = qRgb(pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]);
    dataEnd = size - 769;
  }

  QImage image(width, height, QImage::Format_RGB32);
  if (image.isNull()) return fail(Tr("IDS_UI_NOT_ENOUGH_MEMORY_FOR_THE_PICTURE", u"Not enough memory for the picture."));
  image.fill(Qt::black);
  const size_t lineBytes = size_t(bytesPerLine) * size_t(planes);
  std::vector<uint8_t> line(lineBytes);
  size_t pos = 128;
  int runLeft = 0;
  uint8_t runValue = 0;
  for (int y = 0; y < height; ++y) {
    // A picture cut short keeps the lines decoded so far; the rest stays black.
    size_t filled = 0;
    while (filled < lineBytes) {
      if (runLeft > 0) {
        line[filled++] = runValue;
        --runLeft;
        continue;
      }
      if (pos >= dataEnd) break;
      uint8_t b = data[pos++];
      if (encoding == 1 && (b & 0xC0) == 0xC0) {
        if (pos >= dataEnd) break;
        runLeft = b & 0x3F;
        runValue = data[pos++];
      } else {
        line[filled++] = b;
      }
    }
    if (filled < lineBytes) {
      if (y == 0) return fail(Tr("IDS_UI_THE_PCX_PICTURE_HOLDS_NO_IMAGE", u"The PCX picture holds no image data."));
      break;
    }
    auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      if (mono) {
        out[x] = palette[(line[size_t(x >> 3)] >> (7 - (x & 7))) & 1];
      } else if (ega) {
        int index = 0;
        for (int p = 0; p < 4; ++p)
          index |= ((line[size_t(p) * size_t(bytesPerLine) + size_t(x >> 3)] >> (7 - (x & 7))) & 1) << p;
        out[x] = palette[index];
      } else if (nibble) {
        uint8_t v = line[size_t(x >> 1)];
        out[x] = palette[(x & 1) ? (v & 0x0F) : (v >> 4)];
      } else if (indexed) {
        out[x] = palette[line[size_t(x)]];
      } else {
        out[x] = qRgb(line[size_t(x)], line[size_t(bytesPerLine) + size_t(x)], line[2 * size_t(bytesPerLine) + size_t(x)]);
      }
    }
  }
  return image;
}

// TGA (Truevision): an 18-byte header, the image id, the colour map, then the pixels, run-length
// coded for image types 9 to 11 (a packet byte with the top bit set repeats the one pixel that
// follows (b & 0x7F) + 1 times; otherwise that many pixels follow as they are; packets may
// cross lines). Qt's reader takes the uncompressed true-colour kind only; this takes types 1
// to 3 and 9 to 11 with 8, 15, 16, 24 and 32-bit pixels.
//   header: 0 id length, 1 colour-map type, 2 image type, 3 map first index (16-bit),
//           5 map length (16-bit), 7 map entry bits, 12 width, 14 height (16-bit),
//           16 pixel bits, 17 descriptor (bit 5: first line at the top; bit 4: right to left).
QImage DecodeTga(const uint8_t* data, size_t size, QString* error) {
  auto fail = [&](const QString& why) {
    *error = why;
    return QImage();
  };
  if (size < 18) return fail(Tr("IDS_UI_NOT_A_TGA_PICTURE", u"Not a TGA picture."));
  const int idLength = data[0], mapType = data[1], type = data[2];
  const int mapFirst = Le16(data + 3), mapLength = Le16(data + 5), mapBits = data[7];
  const int width = Le16(data + 12), height = Le16(data + 14), bits = data[16], descriptor = data[17];
  const bool rle = type >= 9;
  const int kind = rle ? type - 8 : type;  // 1 colour-mapped, 2 true colour, 3 grey
  if (kind < 1 || kind > 3 || mapType > 1) return fail(Tr("IDS_UI_NOT_A_TGA_PICTURE", u"Not a TGA picture."));
  if (TooLarge(width, height)) return fail(Tr("IDS_UI_THE_TGA_PICTURE_CLAIMS_1_X", u"The TGA picture claims %1 x %2 pixels.").arg(width).arg(height));
  if ((kind == 1 && bits != 8) || (kind == 3 && bits != 8) ||
      (kind == 2 && bits != 15 && bits != 16 && bits != 24 && bits != 32))
    return fail(Tr("IDS_UI_TGA_PICTURES_OF_1_BITS_ARE", u"TGA pictures of %1 bits are not supported.").arg(bits));
  const int mapEntryBytes = (mapBits + 7) / 8;
  if (mapType == 1 && mapBits != 15 && mapBits != 16 && mapBits != 24 && mapBits != 32)
    return fail(Tr("IDS_UI_UNSUPPORTED_TGA_COLOUR_MAP", u"Unsupported TGA colour map."));
  if (kind == 1 && mapType != 1) return fail(Tr("IDS_UI_THE_TGA_COLOUR_MAP_IS_MISSING", u"The TGA colour map is missing."));
  size_t pos = 18 + size_t(idLength);
  const size_t mapBytes = mapType == 1 ? size_t(mapLength) * size_t(mapEntryBytes) : 0;
  if (pos + mapBytes > size) return fail(Tr("IDS_UI_THE_TGA_COLOUR_MAP_IS_CUT", u"The TGA colour map is cut short."));

  auto colour = [](const uint8_t* p, int nbits) -> QRgb {
    switch (nbits) {
      case 15:
      case 16: {
        uint16_t v = Le16(p);
        int r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
        return qRgb(r * 255 / 31, g * 255 / 31, b * 255 / 31);
      }
      case 24: return qRgb(p[2], p[1], p[0]);
      case 32: return qRgba(p[2], p[1], p[0], p[3]);
      default: return qRgb(p[0], p[0], p[0]);
    }
  };
  std::vector<QRgb> map(mapType == 1 ? size_t(mapLength) : 0);
  for (size_t i = 0; i < map.size(); ++i) map[i] = colour(data + pos + i * size_t(mapEntryBytes), mapBits);
  pos += mapBytes;

  const int pixelBytes = (bits + 7) / 8;
  auto pixel = [&](const uint8_t* p) -> QRgb {
    if (kind == 1) {
      int index = p[0] - mapFirst;
      return index >= 0 && size_t(index) < map.size() ? map[size_t(index)] : qRgb(0, 0, 0);
    }
    return colour(p, kind == 3 ? 8 : bits);
  };
  const bool alpha = bits == 32 && (descriptor & 0x0F) != 0;
  QImage image(width, height, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  if (image.isNull()) return fail(Tr("IDS_UI_NOT_ENOUGH_MEMORY_FOR_THE_PICTURE", u"Not enough memory for the picture."));
  image.fill(Qt::black);
  const bool topDown = descriptor & 0x20, rightToLeft = descriptor & 0x10;
  const int64_t total = int64_t(width) * height;
  int64_t done = 0;
  auto put = [&](QRgb c) {
    int64_t y = done / width, x = done % width;
    int row = topDown ? int(y) : height - 1 - int(y);
    int col = rightToLeft ? width - 1 - int(x) : int(x);
    reinterpret_cast<QRgb*>(image.scanLine(row))[col] = c;
    ++done;
  };
  while (done < total) {
    if (!rle) {
      if (pos + size_t(pixelBytes) > size) break;
      put(pixel(data + pos));
      pos += size_t(pixelBytes);
      continue;
    }
    if (pos >= size) break;
    const uint8_t packet = data[pos++];
    int count = (packet & 0x7F) + 1;
    if (packet & 0x80) {
      if (pos + size_t(pixelBytes) > size) break;
      QRgb c = pixel(data + pos);
      pos += size_t(pixelBytes);
      for (; count > 0 && done < total; --count) put(c);
    } else {
      for (; count > 0 && done < total; --count) {
        if (pos + size_t(pixelBytes) > size) break;
        put(pixel(data + pos));
        pos += size_t(pixelBytes);
      }
      if (count > 0) break;
    }
  }
  // A picture cut short keeps what was decoded; one with no pixel at all is not a picture.
  if (done == 0) return fail(Tr("IDS_UI_THE_TGA_PICTURE_HOLDS_NO_IMAGE", u"The TGA picture holds no image data."));
  return image;
}

namespace {

struct LibRawMemory {
  libraw_processed_image_t* p = nullptr;
  ~LibRawMemory() {
    if (p) LibRaw::dcraw_clear_mem(p);
  }
};

// An 8-bit RGB (or grey) bitmap from LibRaw as an image.
QImage FromLibRawBitmap(const libraw_processed_image_t* bitmap) {
  if (!bitmap || bitmap->type != LIBRAW_IMAGE_BITMAP || bitmap->bits != 8 || TooLarge(bitmap->width, bitmap->height))
    return {};
  const int w = bitmap->width, h = bitmap->height, colors = bitmap->colors;
  if ((colors != 3 && colors != 1) || uint64_t(w) * uint64_t(h) * uint64_t(colors) > bitmap->data_size) return {};
  QImage image(w, h, QImage::Format_RGB32);
  if (image.isNull()) return {};
  const uint8_t* src = bitmap->data;
  for (int y = 0; y < h; ++y) {
    auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < w; ++x, src += colors)
      out[x] = colors == 3 ? qRgb(src[0], src[1], src[2]) : qRgb(src[0], src[0], src[0]);
  }
  return image;
}

}  // namespace

QImage DecodeCameraRaw(const uint8_t* data, size_t size, QString* error) {
  // LibRaw's processor is large; it lives on the heap for the one decode.
  std::unique_ptr<LibRaw> raw;
  try {
    raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
  } catch (const std::bad_alloc&) {
    *error = Tr("IDS_UI_NOT_ENOUGH_MEMORY_FOR_THE_PICTURE", u"Not enough memory for the picture.");
    return {};
  }
  raw->imgdata.params.half_size = 1;
  raw->imgdata.params.use_camera_wb = 1;
  raw->imgdata.params.output_bps = 8;
  // open_buffer takes a non-const pointer but only reads the buffer.
  int rc = raw->open_buffer(const_cast<uint8_t*>(data), size);
  if (rc != LIBRAW_SUCCESS) {
    *error = Tr("IDS_UI_NOT_A_CAMERA_RAW_PICTURE_LIBRAW", u"Not a camera RAW picture LibRaw reads (%1).").arg(QString::fromUtf8(libraw_strerror(rc)));
    return {};
  }
  // The embedded preview is quick and already developed by the camera.
  if (raw->unpack_thumb() == LIBRAW_SUCCESS) {
    LibRawMemory thumb;
    int err = 0;
    thumb.p = raw->dcraw_make_mem_thumb(&err);
    if (thumb.p) {
      QImage image;
      if (thumb.p->type == LIBRAW_IMAGE_JPEG) {
        QString ignored;
        image = DecodeWithQt(thumb.p->data, thumb.p->data_size, "jpeg", &ignored);
      } else {
        image = FromLibRawBitmap(thumb.p);
      }
      if (!image.isNull()) return image;
    }
  }
  if (TooLarge(raw->imgdata.sizes.raw_width, raw->imgdata.sizes.raw_height)) {
    *error = Tr("IDS_UI_THE_RAW_PICTURE_IS_TOO_LARGE", u"The RAW picture is too large.");
    return {};
  }
  rc = raw->unpack();
  if (rc == LIBRAW_SUCCESS) rc = raw->dcraw_process();
  if (rc != LIBRAW_SUCCESS) {
    *error = Tr("IDS_UI_THE_RAW_PICTURE_CANNOT_BE_DEVELOPED", u"The RAW picture cannot be developed (%1).").arg(QString::fromUtf8(libraw_strerror(rc)));
    return {};
  }
  LibRawMemory developed;
  int err = 0;
  developed.p = raw->dcraw_make_mem_image(&err);
  QImage image = FromLibRawBitmap(developed.p);
  if (image.isNull()) *error = Tr("IDS_UI_THE_RAW_PICTURE_CANNOT_BE_DEVELOPED_2", u"The RAW picture cannot be developed.");
  return image;
}

bool CPicture::Decode(const uint8_t* data, size_t size, int format) {
  Clear();
  if (!data || size == 0) {
    m_strError = Tr("IDS_UI_THE_FILE_IS_EMPTY", u"The file is empty.");
    return false;
  }
  try {
    if (const char* name = QtFormatName(format)) {
      m_image = DecodeWithQt(data, size, name, &m_strError);
      // Qt's TGA reader takes uncompressed true colour only; the others are decoded here.
      if (m_image.isNull() && format == PICTURE_TGA) m_image = DecodeTga(data, size, &m_strError);
    } else if (format == PICTURE_PCX) {
      m_image = DecodePcx(data, size, &m_strError);
    } else if (format == PICTURE_RAW) {
      m_image = DecodeCameraRaw(data, size, &m_strError);
    } else if (format == PICTURE_WMF) {
      m_strError = Tr("IDS_UI_WMF_AND_EMF_PICTURES_CANNOT_BE", u"WMF and EMF pictures cannot be previewed.");
    } else {
      m_strError = Tr("IDS_UI_UNKNOWN_PICTURE_FORMAT", u"Unknown picture format.");
    }
  } catch (const std::bad_alloc&) {
    m_image = QImage();
    m_strError = Tr("IDS_UI_NOT_ENOUGH_MEMORY_FOR_THE_PICTURE", u"Not enough memory for the picture.");
  } catch (...) {
    // A decoder library that throws on a damaged file: the picture is not shown.
    m_image = QImage();
    m_strError = Tr("IDS_UI_THE_PICTURE_IS_DAMAGED", u"The picture is damaged.");
  }
  if (m_image.isNull() && m_strError.isEmpty()) m_strError = Tr("IDS_UI_THE_PICTURE_CANNOT_BE_DECODED", u"The picture cannot be decoded.");
  if (!m_image.isNull()) m_strError.clear();
  return !m_image.isNull();
}

bool CPicture::SetImage(const QImage& image) {
  Clear();
  m_image = image;
  return !m_image.isNull();
}

void CPicture::Clear() {
  m_image = QImage();
  m_strError.clear();
}

void CPicture::Draw(QPainter& painter, const QRect& rect) const {
  if (m_image.isNull() || rect.isEmpty()) return;
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(rect, m_image);
  painter.restore();
}
