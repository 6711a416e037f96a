#include "ui/FindLostDlgs.h"
#include "ui/UiText.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QSlider>
#include <QStyleOptionSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "app/Document.h"
#include "device/PhysicalDriver.h"
#include "ui/GuiApp.h"
#include "ui/Icons.h"

// ---------------------------------------------------------------------------
// The disk dialog.

CFindLostDriversDlg::CFindLostDriversDlg(CKelvoDoc& doc, QWidget* parent, const CPhysicalDriver* preselect)
    : QDialog(parent) {
  setWindowTitle(Tr("IDS_UI_FIND_LOST_DRIVES", u"Find Lost Drives"));

  auto* prompt = new QLabel(Tr("IDS_UI_SELECT_THE_PHYSICAL_DRIVE_TO_SEARCH", u"Select the physical drive to search:"), this);
  auto* label = new QLabel(Tr("IDS_UI_DRIVE", u"&Drive:"), this);
  m_pDisks = new QComboBox(this);
  m_pDisks->setObjectName(QStringLiteral("disks"));
  m_pDisks->setIconSize(QSize(16, 16));
  m_pDisks->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  label->setBuddy(m_pDisks);

  doc.EnumerateDisks();
  m_pDisks->clear();
  for (const auto& disk : doc.Disks()) {
    if (disk->m_bDisconnected) continue;  // gone since it was listed: nothing to read
    m_pDisks->addItem(icons::FixedVolume(), DiskText(*disk), QVariant::fromValue(static_cast<void*>(disk.get())));
    m_pDisks->setItemData(m_pDisks->count() - 1, QString::fromStdString(disk->m_source.strPath), Qt::ToolTipRole);
  }
  int chosen = 0;
  for (int i = 0; i < m_pDisks->count(); ++i)
    if (m_pDisks->itemData(i).value<void*>() == preselect) chosen = i;
  if (m_pDisks->count() > 0) m_pDisks->setCurrentIndex(chosen);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(m_pDisks, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addLayout(row);
  layout->addStretch(1);
  layout->addWidget(buttons);
  setMinimumWidth(360);
}

QString CFindLostDriversDlg::DiskText(const CPhysicalDriver& disk) {
  return QStringLiteral("%1: %2 (%3)").arg(disk.m_nDevice).arg(Q(disk.m_szName), Q(disk.GetSizeText()));
}

void CFindLostDriversDlg::accept() {
  int index = m_pDisks->currentIndex();
  if (index < 0) return;  // nothing chosen: the dialog stays
  m_pDisk = static_cast<CPhysicalDriver*>(m_pDisks->itemData(index).value<void*>());
  QDialog::accept();
}

CPhysicalDriver* AskFindLostDisk(QWidget* parent, CKelvoDoc& doc, const CPhysicalDriver* preselect) {
  CFindLostDriversDlg dialog(doc, parent, preselect);
  return dialog.exec() == QDialog::Accepted ? dialog.SelectedDisk() : nullptr;
}

// ---------------------------------------------------------------------------
// The 64-bit unit field.

namespace {
// The digits of text as a number; false for anything else or a number beyond 64 bits.
bool ParseUnit(const QString& text, uint64_t& value) {
  if (text.isEmpty()) return false;
  value = 0;
  for (QChar c : text) {
    if (c < u'0' || c > u'9') return false;
    if (__builtin_mul_overflow(value, uint64_t(10), &value) ||
        __builtin_add_overflow(value, uint64_t(c.unicode() - u'0'), &value))
      return false;
  }
  return true;
}
}  // namespace

CUnitSpinBox::CUnitSpinBox(QWidget* parent) : QAbstractSpinBox(parent) {
  connect(lineEdit(), &QLineEdit::textChanged, this, &CUnitSpinBox::TextChanged);
}

void CUnitSpinBox::SetRange(uint64_t nMin, uint64_t nMax) {
  m_nMin = nMin;
  m_nMax = std::max(nMin, nMax);
  updateGeometry();
}

uint64_t CUnitSpinBox::Value() const {
  uint64_t v;
  if (!ParseUnit(text(), v)) return m_nMin;
  return std::clamp(v, m_nMin, m_nMax);
}

void CUnitSpinBox::SetValue(uint64_t value) {
  QString t = QString::number(std::clamp(value, m_nMin, m_nMax));
  if (t != text()) lineEdit()->setText(t);
}

void CUnitSpinBox::stepBy(int steps) {
  uint64_t v = Value();
  if (steps > 0) v = m_nMax - v < uint64_t(steps) ? m_nMax : v + uint64_t(steps);
  else if (steps < 0) v = v - m_nMin < uint64_t(-int64_t(steps)) ? m_nMin : v - uint64_t(-int64_t(steps));
  SetValue(v);
  selectAll();
  emit Stepped();
}

QAbstractSpinBox::StepEnabled CUnitSpinBox::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  uint64_t v = Value();
  StepEnabled e = StepNone;
  if (v < m_nMax) e |= StepUpEnabled;
  if (v > m_nMin) e |= StepDownEnabled;
  return e;
}

QValidator::State CUnitSpinBox::validate(QString& input, int&) const {
  if (input.isEmpty()) return QValidator::Intermediate;
  uint64_t v;
  if (!ParseUnit(input, v) || v > m_nMax) return QValidator::Invalid;
  return v < m_nMin ? QValidator::Intermediate : QValidator::Acceptable;
}

void CUnitSpinBox::fixup(QString& input) const {
  uint64_t v;
  if (!ParseUnit(input, v) || v < m_nMin) v = m_nMin;
  input = QString::number(std::min(v, m_nMax));
}

QSize CUnitSpinBox::sizeHint() const {
  ensurePolished();
  QString widest = QString::number(m_nMax) + u' ';
  QSize text(fontMetrics().horizontalAdvance(widest) + 4, lineEdit()->sizeHint().height());
  QStyleOptionSpinBox opt;
  initStyleOption(&opt);
  return style()->sizeFromContents(QStyle::CT_SpinBox, &opt, text, this);
}

QSize CUnitSpinBox::minimumSizeHint() const { return sizeHint(); }

// ---------------------------------------------------------------------------
// The range dialog.

namespace {
// Slider positions when the range does not fit in an int.
constexpr int kScaledSteps = 1 << 30;
}  // namespace

CFindLostFilesDlg::CFindLostFilesDlg(uint64_t nMin, uint64_t nMax, uint32_t nUnitBytes, QWidget* parent)
    : QDialog(parent), m_nMin(nMin), m_nMax(std::max(nMin, nMax)), m_nUnitBytes(nUnitBytes) {
  setWindowTitle(Tr("IDS_UI_SELECT_CLUSTER_RANGE", u"Select Cluster Range"));
  const uint64_t span = m_nMax - m_nMin;
  m_nSteps = span <= uint64_t(INT_MAX) ? int(span) : kScaledSteps;

  auto* group = new QGroupBox(Tr("IDS_UI_CLUSTERS_TO_SCAN", u"Clusters to Scan"), this);
  auto* startLabel = new QLabel(Tr("IDS_UI_START_CLUSTER", u"Start Cluster:"), group);
  auto* endLabel = new QLabel(Tr("IDS_UI_END_CLUSTER", u"End Cluster:"), group);
  auto* rangeLabel = new QLabel(Tr("IDS_UI_CLUSTERS_TO_SCAN_2", u"Clusters to scan:"), group);

  auto makeEdit = [&](const char* name) {
    auto* e = new CUnitSpinBox(group);
    e->setObjectName(QLatin1String(name));
    e->SetRange(m_nMin, m_nMax);
    return e;
  };
  auto makeSlider = [&](const char* name) {
    auto* s = new QSlider(Qt::Horizontal, group);
    s->setObjectName(QLatin1String(name));
    s->setRange(0, m_nSteps);
    s->setPageStep(std::max(1, m_nSteps / 10));
    s->setMinimumWidth(200);
    return s;
  };
  m_pStartEdit = makeEdit("startEdit");
  m_pEndEdit = makeEdit("endEdit");
  m_pStartSlider = makeSlider("startSlider");
  m_pEndSlider = makeSlider("endSlider");
  startLabel->setBuddy(m_pStartEdit);
  endLabel->setBuddy(m_pEndEdit);
  m_pRange = new QLabel(group);
  m_pRange->setObjectName(QStringLiteral("rangeText"));

  auto* grid = new QGridLayout(group);
  grid->addWidget(startLabel, 0, 0);
  grid->addWidget(m_pStartEdit, 0, 1);
  grid->addWidget(m_pStartSlider, 0, 2);
  grid->addWidget(endLabel, 1, 0);
  grid->addWidget(m_pEndEdit, 1, 1);
  grid->addWidget(m_pEndSlider, 1, 2);
  grid->addWidget(rangeLabel, 2, 0);
  grid->addWidget(m_pRange, 2, 1, 1, 2);
  grid->setColumnStretch(2, 1);

  m_pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  m_pButtons->setObjectName(QStringLiteral("buttons"));
  connect(m_pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(m_pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addWidget(m_pButtons);

  // A spin click moves its own slider; a typed number moves both.
  connect(m_pStartEdit, &CUnitSpinBox::Stepped, this, [this] { OnSpin(false); });
  connect(m_pEndEdit, &CUnitSpinBox::Stepped, this, [this] { OnSpin(true); });
  connect(m_pStartEdit, &CUnitSpinBox::TextChanged, this, &CFindLostFilesDlg::OnEditChanged);
  connect(m_pEndEdit, &CUnitSpinBox::TextChanged, this, &CFindLostFilesDlg::OnEditChanged);
  // A slider sets its field when the handle is let go; a click in the groove, the keyboard
  // and the wheel move it without a drag and set the field at once.
  for (bool bEnd : {false, true}) {
    QSlider* s = bEnd ? m_pEndSlider : m_pStartSlider;
    connect(s, &QSlider::sliderReleased, this, [this, bEnd] { OnSliderSet(bEnd); });
    connect(s, &QSlider::actionTriggered, this, [this, s, bEnd](int action) {
      if (action != QAbstractSlider::SliderMove || !s->isSliderDown()) OnSliderSet(bEnd);
    });
  }

  m_nStart = m_nMin;
  m_nEnd = m_nMax;
}

QString CFindLostFilesDlg::RangeText(uint64_t start, uint64_t end, uint32_t unitBytes) {
  uint64_t mb = 0;
  if (end >= start) {
    // end - start + 1 reaches 2^64 for the whole 64-bit range, and the product can exceed
    // 64 bits for large units: both are computed in 128 bits.
    unsigned __int128 units = (unsigned __int128)(end - start) + 1;
    unsigned __int128 bytes = (units >> 10) * unitBytes >> 10;
    mb = bytes > UINT64_MAX ? UINT64_MAX : uint64_t(bytes);
  }
  return Tr("IDS_UI_1_2_3MB", u"%1-%2(%3Mb)").arg(start).arg(end).arg(mb);
}

int CFindLostFilesDlg::SliderFromUnit(uint64_t unit) const {
  const uint64_t span = m_nMax - m_nMin;
  if (span == 0 || unit <= m_nMin) return 0;
  if (unit >= m_nMax) return m_nSteps;
  unsigned __int128 pos = ((unsigned __int128)(unit - m_nMin) * unsigned(m_nSteps) + span / 2) / span;
  return int(pos);
}

uint64_t CFindLostFilesDlg::UnitFromSlider(int position) const {
  if (m_nSteps == 0 || position <= 0) return m_nMin;
  if (position >= m_nSteps) return m_nMax;
  const uint64_t span = m_nMax - m_nMin;
  unsigned __int128 off = ((unsigned __int128)unsigned(position) * span + unsigned(m_nSteps) / 2) / unsigned(m_nSteps);
  return m_nMin + uint64_t(off);
}

void CFindLostFilesDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!m_bReady) OnInitDialog();
}

void CFindLostFilesDlg::OnInitDialog() {
  m_pStartSlider->setValue(SliderFromUnit(m_nMin));
  m_pEndSlider->setValue(SliderFromUnit(m_nMax));
  m_nStart = m_nMin;
  m_nEnd = m_nMax;
  UpdateRangeText();
  ShowFields();
  m_bReady = true;
}

void CFindLostFilesDlg::ReadFields() {
  m_nStart = m_pStartEdit->Value();
  m_nEnd = m_pEndEdit->Value();
}

void CFindLostFilesDlg::ShowFields() {
  m_pStartEdit->SetValue(m_nStart);
  m_pEndEdit->SetValue(m_nEnd);
}

void CFindLostFilesDlg::UpdateRangeText() {
  m_strRange = RangeText(m_nStart, m_nEnd, m_nUnitBytes);
  m_pRange->setText(m_strRange);
}

void CFindLostFilesDlg::OnSpin(bool bEnd) {
  ReadFields();
  if (bEnd) m_pEndSlider->setValue(SliderFromUnit(m_nEnd));
  else m_pStartSlider->setValue(SliderFromUnit(m_nStart));
  UpdateRangeText();
}

void CFindLostFilesDlg::OnSliderSet(bool bEnd) {
  if (bEnd) m_nEnd = UnitFromSlider(m_pEndSlider->sliderPosition());
  else m_nStart = UnitFromSlider(m_pStartSlider->sliderPosition());
  ShowFields();
  UpdateRangeText();
}

void CFindLostFilesDlg::OnEditChanged() {
  if (!m_bReady) return;
  ReadFields();
  UpdateRangeText();
  m_pStartSlider->setValue(SliderFromUnit(m_nStart));
  m_pEndSlider->setValue(SliderFromUnit(m_nEnd));
}

void CFindLostFilesDlg::accept() {
  ReadFields();
  ShowFields();
  if (m_nEnd > m_nStart) {
    QDialog::accept();
    return;
  }
  QMessageBox::warning(this, QApplication::applicationDisplayName(),
                       Tr("IDS_UI_THE_END_CLUSTER_CANNOT_BE_LESS", u"The end cluster cannot be less than the start cluster."));
}

bool AskFindLostRange(QWidget* parent, CPhysicalDriver* disk) {
  if (!disk) return false;
  const uint64_t sectors = disk->m_nClusterCount;
  CFindLostFilesDlg dialog(0, sectors, 512, parent);
  if (dialog.exec() != QDialog::Accepted) return false;
  disk->m_nFirstUnit = dialog.m_nStart;
  // The dialog's end is included; the scan's last unit is not. The offered maximum is the
  // sector count itself, which is one past the disk's last sector.
  disk->m_nLastUnit = dialog.m_nEnd >= sectors ? sectors : dialog.m_nEnd + 1;
  return true;
}
