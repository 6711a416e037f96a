// The filter bar above the file list while it shows a volume's results folder: type, size
// range and name pattern. The list shows only what it keeps, so selecting all and recovering
// writes only those.
#pragma once

#include <QWidget>

class CDirectory;
class CFSListModel;
class QComboBox;
class QLineEdit;
class QPushButton;

class CResultFilterBar : public QWidget {
  Q_OBJECT
 public:
  CResultFilterBar(CFSListModel* model, QWidget* parent = nullptr);
  // Offers the types of the folder's files ("All types" first); keeps the type chosen when the
  // folder still has it.
  void FillTypes(CDirectory* folder);
  // Empties the fields (the list shows everything again).
  void Reset();

  QComboBox* m_pType = nullptr;
  QLineEdit* m_pMinSize = nullptr;
  QLineEdit* m_pMaxSize = nullptr;
  QLineEdit* m_pName = nullptr;
  QPushButton* m_pClear = nullptr;

 private:
  void Apply();
  CFSListModel* m_pModel;
};

// "4096", "4k", "2M", "1G" (K = 1024) as bytes; false for anything else (an empty text too).
bool ParseSizeText(const QString& text, uint64_t& bytes);
