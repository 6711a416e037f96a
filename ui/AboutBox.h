// The about box: the program's icon, its name and version, its licence and home page, the
// versions of the libraries it runs with, and OK.
#pragma once

#include <QDialog>
#include <QString>

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

// "Qt X, LibRaw Y, libblkid Z": the versions of the libraries loaded at run time (which
// may be newer than the ones the program was built with).
QString LibraryVersionsText();

// The About command's window, modal.
void ShowAboutBox(QWidget* parent);
