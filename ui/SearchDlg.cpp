#include "ui/SearchDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "app/Document.h"
#include "device/Driver.h"
#include "tasks/StopEvents.h"
#include "ui/GuiApp.h"
#include "ui/UiText.h"
#include "ui/Icons.h"
#include "ui/MainFrame.h"
#include "ui/SearchResultPane.h"

namespace {

// The search page whose search GuiApp().m_stopSearch stops (there is one in the program).
CSearchDlg* g_pSearchPage = nullptr;

void* Data(CDirectory* folder) { return static_cast<void*>(folder); }

bool IsLostFolder(const CDirEntry* node) {
  return node && node->m_pDriver && node == node->m_pDriver->m_pLostFolder;
}

// A bound in kilobytes as the 32-bit byte bound of the criteria. Bounds of 4 GiB and more
// become the largest 32-bit value; a size of 2^32 bytes or more never matches anyway.
uint32_t KilobytesToBytes(uint32_t kb) {
  return uint32_t(std::min<uint64_t>(uint64_t(kb) * 1024, UINT32_MAX));
}

uint32_t ReadKilobytes(const QLineEdit* edit) {
  bool ok = false;
  qulonglong value = edit->text().toULongLong(&ok);
  return ok ? uint32_t(std::min<qulonglong>(value, UINT32_MAX)) : 0;
}

// Loads every folder the search will enter that is not loaded yet, with existing and
// deleted items, as the views load a folder they show. (The folder model's search would
// load such a folder itself asking for deleted files only; on FAT that leaves out the
// existing files, and since a folder is loaded once, they would then be missing from the
// views as well.) A volume's results folder is left alone: it is filled by the deep scan,
// and the search never enters it. False when the search is stopped.
bool LoadFoldersForSearch(CDirectory* start, bool subfolders) {
  // Folders as deep as the search goes, and no deeper.
  std::vector<std::pair<CDirectory*, int>> pending{{start, 0}};
  while (!pending.empty()) {
    if (IsDialogStopSignalled()) return false;
    auto [folder, depth] = pending.back();
    pending.pop_back();
    if (!folder->m_bLoaded) folder->LoadChildren(true, false, true);
    if (!subfolders || depth + 1 >= kMaxFolderDepth) continue;
    for (size_t i = folder->m_children.size(); i-- > 0;) {
      CDirEntry* child = folder->m_children[i].get();
      if (child && child->IsDirectory() && !IsLostFolder(child))
        pending.emplace_back(static_cast<CDirectory*>(child), depth + 1);
    }
  }
  return !IsDialogStopSignalled();
}

}  // namespace

CSearchDlg::CSearchDlg(CKelvoDoc* doc, CSearchResultPane* results, QWidget* parent)
    : CTaskDialog(false, parent), m_pDoc(doc), m_pResults(results) {
  setWindowFlags(Qt::Widget);  // a page of the left pane, not a window
  setObjectName(QStringLiteral("searchPage"));
  setModal(false);

  m_pLookIn = new QComboBox(this);
  m_pLookIn->setObjectName(QStringLiteral("lookInCombo"));
  m_pLookIn->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  m_pLookIn->setMinimumContentsLength(12);
  m_pPattern = new QLineEdit(this);
  m_pPattern->setObjectName(QStringLiteral("patternEdit"));
  m_pSearch = new QPushButton(Tr("IDS_UI_SEARCH", u"Search"), this);
  m_pSearch->setObjectName(QStringLiteral("searchButton"));
  m_pSearch->setDefault(true);
  m_pMatchCase = new QCheckBox(Tr("IDS_UI_MATCH_CASE", u"Match case"), this);
  m_pMatchCase->setObjectName(QStringLiteral("matchCaseCheck"));
  m_pSubfolders = new QCheckBox(Tr("IDS_UI_SEARCH_SUBFOLDERS", u"Search subfolders"), this);
  m_pSubfolders->setObjectName(QStringLiteral("subfoldersCheck"));
  m_pSizeFilter = new QCheckBox(Tr("IDS_UI_SIZE_BETWEEN_IN_KB", u"Size between (in KB):"), this);
  m_pSizeFilter->setObjectName(QStringLiteral("sizeFilterCheck"));
  auto* digits = new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,10}")), this);
  m_pSizeLow = new QLineEdit(QStringLiteral("0"), this);
  m_pSizeLow->setObjectName(QStringLiteral("sizeLowEdit"));
  m_pSizeLow->setValidator(digits);
  m_pSizeHigh = new QLineEdit(QStringLiteral("0"), this);
  m_pSizeHigh->setObjectName(QStringLiteral("sizeHighEdit"));
  m_pSizeHigh->setValidator(digits);
  m_pDateFilter = new QCheckBox(Tr("IDS_UI_DATE_BETWEEN", u"Date between:"), this);
  m_pDateFilter->setObjectName(QStringLiteral("dateFilterCheck"));
  m_pDateKind = new QComboBox(this);
  m_pDateKind->setObjectName(QStringLiteral("dateKindCombo"));
  // A sorted list: "Created" is item 0 (creation time), "Modified" item 1.
  m_pDateKind->addItems({Tr("IDS_UI_CREATED_2", u"Created"), Tr("IDS_UI_MODIFIED", u"Modified")});
  const QDateTime now = QDateTime::currentDateTime();
  m_tDateLow = m_tDateHigh = now.toSecsSinceEpoch();
  m_pDateLow = new QDateTimeEdit(now, this);
  m_pDateLow->setObjectName(QStringLiteral("dateFromEdit"));
  m_pDateHigh = new QDateTimeEdit(now, this);
  m_pDateHigh->setObjectName(QStringLiteral("dateToEdit"));
  for (QDateTimeEdit* edit : {m_pDateLow, m_pDateHigh}) {
    // The bound is a time of day as well as a date: both are shown.
    edit->setDisplayFormat(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    edit->setCalendarPopup(true);
    edit->setMinimumWidth(120);  // a narrow pane squeezes it rather than scrolling sideways
  }

  // "Look in:" across the top, the pattern box beside the button below it, the filters
  // below those; all in a scroll area, so that the page does not hold the docks around it
  // to its own height.
  auto* content = new QWidget;
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(new QLabel(Tr("IDS_UI_LOOK_IN", u"Look in:"), this));
  layout->addWidget(m_pLookIn);
  layout->addSpacing(6);
  layout->addWidget(new QLabel(Tr("IDS_UI_SEARCH_FOR", u"Search for:"), this));
  auto* searchRow = new QHBoxLayout;
  searchRow->setSpacing(6);
  searchRow->addWidget(m_pPattern, 1);
  searchRow->addWidget(m_pSearch);
  layout->addLayout(searchRow);
  layout->addSpacing(6);
  layout->addWidget(m_pMatchCase);
  layout->addWidget(m_pSubfolders);
  layout->addWidget(m_pSizeFilter);
  auto* sizeRow = new QHBoxLayout;
  sizeRow->setContentsMargins(20, 0, 0, 0);
  sizeRow->addWidget(m_pSizeLow, 1);
  sizeRow->addWidget(new QLabel(QStringLiteral("and"), this));
  sizeRow->addWidget(m_pSizeHigh, 1);
  layout->addLayout(sizeRow);
  layout->addWidget(m_pDateFilter);
  auto* dateGrid = new QGridLayout;
  dateGrid->setContentsMargins(20, 0, 0, 0);
  dateGrid->addWidget(m_pDateKind, 0, 0, 1, 2);
  dateGrid->addWidget(new QLabel(Tr("IDS_UI_FROM", u"From"), this), 1, 0);
  dateGrid->addWidget(m_pDateLow, 1, 1);
  dateGrid->addWidget(new QLabel(Tr("IDS_UI_TO", u"To"), this), 2, 0);
  dateGrid->addWidget(m_pDateHigh, 2, 1);
  dateGrid->setColumnStretch(1, 1);
  layout->addLayout(dateGrid);
  layout->addStretch(1);
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName(QStringLiteral("searchScroll"));
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidget(content);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(scroll);

  connect(m_pSearch, &QPushButton::clicked, this, &CSearchDlg::OnSearchButton);
  connect(m_pSizeFilter, &QCheckBox::toggled, this, &CSearchDlg::UpdateFilterControls);
  connect(m_pDateFilter, &QCheckBox::toggled, this, &CSearchDlg::UpdateFilterControls);

  SyncVolumes();
  if (m_pLookIn->count() > 0) m_pLookIn->setCurrentIndex(0);
  m_pDateKind->setCurrentIndex(0);
  UpdateFilterControls();

  g_pSearchPage = this;
  GuiApp().m_stopSearch = [] {
    if (g_pSearchPage) g_pSearchPage->StopSearch();
  };
}

CSearchDlg::~CSearchDlg() {
  // The worker ends before the page's members go; a stop asked for meanwhile still
  // reaches this page.
  StopThread();
  if (g_pSearchPage == this) {
    g_pSearchPage = nullptr;
    GuiApp().m_stopSearch = nullptr;
  }
}

void CSearchDlg::SyncVolumes() {
  if (!m_pDoc) return;
  m_pDoc->EnumerateVolumes();
  for (int i = m_nVolumeEntries; i-- > 0;) {
    void* data = m_pLookIn->itemData(i).value<void*>();
    const bool listed = std::any_of(m_pDoc->Volumes().begin(), m_pDoc->Volumes().end(),
                                    [&](const auto& v) { return v && Data(v->m_pRoot) == data; });
    if (listed) continue;
    m_pLookIn->removeItem(i);
    --m_nVolumeEntries;
  }
  for (const auto& volume : m_pDoc->Volumes()) {
    CDirectory* root = volume ? volume->m_pRoot : nullptr;
    if (!root) continue;
    bool listed = false;
    for (int i = 0; i < m_nVolumeEntries && !listed; ++i)
      listed = m_pLookIn->itemData(i).value<void*>() == Data(root);
    if (listed) continue;
    QIcon icon = volume->m_nDriveType == DRIVE_REMOVABLE ? icons::RemovableVolume() : icons::FixedVolume();
    m_pLookIn->insertItem(m_nVolumeEntries, icon, Q(root->m_strName), QVariant::fromValue(Data(root)));
    m_pLookIn->setItemData(m_nVolumeEntries, Q(volume->m_strRootText), Qt::ToolTipRole);
    ++m_nVolumeEntries;
  }
  for (int i = 0; i < m_nVolumeEntries; ++i) {
    auto* root = static_cast<CDirectory*>(m_pLookIn->itemData(i).value<void*>());
    if (!root || !root->m_pDriver) continue;
    QString text = Q(root->m_strName);
    if (root->m_pDriver->m_bDisconnected) text += QLatin1Char(' ') + Tr("IDS_UI_DISCONNECTED", u"(disconnected)");
    m_pLookIn->setItemText(i, text);
  }
}

CDirectory* CSearchDlg::LookInFolder() const {
  int index = m_pLookIn->currentIndex();
  return index < 0 ? nullptr : static_cast<CDirectory*>(m_pLookIn->itemData(index).value<void*>());
}

void CSearchDlg::OnTreeFolderSelected(CDirectory* folder) {
  SyncVolumes();
  // The folder added for the previous selection goes.
  while (m_pLookIn->count() > m_nVolumeEntries) m_pLookIn->removeItem(m_pLookIn->count() - 1);
  if (!folder) {
    if (m_pLookIn->count() > 0) m_pLookIn->setCurrentIndex(0);
    return;
  }
  if (folder->m_pDriver && folder == folder->m_pDriver->m_pRoot) {
    // A volume: its own entry (the first one for a volume that has none, such as a
    // disk's deep-scan volume).
    int index = 0;
    for (int i = 0; i < m_nVolumeEntries; ++i)
      if (m_pLookIn->itemData(i).value<void*>() == Data(folder)) index = i;
    if (m_pLookIn->count() > 0) m_pLookIn->setCurrentIndex(index);
    return;
  }
  m_pLookIn->addItem(icons::Folder(), Q(folder->m_strName), QVariant::fromValue(Data(folder)));
  m_pLookIn->setItemData(m_pLookIn->count() - 1, Q(folder->GetFullPath() + folder->m_strName), Qt::ToolTipRole);
  m_pLookIn->setCurrentIndex(m_pLookIn->count() - 1);
}

void CSearchDlg::UpdateFilterControls() {
  const bool size = m_pSizeFilter->isChecked();
  m_pSizeLow->setEnabled(size);
  m_pSizeHigh->setEnabled(size);
  const bool date = m_pDateFilter->isChecked();
  m_pDateKind->setEnabled(date);
  m_pDateLow->setEnabled(date);
  m_pDateHigh->setEnabled(date);
  ReadFields();
}

void CSearchDlg::ReadFields() {
  m_bMatchCase = m_pMatchCase->isChecked();
  m_strPattern = m_pPattern->text();
  m_bSubfolders = m_pSubfolders->isChecked();
  m_bSizeFilter = m_pSizeFilter->isChecked();
  m_bDateFilter = m_pDateFilter->isChecked();
  m_nSizeLow = ReadKilobytes(m_pSizeLow);
  m_nSizeHigh = ReadKilobytes(m_pSizeHigh);
  m_tDateLow = m_pDateLow->dateTime().toSecsSinceEpoch();
  m_tDateHigh = m_pDateHigh->dateTime().toSecsSinceEpoch();
  m_nDateKind = m_pDateKind->currentIndex();
}

void CSearchDlg::showEvent(QShowEvent* event) {
  CTaskDialog::showEvent(event);
  SyncVolumes();
  m_pPattern->setFocus();
}

void CSearchDlg::SetIdle() {
  m_bRunning = false;
  m_pSearch->setText(Tr("IDS_UI_SEARCH", u"Search"));
}

void CSearchDlg::OnSearchButton() {
  if (m_bRunning) {
    m_pSearch->setText(Tr("IDS_UI_SEARCH", u"Search"));
    StopSearch();
    return;
  }
  ReadFields();
  if (m_strPattern.isEmpty()) m_strPattern = QStringLiteral("*");
  if (m_pResults) m_pResults->BeginSearch();
  StopThread();  // joins the worker of the previous search

  m_criteria = SearchCriteria();
  m_criteria.strPattern = U(m_strPattern);
  m_criteria.bMatchCase = m_bMatchCase;
  m_criteria.bSubfolders = m_bSubfolders;
  m_criteria.bSizeFilter = m_bSizeFilter;
  m_criteria.nSizeLow = KilobytesToBytes(m_nSizeLow);
  m_criteria.nSizeHigh = KilobytesToBytes(m_nSizeHigh);
  m_criteria.bDateFilter = m_bDateFilter;
  m_criteria.tDateLow = m_tDateLow;
  m_criteria.tDateHigh = m_tDateHigh;
  m_criteria.nDateKind = m_nDateKind;
  m_pSearchRoot = LookInFolder();
  m_pResultWindow = m_pResults.data();
  m_bStepBegan.store(false);

  m_bRunning = true;
  m_pSearch->setText(Tr("IDS_UI_CANCEL", u"Cancel"));
  if (!StartThread()) {
    SetIdle();
    return;
  }
  // Wait (briefly: the worker sends nothing before) until the worker is inside its step.
  // From then on the step ends with WM_SEARCHDONE however it is stopped, even by another
  // task that takes over the runner, so the button always comes back to "Search".
  std::shared_ptr<const CEvent> event = StopEvent();
  while (!m_bStepBegan.load() && event && StopEvent() == event)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void CSearchDlg::StopSearch() {
  // The GUI thread's own rule: a worker never comes here (it would be waiting for itself).
  if (QThread::currentThread() != thread() || !m_bRunning) return;
  if (m_nAnswering > 0 || (m_pResults && m_pResults->IsAnsweringWorker())) {
    // The worker waits for the answer being given on this thread, so it cannot be waited
    // for here. Until the answer returns it touches nothing; then it stops at its next
    // poll, without loading anything more, and reports WM_SEARCHDONE.
    SignalDialogStop();
    return;
  }
  StopThread();  // the hits sent before the stop, and WM_SEARCHDONE, are handled meanwhile
  SetIdle();
}

bool CSearchDlg::ThreadStep() {
  m_bSearching.store(true);
  m_bStepBegan.store(true);
  uint32_t counter = 0;
  bool completed = false;
  CDirectory* root = m_pSearchRoot;
  if (root && m_pResultWindow) {
    if (IsLostFolder(root) && !root->m_bLoaded)
      completed = !IsDialogStopSignalled();  // nothing found yet; only the deep scan fills it
    else
      completed = LoadFoldersForSearch(root, m_criteria.bSubfolders) && root->Search(&m_criteria, m_pResultWindow, counter);
  }
  if (completed) SendProgress(this, WM_STATUSTEXT, counter, 0);
  m_bSearching.store(false);
  SendProgress(this, WM_SEARCHDONE, completed ? 1 : 0, int64_t(counter));
  return true;
}

int64_t CSearchDlg::OnProgress(uint32_t message, uint64_t wParam, int64_t lParam) {
  ++m_nAnswering;
  switch (message) {
    case WM_STATUSTEXT:
      if (GuiApp().m_pMainFrame) GuiApp().m_pMainFrame->SetStatusText(TrCount(wParam, "IDS_SEARCH_FOUND_ONE", u"Found %1 item", "IDS_SEARCH_FOUND", u"Found %1 items"));
      break;
    case WM_SEARCHDONE:
      SetIdle();
      emit SearchFinished(wParam != 0, int(lParam));
      break;
    default:
      break;
  }
  --m_nAnswering;
  return 0;
}
