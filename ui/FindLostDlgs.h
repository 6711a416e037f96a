// The two dialogs of the "Find Lost Drivers" command: the choice of a disk, then the choice of
// the range of units (sectors of a disk, clusters of a volume) to scan.
//
// Unit numbers are 64-bit throughout: a disk of more than 2^32 sectors (2 TiB) is covered
// whole. The sliders only have an int range, so they show a unit proportionally (exactly
// when the range fits in an int); the edit fields hold the exact numbers.
#pragma once

#include <QAbstractSpinBox>
#include <QDialog>
#include <QString>
#include <cstdint>

class CKelvoDoc;
class CPhysicalDriver;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QSlider;

// The disk dialog: lists the document's disks, the first one selected; OK answers the chosen
// disk and does nothing while none is selected.
class CFindLostDriversDlg : public QDialog {
  Q_OBJECT
 public:
  // preselect (may be null) is the disk chosen when the dialog opens; otherwise the first.
  explicit CFindLostDriversDlg(CKelvoDoc& doc, QWidget* parent = nullptr, const CPhysicalDriver* preselect = nullptr);

  // A disk's line in the list: "<number>: <product or image name> (<size>)".
  static QString DiskText(const CPhysicalDriver& disk);
  // The chosen disk once the dialog was accepted; null otherwise.
  CPhysicalDriver* SelectedDisk() const { return m_pDisk; }

  void accept() override;

 private:
  QComboBox* m_pDisks = nullptr;
  CPhysicalDriver* m_pDisk = nullptr;
};

// An edit field with up/down arrows for one unsigned 64-bit number in [min, max] (QSpinBox
// holds an int only). It accepts digits only; a number above max is refused as typed, one
// below min is left to be completed and counts as min when read.
class CUnitSpinBox : public QAbstractSpinBox {
  Q_OBJECT
 public:
  explicit CUnitSpinBox(QWidget* parent = nullptr);
  void SetRange(uint64_t nMin, uint64_t nMax);
  // The number in the field, brought into [min, max] (an empty field reads as min).
  uint64_t Value() const;
  void SetValue(uint64_t value);

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The field's text changed, typed or set.
  void TextChanged();
  // The arrows (or the Up, Down and page keys) changed the number.
  void Stepped();

 protected:
  StepEnabled stepEnabled() const override;

 private:
  uint64_t m_nMin = 0, m_nMax = 0;
};

// The unit range dialog ("Select cluster range"): a first and a last unit within [min, max],
// each set with an edit field or a slider. The last unit is inclusive: the range text counts
// end - start + 1 units. OK needs end > start.
class CFindLostFilesDlg : public QDialog {
  Q_OBJECT
 public:
  CFindLostFilesDlg(uint64_t nMin, uint64_t nMax, uint32_t nUnitBytes, QWidget* parent = nullptr);

  // "start-end(sizeMb)", the size being ((end - start + 1) >> 10) x unitBytes >> 10 in
  // 64-bit arithmetic (0 when end < start).
  static QString RangeText(uint64_t start, uint64_t end, uint32_t unitBytes);

  // Slider positions: [0, steps] stands for [min, max], unit for unit when the range fits in
  // an int and proportionally (rounded) otherwise; each mapping undoes the other.
  int SliderSteps() const { return m_nSteps; }
  int SliderFromUnit(uint64_t unit) const;
  uint64_t UnitFromSlider(int position) const;

  void accept() override;

  // The chosen range; m_nStart = min and m_nEnd = max until the dialog opens.
  uint64_t m_nStart = 0;
  uint64_t m_nEnd = 0;
  QString m_strRange;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();
  void ReadFields();
  void ShowFields();
  void UpdateRangeText();
  void OnSpin(bool bEnd);
  void OnSliderSet(bool bEnd);
  void OnEditChanged();

  uint64_t m_nMin, m_nMax;
  uint32_t m_nUnitBytes;
  int m_nSteps = 0;
  bool m_bReady = false;
  CUnitSpinBox* m_pStartEdit = nullptr;
  CUnitSpinBox* m_pEndEdit = nullptr;
  QSlider* m_pStartSlider = nullptr;
  QSlider* m_pEndSlider = nullptr;
  QLabel* m_pRange = nullptr;
  QDialogButtonBox* m_pButtons = nullptr;
};

// The disk dialog over the document's disks; the chosen disk, or null when cancelled.
CPhysicalDriver* AskFindLostDisk(QWidget* parent, CKelvoDoc& doc, const CPhysicalDriver* preselect = nullptr);

// The range dialog over the disk's sectors [0, m_nClusterCount] in 512-byte units. On OK the
// disk's scan range becomes [start, end] with the end sector included: m_nFirstUnit = start
// and m_nLastUnit (exclusive, as the lost-volume scan reads it) = end + 1, at most the
// sector count. False when cancelled; the disk is then unchanged.
bool AskFindLostRange(QWidget* parent, CPhysicalDriver* disk);
