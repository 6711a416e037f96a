// The picture layer of the preview: decodes a picture held in memory, by format code, into
// an image that the pane draws.
//
// BMP, GIF, JPEG, PNG, ICO, TIFF, TGA and WBMP go through Qt's image readers (the TGA, TIFF
// and WBMP readers come with qt6-image-formats-plugins); run-length TGA, which Qt's reader
// does not take, and PCX are decoded here; camera RAW goes through LibRaw, from memory. WMF
// and EMF are not decoded: no library on the platform renders them safely from memory, so
// they are reported as not previewable.
//
// Every decoder works on untrusted bytes: dimensions and lengths are checked against the
// buffer and against a pixel limit before anything is allocated, and a picture that does not
// decode gives an invalid picture with a reason, never a crash.
#pragma once

#include <QImage>
#include <QString>
#include <cstddef>
#include <cstdint>

class QPainter;
class QRect;

// Format codes of the picture layer (the preview classifier hands them over unchanged).
enum EPictureFormat : int {
  PICTURE_BMP = 1,
  PICTURE_GIF = 2,
  PICTURE_JPEG = 3,
  PICTURE_PNG = 4,
  PICTURE_ICO = 5,
  PICTURE_TIFF = 6,
  PICTURE_TGA = 7,
  PICTURE_PCX = 8,
  PICTURE_WBMP = 9,
  PICTURE_WMF = 10,
  PICTURE_RAW = 19,
};

// Largest picture decoded, in pixels (width x height); larger claims are refused.
constexpr int64_t kMaxPicturePixels = int64_t(64) * 1024 * 1024;

class CPicture {
 public:
  // Decodes size bytes at data as the given format. False (and an invalid picture whose
  // Error() tells why) when the bytes do not decode.
  bool Decode(const uint8_t* data, size_t size, int format);
  // Takes an already decoded image (a thumbnail); false for a null image.
  bool SetImage(const QImage& image);
  void Clear();

  bool IsValid() const { return !m_image.isNull(); }
  int Width() const { return m_image.width(); }
  int Height() const { return m_image.height(); }
  const QImage& Image() const { return m_image; }
  const QString& Error() const { return m_strError; }

  // Draws the picture stretched into rect, without smoothing.
  void Draw(QPainter& painter, const QRect& rect) const;

 private:
  QImage m_image;
  QString m_strError;
};

// The decoders of the formats without a platform reader; each answers a null image and sets
// *error when the bytes are not a picture it can show.
QImage DecodePcx(const uint8_t* data, size_t size, QString* error);
QImage DecodeTga(const uint8_t* data, size_t size, QString* error);
// Camera RAW through LibRaw: the embedded preview when the file has a usable one, otherwise
// the sensor data developed at half size.
QImage DecodeCameraRaw(const uint8_t* data, size_t size, QString* error);
