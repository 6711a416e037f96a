// The hex view: a dump control (offset, bytes in hexadecimal, bytes as characters) over a
// file of any size, and the modal "View With Hex" dialog that shows a file node in it.
//
// A file node can only be read from its start to its end (CFSFile::WriteContent streams it),
// so random access is built on top: CWindowOutputFile keeps the bytes of one range of the
// stream, discards the bytes before it and stops the stream once the range is filled (its
// Write fails, and every WriteContent returns at once on a failed write). Reading a range
// therefore costs reading the file from its start up to the range's end; CFilePageReader
// keeps the last pages it read so that scrolling nearby reads nothing again, and reads a few
// pages around the one asked for in the same pass.
#pragma once

#include <QAbstractScrollArea>
#include <QDialog>
#include <QString>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "tree/OutputFile.h"

class CFSFile;
class QLabel;

// What the dump control shows: a byte source with a size, read in pieces.
class IHexSource {
 public:
  virtual ~IHexSource() = default;
  virtual uint64_t Size() const = 0;
  // Copies the bytes [offset, offset + len) (within Size()) to out; readable[i] tells whether
  // byte i could be read (an unreadable byte's value in out is 0).
  virtual void Read(uint64_t offset, size_t len, uint8_t* out, bool* readable) = 0;
  // The latest read problem, empty when none.
  virtual QString Problem() const { return {}; }
};

// A buffer in memory (not owned).
class CMemoryHexSource final : public IHexSource {
 public:
  CMemoryHexSource(const uint8_t* data, uint64_t size) : m_pData(data), m_nSize(size) {}
  uint64_t Size() const override { return m_nSize; }
  void Read(uint64_t offset, size_t len, uint8_t* out, bool* readable) override;

 private:
  const uint8_t* m_pData;
  uint64_t m_nSize;
};

// An output file that keeps the stream's bytes [start, start + length) and drops the others.
// Once the range is full, Write answers false so that the writer stops early.
class CWindowOutputFile final : public IOutputFile {
 public:
  CWindowOutputFile(uint64_t start, size_t length);
  bool Write(const void* data, size_t len) override;

  bool Full() const { return m_bytes.size() == m_nLength; }
  // Stream position reached: every byte before it was delivered.
  uint64_t Position() const { return m_nPosition; }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }
  std::vector<uint8_t>& Bytes() { return m_bytes; }

 private:
  uint64_t m_nStart;
  size_t m_nLength;
  uint64_t m_nPosition = 0;
  std::vector<uint8_t> m_bytes;
};

// Random access to a file node in pages, with the latest pages kept.
class CFilePageReader final : public IHexSource {
 public:
  static constexpr size_t kDefaultPageSize = 256 * 1024;
  static constexpr size_t kDefaultMaxPages = 16;

  // size is the file's length (GetSize); the reader never asks beyond it.
  CFilePageReader(CFSFile* file, uint64_t size, size_t pageSize = kDefaultPageSize, size_t maxPages = kDefaultMaxPages);

  uint64_t Size() const override { return m_nSize; }
  void Read(uint64_t offset, size_t len, uint8_t* out, bool* readable) override;
  QString Problem() const override { return m_strProblem; }

  // Bytes held in the page cache now, and the most ever held.
  size_t BytesHeld() const;
  size_t PeakBytesHeld() const { return m_nPeakHeld; }
  // Passes made over the file, and the bytes the file delivered in them (kept or dropped).
  int Passes() const { return m_nPasses; }
  uint64_t BytesStreamed() const { return m_nStreamed; }

 private:
  struct Page {
    uint64_t nIndex = 0;
    std::vector<uint8_t> bytes;  // the page's readable bytes from its start
    size_t nValid = 0;           // how many of them could be read
  };
  const Page& GetPage(uint64_t index);
  void Fill(uint64_t first, uint64_t last);

  CFSFile* m_pFile;
  uint64_t m_nSize;
  size_t m_nPageSize, m_nMaxPages;
  std::list<Page> m_pages;  // most recently used first
  uint64_t m_nLastMiss = 0;
  QString m_strProblem;
  size_t m_nPeakHeld = 0;
  int m_nPasses = 0;
  uint64_t m_nStreamed = 0;
};

// The dump control. It holds no bytes of its own beyond those of the rows on screen; a byte
// that cannot be read shows as "??" and the control reports the problem (ReadProblem).
class CHexDumpCtrl : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit CHexDumpCtrl(QWidget* parent = nullptr);

  // The source is not owned; null shows nothing.
  void SetSource(IHexSource* source);
  IHexSource* Source() const { return m_pSource; }
  // Vertical lines between the three columns.
  void SetSeparatorLines(bool on);

  // Layout, as painted now.
  int BytesPerRow() const { return m_nBytesPerRow; }
  uint64_t RowCount() const;
  uint64_t TopRow() const { return m_nTopRow; }
  int VisibleRows() const;
  void ScrollToRow(uint64_t row);
  void ScrollToEnd();
  // A row's text: offset, hex bytes and characters, separated by " | " (what is painted, the
  // separator lines aside).
  QString RowText(uint64_t row);

 signals:
  void ReadProblem(const QString& text);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;

 private:
  struct RowParts {
    QString strOffset, strHex, strChars;
  };
  RowParts FormatRow(uint64_t row);
  void UpdateLayout();
  void UpdateScrollBar();
  uint64_t MaxTopRow() const;
  int OffsetDigits() const;
  void NoteProblem();

  IHexSource* m_pSource = nullptr;
  int m_nBytesPerRow = 16;
  uint64_t m_nTopRow = 0;
  bool m_bSeparators = true;
  bool m_bSyncing = false;
  int m_nWheelRemainder = 0;
  QString m_strLastProblem;
  std::vector<uint8_t> m_rowBytes;
  std::vector<uint8_t> m_rowReadable;
};

// "View With Hex": the dump control over a file node, a message line, and "Close".
class CViewHexDlg : public QDialog {
  Q_OBJECT
 public:
  CViewHexDlg(CFSFile* file, QWidget* parent = nullptr);
  CHexDumpCtrl* Dump() const { return m_pDump; }
  CFilePageReader* Reader() const { return m_pReader.get(); }
  QString MessageText() const;

 private:
  std::unique_ptr<CFilePageReader> m_pReader;
  CHexDumpCtrl* m_pDump;
  QLabel* m_pMessage;
};

// Opens "View With Hex" modally over the file. Opens nothing for a null file or an empty
// one; answers whether the dialog was shown.
bool ShowHexView(QWidget* parent, CFSFile* file);
