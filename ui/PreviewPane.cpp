#include "ui/PreviewPane.h"
#include "ui/UiText.h"
#include "preview/PreviewRules.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QListView>
#include <QPainter>
#include <QStackedLayout>
#include <QTreeView>
#include <array>
#include <cstring>

#include "app/App.h"
#include "platform/Text.h"
#include "tree/DirEntry.h"
#include "tree/OutputFile.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"

namespace {

using text::EqualsNoCaseAscii;

constexpr std::array<std::u16string_view, 16> kRawExtensions = {u"nef", u"crw", u"cr2", u"dng", u"arw", u"erf",
                                                                u"3fr", u"dcr", u"raw", u"x3f", u"mef", u"raf",
                                                                u"mrw", u"pef", u"sr2", u"orf"};
constexpr std::array<std::u16string_view, 10> kTextExtensions = {u"txt", u"log", u"ini", u"inf", u"bat",
                                                                 u"h",   u"c",   u"cpp", u"pas", u"xml"};

}  // namespace

int ClassifyPreview(std::u16string_view ext) {
  const std::u16string_view e3 = ext.size() > 3 ? ext.substr(ext.size() - 3) : ext;
  const std::u16string_view e4 = ext.size() > 4 ? ext.substr(ext.size() - 4) : ext;
  if (EqualsNoCaseAscii(e4, u"wbmp")) return PICTURE_WBMP;
  if (EqualsNoCaseAscii(e3, u"bmp")) return PICTURE_BMP;
  if (EqualsNoCaseAscii(e3, u"gif")) return PICTURE_GIF;
  if (EqualsNoCaseAscii(e3, u"jpg") || EqualsNoCaseAscii(e4, u"jpeg")) return PICTURE_JPEG;
  if (EqualsNoCaseAscii(e3, u"png")) return PICTURE_PNG;
  if (EqualsNoCaseAscii(e3, u"ico")) return PICTURE_ICO;
  if (EqualsNoCaseAscii(e3, u"tif") || EqualsNoCaseAscii(e4, u"tiff")) return PICTURE_TIFF;
  if (EqualsNoCaseAscii(e3, u"tga")) return PICTURE_TGA;
  if (EqualsNoCaseAscii(e3, u"pcx")) return PICTURE_PCX;
  if (EqualsNoCaseAscii(e3, u"wmf") || EqualsNoCaseAscii(e3, u"emf")) return PICTURE_WMF;
  for (auto raw : kRawExtensions)
    if (EqualsNoCaseAscii(e3, raw)) return PICTURE_RAW;
  for (auto t : kTextExtensions)
    if (EqualsNoCaseAscii(e3, t)) return PREVIEW_TEXT;
  if (EqualsNoCaseAscii(e3, u"zip")) return PREVIEW_ZIP;
  if (EqualsNoCaseAscii(e3, u"rar")) return PREVIEW_RAR;
  return PREVIEW_NONE;
}

QRect FitPicture(int w, int h, int W, int H) {
  if (w <= 0 || h <= 0 || W <= 0 || H <= 0) return {};
  if (w < W && h < H) return QRect((W - w) / 2, (H - h) / 2, w, h);
  // The ratios are single precision; the scaled side is computed from them in double
  // precision and truncated (a 600 x 800 picture in 400 x 400 is 299 wide, not 300).
  const float r = float(h) / float(w);
  if (float(H) / float(W) < r) {
    const int width = int(double(H) / double(r));
    return QRect((W - width) / 2, 0, width, H);
  }
  const int height = int(double(W) * double(r));
  return QRect(0, (H - height) / 2, W, height);
}

bool IsPreviewSizeAllowed(uint64_t size) { return CanPreviewSize(size, TheApp().m_settings.PreviewLargeFile); }

// ---------------------------------------------------------------------------------------------

CPictureCanvas::CPictureCanvas(QWidget* parent) : QWidget(parent) {
  setAccessibleName(QStringLiteral("Picture Preview Canvas"));
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CPictureCanvas::SetPicture(const CPicture* picture) {
  m_pPicture = picture;
  update();
}

void CPictureCanvas::SetMessage(const QString& message) {
  m_strMessage = message;
  update();
}

QRect CPictureCanvas::PictureRect() const {
  if (!m_pPicture || !m_pPicture->IsValid()) return {};
  return FitPicture(m_pPicture->Width(), m_pPicture->Height(), width(), height());
}

void CPictureCanvas::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  if (m_pPicture && m_pPicture->IsValid()) {
    m_pPicture->Draw(painter, PictureRect());
  } else if (!m_strMessage.isEmpty()) {
    painter.setPen(QColor(90, 90, 90));
    painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, m_strMessage);
  }
}

CReadOnlyEdit::CReadOnlyEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setFrameShape(QFrame::StyledPanel);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void CReadOnlyEdit::keyPressEvent(QKeyEvent* event) {
  // Movement, selection and copying pass; anything that would type is swallowed.
  if (!event->text().isEmpty() && event->text().at(0).isPrint() && !(event->modifiers() & Qt::ControlModifier)) {
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void CReadOnlyEdit::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    return;
  }
  QPlainTextEdit::mouseReleaseEvent(event);
}

void CReadOnlyEdit::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }

// ---------------------------------------------------------------------------------------------

CPreviewPane::CPreviewPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("previewPane"));
  m_pStack = new QStackedLayout(this);
  m_pStack->setContentsMargins(0, 0, 0, 0);
  m_pCanvas = new CPictureCanvas(this);
  m_pCanvas->setObjectName(QStringLiteral("pictureCanvas"));
  m_pText = new CReadOnlyEdit(this);
  m_pText->setObjectName(QStringLiteral("textView"));
  m_pArchive = new CFSListCtrl(false, false, this);
  m_pArchive->setObjectName(QStringLiteral("archiveList"));
  m_pArchive->DetailsView()->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pArchive->IconView()->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pStack->addWidget(m_pCanvas);
  m_pStack->addWidget(m_pText);
  m_pStack->addWidget(m_pArchive);
  m_pStack->setCurrentWidget(m_pCanvas);
  setMinimumSize(80, 60);
  GuiApp().m_loadPreview = [this](CDirEntry* item) { LoadPreview(item); };
}

CPreviewPane::~CPreviewPane() {
  GuiApp().m_loadPreview = nullptr;
  m_pArchive->Model()->Clear();
}

void CPreviewPane::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    return;
  }
  QWidget::mouseReleaseEvent(event);
}

void CPreviewPane::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }

CPreviewPane::EView CPreviewPane::CurrentView() const {
  QWidget* w = m_pStack->currentWidget();
  if (w == m_pText) return EView::Text;
  if (w == m_pArchive) return EView::Archive;
  return EView::Canvas;
}

QString CPreviewPane::Message() const { return m_picture.IsValid() ? QString() : m_pCanvas->Message(); }

void CPreviewPane::ShowView(EView view) {
  QWidget* w = view == EView::Text ? static_cast<QWidget*>(m_pText)
               : view == EView::Archive ? static_cast<QWidget*>(m_pArchive)
                                        : static_cast<QWidget*>(m_pCanvas);
  m_pStack->setCurrentWidget(w);
  w->update();
}

void CPreviewPane::ShowMessage(const QString& message) {
  m_picture.Clear();
  m_pCanvas->SetPicture(nullptr);
  m_pCanvas->SetMessage(message);
  ShowView(EView::Canvas);
}

void CPreviewPane::ShowPicture(const QImage& image) {
  m_picture.SetImage(image);
  m_pCanvas->SetMessage(QString());
  m_pCanvas->SetPicture(&m_picture);
  ShowView(EView::Canvas);
}

void CPreviewPane::ShowText(const uint8_t* data, size_t size) {
  // Up to the first zero byte, from the locale's code page.
  const void* zero = data ? std::memchr(data, 0, size) : nullptr;
  const size_t n = zero ? size_t(static_cast<const uint8_t*>(zero) - data) : size;
  m_pText->setPlainText(Q(text::FromLocale(std::string_view(reinterpret_cast<const char*>(data), data ? n : 0))));
  ShowView(EView::Text);
}

void CPreviewPane::ShowEntries(std::vector<CArchiveEntry> entries) {
  // The rows go before the nodes they point to.
  m_pArchive->Model()->ShowNodes();
  m_archiveEntries.clear();
  for (CArchiveEntry& e : entries) {
    auto node = std::make_unique<CDirEntry>();
    node->m_strName = std::move(e.strName);
    node->m_strExtension = ExtensionOf(node->m_strName);
    node->m_nSize = node->m_nAllocatedSize = e.nSize;
    node->m_tModified = node->m_tCreated = node->m_tAccessed = e.tModified;
    node->m_nStatus = STATUS_EXISTING;
    m_pArchive->Model()->AppendNode(node.get());
    m_archiveEntries.push_back(std::move(node));
  }
  ShowView(EView::Archive);
}

bool CPreviewPane::ShowZipListing(const uint8_t* data, size_t size) {
  std::vector<CArchiveEntry> entries;
  if (!ListZipEntries(data, size, entries)) {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW_THE_FILE_IS_NOT", u"No preview: the file is not a ZIP archive that can be listed."));
    return false;
  }
  ShowEntries(std::move(entries));
  return true;
}

bool CPreviewPane::ShowRarListing(const uint8_t* data, size_t size) {
  std::vector<CArchiveEntry> entries;
  if (!ListRarEntries(data, size, entries)) {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW_THE_FILE_IS_NOT_2", u"No preview: the file is not a RAR archive that can be listed."));
    return false;
  }
  ShowEntries(std::move(entries));
  return true;
}

void CPreviewPane::Clear() {
  m_pItem = nullptr;
  m_strItemName.clear();
  m_nItemSize = 0;
  m_pText->clear();
  m_pArchive->Model()->ShowNodes();
  m_archiveEntries.clear();
  ShowMessage(QString());
}

void CPreviewPane::LoadPreview(CDirEntry* item) {
  // The same item again reloads nothing. The name and size are compared too, so that a new
  // node that happens to take a freed node's address is not taken for it.
  if (item && item == m_pItem && item->m_strName == m_strItemName && item->m_nSize == m_nItemSize) return;
  // Release what the previous item left.
  m_pItem = item;
  m_strItemName = item ? item->m_strName : std::u16string();
  m_nItemSize = item ? item->m_nSize : 0;
  m_picture.Clear();
  m_pCanvas->SetPicture(nullptr);
  m_pText->clear();
  m_pArchive->Model()->ShowNodes();
  m_archiveEntries.clear();

  auto* file = dynamic_cast<CFSFile*>(item);
  if (!file) {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW", u"No preview."));
    return;
  }
  const uint64_t size = file->GetSize();
  if (!IsPreviewSizeAllowed(size)) {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW_THE_FILE_IS_LARGER", u"No preview: the file is larger than the preview limit of %1 MB (see Options).")
                    .arg(TheApp().m_settings.PreviewLargeFile));
    return;
  }
  const int code = ClassifyPreview(file->m_strExtension);
  if (code == PICTURE_WMF) {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW_WMF_AND_EMF_PICTURES", u"No preview: WMF and EMF pictures cannot be shown."));
    return;
  }
  StopRunningSearch();
  CWaitCursor wait;
  if (code == PREVIEW_NONE) {
    QImage thumbnail;
    if (GetShellThumbnail(file, &thumbnail, m_pCanvas->width(), m_pCanvas->height())) ShowPicture(thumbnail);
    else ShowMessage(Tr("IDS_UI_NO_PREVIEW_FOR_THIS_TYPE_OF", u"No preview for this type of file."));
    return;
  }
  // The whole file in memory, bounded by the limit whatever size the node claims.
  CMemoryOutputFile content(size_t(PreviewByteLimit(TheApp().m_settings.PreviewLargeFile)));
  if (!file->WriteContent(content, nullptr, 0)) {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW_THE_FILE_COULD_NOT", u"No preview: the file could not be read."));
    return;
  }
  const std::vector<uint8_t>& bytes = content.Bytes();
  if (code == PREVIEW_TEXT) {
    ShowText(bytes.data(), bytes.size());
  } else if (code == PREVIEW_ZIP) {
    ShowZipListing(bytes.data(), bytes.size());
  } else if (code == PREVIEW_RAR) {
    ShowRarListing(bytes.data(), bytes.size());
  } else if (m_picture.Decode(bytes.data(), bytes.size(), code)) {
    m_pCanvas->SetMessage(QString());
    m_pCanvas->SetPicture(&m_picture);
    ShowView(EView::Canvas);
  } else {
    ShowMessage(Tr("IDS_UI_NO_PREVIEW_THE_PICTURE_CANNOT_BE", u"No preview: the picture cannot be shown.\n%1").arg(m_picture.Error()));
  }
}
