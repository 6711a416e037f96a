// The about box: the program's icon, its name and version, and OK.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

// The About command's window, modal.
void ShowAboutBox(QWidget* parent);
