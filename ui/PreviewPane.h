// The "File Preview" pane: the content of the single file selected in a list, without saving
// it. Pictures are drawn to fit the pane, text files shown as read-only text, ZIP and RAR
// archives as a list of their entries, and for a set of document and media types the
// thumbnail of a freedesktop thumbnailer, when one is installed for the type.
//
// The pane holds what it shows (the decoded picture, the text, the archive entries); it never
// touches the previewed node again after loading it, so a node that goes away later does no
// harm.
#pragma once

#include <QImage>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "preview/ArchiveListing.h"
#include "preview/PreviewRules.h"
#include "ui/PictureDecoder.h"
#include "ui/Thumbnailer.h"

class CDirEntry;
class CFSFile;
class CFSListCtrl;
class QStackedLayout;

// Preview kinds beyond the picture format codes (1 to 10 and 19, EPictureFormat).
enum : int { PREVIEW_NONE = 0, PREVIEW_TEXT = 512, PREVIEW_ZIP = 513, PREVIEW_RAR = 514 };

// The preview kind of a file by its extension text. Only the last three characters (and,
// for "wbmp", "jpeg" and "tiff", the last four) take part, case-insensitively: "xjpg" is a
// JPEG, "c" a text file, "cc" nothing.
int ClassifyPreview(std::u16string_view extension);

// Where a w x h picture is drawn in a W x H area: unscaled and centred when it is smaller in
// both directions, otherwise scaled down to the full height or width (aspect kept, the other
// side truncated) and centred. A picture is never enlarged. Empty for an empty picture or area.
QRect FitPicture(int w, int h, int areaWidth, int areaHeight);

// Whether a file of this size may be previewed under the PreviewLargeFile setting (MiB):
// CanPreviewSize with the application's setting.
bool IsPreviewSizeAllowed(uint64_t size);

// The picture canvas: white, with the picture fitted and centred, or a message.
class CPictureCanvas : public QWidget {
  Q_OBJECT
 public:
  explicit CPictureCanvas(QWidget* parent = nullptr);
  void SetPicture(const CPicture* picture);  // not owned; null draws none
  void SetMessage(const QString& message);
  const QString& Message() const { return m_strMessage; }
  // Where the picture is drawn now.
  QRect PictureRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const CPicture* m_pPicture = nullptr;
  QString m_strMessage;
};

// A text view that can be read, scrolled and selected but not typed into, and that shows
// no context menu.
class CReadOnlyEdit : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit CReadOnlyEdit(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
};

class CPreviewPane : public QWidget {
  Q_OBJECT
 public:
  enum class EView { Canvas, Text, Archive };

  // Registers itself as the application's preview (GuiApp().m_loadPreview).
  explicit CPreviewPane(QWidget* parent = nullptr);
  ~CPreviewPane() override;

  // Makes item the previewed item and shows it: reads it (files up to the PreviewLargeFile
  // limit, on this thread, under the wait cursor), classifies it by extension and shows the
  // picture, text, archive listing or thumbnail; anything that cannot be shown gives a message
  // on the canvas. The same item twice reloads nothing. Call Clear when the nodes a list
  // showed may have gone (another folder shown, a folder emptied and refilled).
  void LoadPreview(CDirEntry* item);
  // Forgets the previewed item and shows an empty canvas.
  void Clear();

  // The views, filled directly (LoadPreview calls these).
  void ShowText(const uint8_t* data, size_t size);
  bool ShowZipListing(const uint8_t* data, size_t size);
  bool ShowRarListing(const uint8_t* data, size_t size);
  void ShowPicture(const QImage& image);
  void ShowMessage(const QString& message);

  EView CurrentView() const;
  CPictureCanvas* Canvas() const { return m_pCanvas; }
  CReadOnlyEdit* TextView() const { return m_pText; }
  CFSListCtrl* ArchiveList() const { return m_pArchive; }
  const CPicture& Picture() const { return m_picture; }
  // The canvas's message; empty while it shows a picture.
  QString Message() const;
  CDirEntry* PreviewItem() const { return m_pItem; }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ShowView(EView view);
  void ShowEntries(std::vector<CArchiveEntry> entries);

  QStackedLayout* m_pStack;
  CPictureCanvas* m_pCanvas;
  CReadOnlyEdit* m_pText;
  CFSListCtrl* m_pArchive;
  CPicture m_picture;
  std::vector<std::unique_ptr<CDirEntry>> m_archiveEntries;  // the archive list's rows
  CDirEntry* m_pItem = nullptr;  // compared only, never used after loading
  std::u16string m_strItemName;  // the previewed item's name and size when it was loaded
  uint64_t m_nItemSize = 0;
};
