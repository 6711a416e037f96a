#include "ui/JobSummary.h"

#include <QMessageBox>

QMessageBox* ShowJobSummary(QWidget* parent, const QString& title, const QString& text, const QString& informative,
                            const QString& details) {
  auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
  box->setObjectName(QStringLiteral("jobSummary"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->setInformativeText(informative);
  if (!details.isEmpty()) box->setDetailedText(details);
  box->show();
  box->raise();
  box->activateWindow();
  return box;
}
