#include "ui/HexView.h"
#include "ui/UiText.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <cstring>

#include "tree/DirEntry.h"
#include "ui/GuiApp.h"

namespace {

// Above this many scroll positions the scroll bar's range is scaled down (its values are int).
constexpr uint64_t kScrollScale = uint64_t(1) << 30;

QString HexOffset(uint64_t value, int digits) {
  return QStringLiteral("%1").arg(qulonglong(value), digits, 16, QLatin1Char('0')).toUpper();
}

QString HexByte(uint8_t b, bool readable) {
  if (!readable) return QStringLiteral("??");
  static const char kDigits[] = "0123456789ABCDEF";
  const QChar digits[2] = {QLatin1Char(kDigits[b >> 4]), QLatin1Char(kDigits[b & 15])};
  return QString(digits, 2);
}

QChar CharOf(uint8_t b, bool readable) {
  if (!readable) return QLatin1Char('?');
  return b >= 0x20 && b < 0x7F ? QLatin1Char(char(b)) : QLatin1Char('.');
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void CMemoryHexSource::Read(uint64_t offset, size_t len, uint8_t* out, bool* readable) {
  for (size_t i = 0; i < len; ++i) {
    bool ok = offset + i < m_nSize;
    out[i] = ok ? m_pData[offset + i] : 0;
    readable[i] = ok;
  }
}

CWindowOutputFile::CWindowOutputFile(uint64_t start, size_t length) : m_nStart(start), m_nLength(length) {
  m_bytes.reserve(length);
}

bool CWindowOutputFile::Write(const void* data, size_t len) {
  const uint64_t chunkStart = m_nPosition;
  m_nPosition += len;
  if (Full()) return false;
  const uint64_t end = m_nStart + m_nLength;
  const uint64_t from = std::max(chunkStart, m_nStart + m_bytes.size());
  const uint64_t to = std::min(m_nPosition, end);
  if (from < to) {
    const auto* p = static_cast<const uint8_t*>(data) + (from - chunkStart);
    m_bytes.insert(m_bytes.end(), p, p + (to - from));
  }
  // Once the range is complete the writer is told to stop: nothing after it is wanted.
  return !Full();
}

// ---------------------------------------------------------------------------------------------

CFilePageReader::CFilePageReader(CFSFile* file, uint64_t size, size_t pageSize, size_t maxPages)
    : m_pFile(file), m_nSize(size), m_nPageSize(std::max<size_t>(pageSize, 64)), m_nMaxPages(std::max<size_t>(maxPages, 2)) {}

size_t CFilePageReader::BytesHeld() const {
  size_t n = 0;
  for (const Page& p : m_pages) n += p.bytes.size();
  return n;
}

void CFilePageReader::Fill(uint64_t first, uint64_t last) {
  const uint64_t start = first * m_nPageSize;
  const uint64_t end = std::min(m_nSize, (last + 1) * m_nPageSize);
  CWindowOutputFile window(start, size_t(end - start));
  bool ok = false;
  {
    CWaitCursor wait;
    StopRunningSearch();
    ++m_nPasses;
    // The file is read from its start; the window drops what lies before the range and
    // stops the read as soon as the range is filled.
    ok = m_pFile && m_pFile->WriteContent(window, nullptr, 0);
  }
  m_nStreamed += window.Position();
  const size_t got = window.Bytes().size();
  if (!window.Full()) {
    const uint64_t failedAt = start + got;
    m_strProblem = ok ? Tr("IDS_UI_THE_FILE_ENDS_BEFORE_ITS_RECORDED", u"The file ends before its recorded size: bytes from offset %1 on show as ??.")
                            .arg(HexOffset(failedAt, 8))
                      : Tr("IDS_UI_THE_FILE_COULD_NOT_BE_READ", u"The file could not be read from offset %1 on: those bytes show as ??.")
                            .arg(HexOffset(failedAt, 8));
  }
  for (uint64_t index = first; index <= last; ++index) {
    m_pages.remove_if([&](const Page& p) { return p.nIndex == index; });
    Page page;
    page.nIndex = index;
    const uint64_t pageStart = index * m_nPageSize - start;
    const uint64_t pageLen = std::min<uint64_t>(m_nPageSize, end - index * m_nPageSize);
    page.nValid = pageStart < got ? size_t(std::min<uint64_t>(pageLen, got - pageStart)) : 0;
    page.bytes.assign(window.Bytes().begin() + ptrdiff_t(std::min<uint64_t>(pageStart, got)),
                      window.Bytes().begin() + ptrdiff_t(std::min<uint64_t>(pageStart, got) + page.nValid));
    m_pages.push_front(std::move(page));
  }
  while (m_pages.size() > m_nMaxPages) m_pages.pop_back();
  m_nPeakHeld = std::max(m_nPeakHeld, BytesHeld() + window.Bytes().capacity());
}

const CFilePageReader::Page& CFilePageReader::GetPage(uint64_t index) {
  for (auto it = m_pages.begin(); it != m_pages.end(); ++it) {
    if (it->nIndex != index) continue;
    if (it != m_pages.begin()) m_pages.splice(m_pages.begin(), m_pages, it);
    return m_pages.front();
  }
  // One pass reads half the cache's pages: ahead of the page when moving forward, behind it
  // when moving back, so that scrolling on in the same direction finds them.
  const uint64_t lastPage = m_nSize == 0 ? 0 : (m_nSize - 1) / m_nPageSize;
  const uint64_t half = std::max<uint64_t>(m_nMaxPages / 2, 1);
  uint64_t first, last;
  if (index >= m_nLastMiss) {
    first = index > 0 ? index - 1 : 0;
    last = std::min(lastPage, first + half - 1);
  } else {
    last = std::min(lastPage, index + 1);
    first = last + 1 >= half ? last + 1 - half : 0;
  }
  first = std::min(first, index);
  last = std::max(last, index);
  m_nLastMiss = index;
  Fill(first, last);
  for (const Page& p : m_pages)
    if (p.nIndex == index) return p;
  return m_pages.front();  // not reached: Fill always adds the page
}

void CFilePageReader::Read(uint64_t offset, size_t len, uint8_t* out, bool* readable) {
  size_t done = 0;
  while (done < len) {
    const uint64_t at = offset + done;
    if (at >= m_nSize) {
      std::fill(out + done, out + len, 0);
      std::fill(readable + done, readable + len, false);
      return;
    }
    const Page& page = GetPage(at / m_nPageSize);
    const size_t inPage = size_t(at % m_nPageSize);
    const size_t n = std::min<size_t>(len - done, m_nPageSize - inPage);
    for (size_t i = 0; i < n; ++i) {
      bool ok = inPage + i < page.nValid;
      out[done + i] = ok ? page.bytes[inPage + i] : 0;
      readable[done + i] = ok;
    }
    done += n;
  }
}

// ---------------------------------------------------------------------------------------------

CHexDumpCtrl::CHexDumpCtrl(QWidget* parent) : QAbstractScrollArea(parent) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(9);
  setFont(font);
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::StyledPanel);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
}

void CHexDumpCtrl::SetSource(IHexSource* source) {
  m_pSource = source;
  m_nTopRow = 0;
  m_strLastProblem.clear();
  UpdateLayout();
  viewport()->update();
}

void CHexDumpCtrl::SetSeparatorLines(bool on) {
  m_bSeparators = on;
  viewport()->update();
}

int CHexDumpCtrl::OffsetDigits() const {
  uint64_t size = m_pSource ? m_pSource->Size() : 0;
  int digits = 8;
  while (digits < 16 && size > 0 && ((size - 1) >> (4 * digits)) != 0) ++digits;
  return digits;
}

uint64_t CHexDumpCtrl::RowCount() const {
  if (!m_pSource || m_pSource->Size() == 0) return 0;
  return (m_pSource->Size() - 1) / uint64_t(m_nBytesPerRow) + 1;
}

int CHexDumpCtrl::VisibleRows() const {
  int line = fontMetrics().height();
  return std::max(1, viewport()->height() / std::max(1, line));
}

uint64_t CHexDumpCtrl::MaxTopRow() const {
  uint64_t rows = RowCount();
  uint64_t visible = uint64_t(VisibleRows());
  return rows > visible ? rows - visible : 0;
}

void CHexDumpCtrl::UpdateLayout() {
  // Offset column, gap, bytes in groups of 8 ("XX " each, one more space between groups),
  // gap, characters; as many groups as the width holds, at least one.
  const int cw = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
  const int fixed = cw * (OffsetDigits() + 5);
  const int perGroup = cw * (8 * 3 + 1 + 8);
  int groups = std::max(1, (viewport()->width() - fixed + cw) / perGroup);
  groups = std::min(groups, 32);
  // Keep the first visible byte in view when the row length changes.
  const uint64_t firstByte = m_nTopRow * uint64_t(m_nBytesPerRow);
  m_nBytesPerRow = groups * 8;
  m_nTopRow = std::min(firstByte / uint64_t(m_nBytesPerRow), MaxTopRow());
  UpdateScrollBar();
}

void CHexDumpCtrl::UpdateScrollBar() {
  const uint64_t maxTop = MaxTopRow();
  m_bSyncing = true;
  QScrollBar* bar = verticalScrollBar();
  if (maxTop <= kScrollScale) {
    bar->setRange(0, int(maxTop));
    bar->setPageStep(VisibleRows());
    bar->setValue(int(m_nTopRow));
  } else {
    // More rows than an int scroll bar can step through: its positions stand for fractions.
    bar->setRange(0, int(kScrollScale));
    bar->setPageStep(std::max(1, int(uint64_t(VisibleRows()) * kScrollScale / maxTop)));
    bar->setValue(int((unsigned __int128)m_nTopRow * kScrollScale / maxTop));
  }
  bar->setSingleStep(1);
  m_bSyncing = false;
}

void CHexDumpCtrl::ScrollToRow(uint64_t row) {
  m_nTopRow = std::min(row, MaxTopRow());
  UpdateScrollBar();
  viewport()->update();
}

void CHexDumpCtrl::ScrollToEnd() { ScrollToRow(MaxTopRow()); }

void CHexDumpCtrl::scrollContentsBy(int, int) {
  if (m_bSyncing) return;
  const uint64_t maxTop = MaxTopRow();
  const uint64_t value = uint64_t(std::max(0, verticalScrollBar()->value()));
  m_nTopRow = maxTop <= kScrollScale ? value : uint64_t((unsigned __int128)value * maxTop / kScrollScale);
  m_nTopRow = std::min(m_nTopRow, maxTop);
  viewport()->update();
}

void CHexDumpCtrl::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateLayout();
}

void CHexDumpCtrl::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) UpdateLayout();
}

void CHexDumpCtrl::keyPressEvent(QKeyEvent* event) {
  const uint64_t page = uint64_t(std::max(1, VisibleRows() - 1));
  switch (event->key()) {
    case Qt::Key_Down: ScrollToRow(m_nTopRow + 1); break;
    case Qt::Key_Up: ScrollToRow(m_nTopRow > 0 ? m_nTopRow - 1 : 0); break;
    case Qt::Key_PageDown: ScrollToRow(m_nTopRow + page); break;
    case Qt::Key_PageUp: ScrollToRow(m_nTopRow > page ? m_nTopRow - page : 0); break;
    case Qt::Key_Home: ScrollToRow(0); break;
    case Qt::Key_End: ScrollToEnd(); break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
  }
  event->accept();
}

void CHexDumpCtrl::wheelEvent(QWheelEvent* event) {
  // Three rows per notch, by row whatever the scroll bar's scale.
  m_nWheelRemainder += event->angleDelta().y();
  const int rows = m_nWheelRemainder / 40;
  m_nWheelRemainder -= rows * 40;
  if (rows > 0) ScrollToRow(m_nTopRow > uint64_t(rows) ? m_nTopRow - uint64_t(rows) : 0);
  if (rows < 0) ScrollToRow(m_nTopRow + uint64_t(-rows));
  event->accept();
}

void CHexDumpCtrl::NoteProblem() {
  QString problem = m_pSource ? m_pSource->Problem() : QString();
  if (problem.isEmpty() || problem == m_strLastProblem) return;
  m_strLastProblem = problem;
  emit ReadProblem(problem);
}

CHexDumpCtrl::RowParts CHexDumpCtrl::FormatRow(uint64_t row) {
  RowParts parts;
  if (!m_pSource || row >= RowCount()) return parts;
  const uint64_t offset = row * uint64_t(m_nBytesPerRow);
  const size_t n = size_t(std::min<uint64_t>(uint64_t(m_nBytesPerRow), m_pSource->Size() - offset));
  m_rowBytes.assign(n, 0);
  m_rowReadable.assign(n, 0);
  std::unique_ptr<bool[]> flags(new bool[n]);
  m_pSource->Read(offset, n, m_rowBytes.data(), flags.get());
  for (size_t i = 0; i < n; ++i) m_rowReadable[i] = flags[i];
  NoteProblem();
  parts.strOffset = HexOffset(offset, OffsetDigits());
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) parts.strHex += (i % 8 == 0) ? QStringLiteral("  ") : QStringLiteral(" ");
    parts.strHex += HexByte(m_rowBytes[i], m_rowReadable[i]);
    parts.strChars += CharOf(m_rowBytes[i], m_rowReadable[i]);
  }
  return parts;
}

QString CHexDumpCtrl::RowText(uint64_t row) {
  RowParts parts = FormatRow(row);
  if (parts.strOffset.isEmpty()) return {};
  return parts.strOffset + QStringLiteral(" | ") + parts.strHex + QStringLiteral(" | ") + parts.strChars;
}

void CHexDumpCtrl::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QFontMetrics fm = fontMetrics();
  const int cw = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
  const int line = std::max(1, fm.height());
  const int digits = OffsetDigits();
  const int xOffset = cw;
  const int xSep1 = xOffset + digits * cw + cw;
  const int xHex = xSep1 + cw;
  const int hexWidth = (m_nBytesPerRow * 3 - 1 + (m_nBytesPerRow / 8 - 1)) * cw;
  const int xSep2 = xHex + hexWidth + cw;
  const int xChars = xSep2 + cw;
  const QColor text = palette().color(QPalette::Text), offsetColour = palette().color(QPalette::Link);
  const QColor bad(200, 0, 0);

  const int rows = viewport()->height() / line + 1;
  for (int r = 0; r < rows; ++r) {
    const uint64_t row = m_nTopRow + uint64_t(r);
    if (row >= RowCount()) break;
    RowParts parts = FormatRow(row);
    const int baseline = r * line + fm.ascent();
    painter.setPen(offsetColour);
    painter.drawText(xOffset, baseline, parts.strOffset);
    // Byte by byte so that unreadable bytes stand out; the positions are those of RowText.
    for (size_t i = 0; i < m_rowBytes.size(); ++i) {
      painter.setPen(m_rowReadable[i] ? text : bad);
      const int x = xHex + int(i * 3 + i / 8) * cw;
      painter.drawText(x, baseline, HexByte(m_rowBytes[i], m_rowReadable[i]));
      painter.drawText(xChars + int(i) * cw, baseline, QString(CharOf(m_rowBytes[i], m_rowReadable[i])));
    }
  }
  if (m_bSeparators) {
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(xSep1, 0, xSep1, viewport()->height());
    painter.drawLine(xSep2, 0, xSep2, viewport()->height());
  }
}

// ---------------------------------------------------------------------------------------------

CViewHexDlg::CViewHexDlg(CFSFile* file, QWidget* parent) : QDialog(parent) {
  setWindowTitle(Tr("IDS_UI_VIEW_WITH_HEX", u"View With Hex"));
  setObjectName(QStringLiteral("viewHexDialog"));
  resize(760, 440);
  const uint64_t size = file ? file->GetSize() : 0;
  m_pReader = std::make_unique<CFilePageReader>(file, size);

  auto* layout = new QVBoxLayout(this);
  auto* info = new QLabel(this);
  info->setObjectName(QStringLiteral("hexInfo"));
  if (file)
    info->setText(Tr("IDS_UI_1_2_BYTES", u"%1    %2 bytes").arg(Q(file->m_strName)).arg(QLocale::c().toString(qulonglong(size))));
  layout->addWidget(info);
  m_pDump = new CHexDumpCtrl(this);
  m_pDump->setObjectName(QStringLiteral("hexDump"));
  m_pDump->SetSeparatorLines(true);
  layout->addWidget(m_pDump, 1);
  m_pMessage = new QLabel(this);
  m_pMessage->setObjectName(QStringLiteral("hexMessage"));
  m_pMessage->setWordWrap(true);
  QPalette pal = m_pMessage->palette();
  pal.setColor(QPalette::WindowText, QColor(200, 0, 0));
  m_pMessage->setPalette(pal);
  m_pMessage->hide();
  layout->addWidget(m_pMessage);
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* close = buttons->addButton(Tr("IDS_UI_CLOSE", u"Close"), QDialogButtonBox::AcceptRole);
  close->setObjectName(QStringLiteral("closeButton"));
  close->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);
  connect(m_pDump, &CHexDumpCtrl::ReadProblem, this, [this](const QString& text) {
    m_pMessage->setText(text);
    m_pMessage->show();
  });
  m_pDump->SetSource(m_pReader.get());
  m_pDump->setFocus();
}

QString CViewHexDlg::MessageText() const { return m_pMessage->text(); }

bool ShowHexView(QWidget* parent, CFSFile* file) {
  if (!file || file->GetSize() == 0) return false;
  CViewHexDlg dialog(file, parent);
  dialog.exec();
  return true;
}
