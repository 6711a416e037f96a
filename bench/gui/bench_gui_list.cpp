// How long the file list takes to show and to sort a large folder, on the real widgets
// (offscreen). The MFT is read first and timed apart; then, for the folder given:
//   show     the tree selection shows the folder: loading its children from the read MFT,
//            sorting them by name, and laying out and painting the first screen of the list;
//   sort N   a click on column N sorts the folder's own child vector and repaints (each
//            column twice: ascending, then descending).
// It also checks that the list's rows are the folder's own nodes (no copies).
//
//   bench_gui_list IMAGE FOLDER
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTreeView>
#include <cstdio>

#include "app/App.h"
#include "app/Document.h"
#include "device/Driver.h"
#include "ntfs/NTFSDriver.h"
#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"
#include "ui/KelvoView.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication qapp(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_gui_list IMAGE FOLDER\n");
    return 2;
  }
  CKelvoApp app;
  app.InitCore(nullptr);
  CKelvoDoc doc(false);
  std::string error;
  if (!doc.AddDiskImage(argv[1], &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  doc.EnumerateVolumes();
  if (doc.Volumes().empty()) {
    std::fprintf(stderr, "no volume in %s\n", argv[1]);
    return 1;
  }
  CLogicalDriver* volume = doc.Volumes().front().get();
  QElapsedTimer t;
  t.start();
  if (auto* ntfs = dynamic_cast<CNTFSDriver*>(volume)) ntfs->EnsureMftLoaded();
  CDirectory* root = volume->m_pRoot;
  root->LoadChildren(true, false, true);
  double mft = t.nsecsElapsed() / 1e6;
  CDirectory* folder = nullptr;
  for (auto& c : root->m_children)
    if (c->IsDirectory() && c->m_strName == QString::fromLocal8Bit(argv[2]).toStdU16String())
      folder = static_cast<CDirectory*>(c.get());
  if (!folder) {
    std::fprintf(stderr, "no folder %s in the root\n", argv[2]);
    return 1;
  }

  CKelvoView view;
  view.resize(960, 600);
  view.show();
  QApplication::processEvents();
  CFSListCtrl* list = view.List();
  t.restart();
  view.ShowList();
  view.ShowInList(folder);
  list->DetailsView()->viewport()->repaint();
  QApplication::processEvents();
  double show = t.nsecsElapsed() / 1e6;
  std::printf("MFT read and root loaded: %.1f ms (%llu records)\n", mft,
              (unsigned long long)(dynamic_cast<CNTFSDriver*>(volume) ? static_cast<CNTFSDriver*>(volume)->m_nRecordCount : 0));
  std::printf("show %zu items: %.1f ms\n", folder->m_children.size(), show);
  bool same = list->Model()->rowCount() == int(folder->m_children.size());
  for (int r = 0; same && r < list->Model()->rowCount(); r += 997)
    same = list->Model()->NodeAt(r) == folder->m_children[size_t(r)].get();
  std::printf("rows are the folder's own nodes: %s\n", same ? "yes" : "NO");

  QHeaderView* header = list->DetailsView()->header();
  const char* names[] = {"FileName", "Size", "Type", "Modified Date", "Status"};
  for (int col = 0; col < header->count(); ++col) {
    for (int pass = 0; pass < 2; ++pass) {
      if (col == 0 && pass == 0) list->Model()->Sort(1, Qt::AscendingOrder);  // leave column 0 first
      t.restart();
      list->Model()->SortByColumn(col);
      list->DetailsView()->viewport()->repaint();
      QApplication::processEvents();
      std::printf("sort %-13s %-10s %.1f ms\n", names[col],
                  list->Model()->SortOrder() == Qt::AscendingOrder ? "ascending" : "descending", t.nsecsElapsed() / 1e6);
    }
  }
  return same ? 0 : 1;
}
