#include "ui/SearchResultPane.h"

#include <QVBoxLayout>

#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/GuiApp.h"
#include "ui/UiText.h"
#include "ui/MainFrame.h"
#include "ui/TaskRunnerQt.h"

CSearchResultPane::CSearchResultPane(QWidget* parent) : QWidget(parent), m_pList(new CFSListCtrl(true, true, this)) {
  setObjectName(QStringLiteral("searchResultPane"));
  m_pList->setObjectName(QStringLiteral("resultList"));
  m_pList->RememberColumnsAs("ResultListColumns");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(m_pList);
  m_pList->Model()->ShowNodes();
  GuiApp().m_pResultList = m_pList;

  connect(m_pList, &CFSListCtrl::SelectionChangedTo, this, [this](int count) {
    if (m_bClearing) return;  // emptied for a new search: not the user's choice of list
    MakeActive();
    ShowSelectedCount();
    if (count != 1) return;
    std::vector<CDirEntry*> nodes = m_pList->SelectedNodes();
    // The preview reads the volume: the main window stops a running search first.
    if (!nodes.empty() && GuiApp().m_pMainFrame) GuiApp().m_pMainFrame->PreviewIfSmall(nodes.front());
  });
  connect(m_pList, &CFSListCtrl::Clicked, this, &CSearchResultPane::ShowSelectedCount);
  connect(m_pList, &CFSListCtrl::ContextMenuShown, this, [this] {
    MakeActive();
    ShowSelectedCount();
  });
}

CSearchResultPane::~CSearchResultPane() {
  m_bAlive.store(false);
  StopRunningSearch();
  if (GuiApp().m_pResultList == m_pList) {
    GuiApp().m_pResultList = nullptr;
    GuiApp().m_bResultListActive = false;
  }
}

void CSearchResultPane::SetContextMenu(QMenu* menu) { m_pList->SetContextMenu(menu); }

void CSearchResultPane::Clear() {
  m_bClearing = true;
  m_pList->Selection()->clear();
  m_pList->Model()->ShowNodes();
  m_bClearing = false;
  if (GuiApp().m_pMainFrame) GuiApp().m_pMainFrame->UpdateCommands();
}

void CSearchResultPane::BeginSearch() {
  Clear();
  emit SearchStarted();
}

int64_t CSearchResultPane::Send(uint32_t message, uint64_t wParam, int64_t lParam) {
  if (!m_bAlive.load()) return 0;
  return CallOnGuiThread(this, [this, message, wParam, lParam]() -> int64_t {
    if (!m_bAlive.load() || message != WM_SEARCHHIT) return 0;
    ++m_nAnswering;
    OnSearchHit(wParam, reinterpret_cast<CDirEntry*>(lParam));
    --m_nAnswering;
    return 0;
  });
}

void CSearchResultPane::OnSearchHit(uint64_t, CDirEntry* node) {
  if (!node) return;
  // The texts that some file systems read from the volume (an NTFS file's data size, a
  // deleted file's recovery status) are taken now, while the worker waits for this call,
  // so that painting and sorting the row later never reads the volume while the search
  // goes on.
  node->GetSizeText(false);
  node->GetStatusText();
  // Hits arrive in the order the search meets them; row r is the r-th hit of this search,
  // which is the list's end (the list was emptied when the search began).
  m_pList->Model()->AppendNode(node);
}

void CSearchResultPane::MakeActive() {
  GuiApp().m_bResultListActive = true;
  if (GuiApp().m_pMainFrame) GuiApp().m_pMainFrame->UpdateCommands();
}

void CSearchResultPane::ShowSelectedCount() {
  if (GuiApp().m_pMainFrame)
    GuiApp().m_pMainFrame->SetStatusText(SelectedCountText(m_pList->SelectedCount()));
}
