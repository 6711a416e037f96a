#include "ui/ResultFilterBar.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <set>

#include "tree/DirEntry.h"
#include "ui/FSListCtrl.h"
#include "ui/UiText.h"

bool ParseSizeText(const QString& text, uint64_t& bytes) {
  QString t = text.trimmed();
  if (t.isEmpty()) return false;
  uint64_t unit = 1;
  const QChar last = t.back().toUpper();
  if (last == 'K' || last == 'M' || last == 'G' || last == 'T') {
    unit = last == 'K' ? 1ull << 10 : last == 'M' ? 1ull << 20 : last == 'G' ? 1ull << 30 : 1ull << 40;
    t.chop(1);
  } else if (last == 'B') {
    t.chop(1);
  }
  bool ok = false;
  const double value = t.trimmed().toDouble(&ok);
  if (!ok || value < 0 || value * double(unit) > 1.8e19) return false;
  bytes = uint64_t(value * double(unit));
  return true;
}

CResultFilterBar::CResultFilterBar(CFSListModel* model, QWidget* parent) : QWidget(parent), m_pModel(model) {
  setObjectName(QStringLiteral("resultFilterBar"));
  m_pType = new QComboBox(this);
  m_pType->setObjectName(QStringLiteral("filterType"));
  m_pType->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  m_pMinSize = new QLineEdit(this);
  m_pMinSize->setObjectName(QStringLiteral("filterMinSize"));
  m_pMinSize->setPlaceholderText(Tr("IDS_UI_FILTER_ANY", u"any"));
  m_pMaxSize = new QLineEdit(this);
  m_pMaxSize->setObjectName(QStringLiteral("filterMaxSize"));
  m_pMaxSize->setPlaceholderText(Tr("IDS_UI_FILTER_ANY", u"any"));
  const QString sizeTip = Tr("IDS_UI_FILTER_SIZE_TIP", u"Bytes, or with K, M or G: 4K, 2M, 1G");
  m_pMinSize->setToolTip(sizeTip);
  m_pMaxSize->setToolTip(sizeTip);
  m_pMinSize->setMaximumWidth(90);
  m_pMaxSize->setMaximumWidth(90);
  m_pName = new QLineEdit(this);
  m_pName->setObjectName(QStringLiteral("filterName"));
  m_pName->setPlaceholderText(Tr("IDS_UI_FILTER_NAME_HINT", u"part of the name, or a pattern with * and ?"));
  m_pName->setClearButtonEnabled(true);
  m_pClear = new QPushButton(Tr("IDS_UI_FILTER_CLEAR", u"Show All"), this);
  m_pClear->setObjectName(QStringLiteral("filterClear"));

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(4, 2, 4, 2);
  row->addWidget(new QLabel(Tr("IDS_UI_FILTER_TYPE", u"Type:"), this));
  row->addWidget(m_pType);
  row->addSpacing(8);
  row->addWidget(new QLabel(Tr("IDS_UI_FILTER_SIZE", u"Size from"), this));
  row->addWidget(m_pMinSize);
  row->addWidget(new QLabel(Tr("IDS_UI_FILTER_SIZE_TO", u"to"), this));
  row->addWidget(m_pMaxSize);
  row->addSpacing(8);
  row->addWidget(new QLabel(Tr("IDS_UI_FILTER_NAME", u"Name:"), this));
  row->addWidget(m_pName, 1);
  row->addWidget(m_pClear);

  connect(m_pType, &QComboBox::currentIndexChanged, this, [this] { Apply(); });
  connect(m_pMinSize, &QLineEdit::textChanged, this, [this] { Apply(); });
  connect(m_pMaxSize, &QLineEdit::textChanged, this, [this] { Apply(); });
  connect(m_pName, &QLineEdit::textChanged, this, [this] { Apply(); });
  connect(m_pClear, &QPushButton::clicked, this, [this] { Reset(); });
  FillTypes(nullptr);
}

void CResultFilterBar::FillTypes(CDirectory* folder) {
  const QString chosen = m_pType->currentIndex() > 0 ? m_pType->currentText() : QString();
  std::set<QString> types;
  if (folder)
    for (const auto& child : folder->m_children)
      if (child && !child->IsDirectory() && !child->m_strExtension.empty())
        types.insert(QString::fromStdU16String(child->m_strExtension).toUpper());
  const QSignalBlocker block(m_pType);
  m_pType->clear();
  m_pType->addItem(Tr("IDS_UI_FILTER_ALL_TYPES", u"All types"));
  for (const QString& t : types) m_pType->addItem(t);
  const int at = chosen.isEmpty() ? 0 : m_pType->findText(chosen);
  m_pType->setCurrentIndex(at < 0 ? 0 : at);
  Apply();
}

void CResultFilterBar::Reset() {
  {
    const QSignalBlocker b1(m_pType), b2(m_pMinSize), b3(m_pMaxSize), b4(m_pName);
    m_pType->setCurrentIndex(0);
    m_pMinSize->clear();
    m_pMaxSize->clear();
    m_pName->clear();
  }
  Apply();
}

void CResultFilterBar::Apply() {
  ResultFilter f;
  if (m_pType->currentIndex() > 0) f.strType = m_pType->currentText().toStdU16String();
  // A size that does not read as one is shown in red and not used.
  auto size = [](QLineEdit* edit, uint64_t& bound) {
    const bool empty = edit->text().trimmed().isEmpty();
    const bool ok = empty || ParseSizeText(edit->text(), bound);
    edit->setStyleSheet(ok ? QString() : QStringLiteral("color: #b00020;"));
  };
  size(m_pMinSize, f.nMinSize);
  size(m_pMaxSize, f.nMaxSize);
  f.strPattern = m_pName->text().trimmed().toStdU16String();
  m_pModel->SetResultFilter(f);
}
