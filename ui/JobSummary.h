// The summary that ends a long job (a deep scan, a lost-volume search): a message box that
// stays on top of the main window until the user closes it. It is not modal, so the results
// it announces can be looked at at once; it deletes itself when closed.
#pragma once

#include <QString>

class QMessageBox;
class QWidget;

// Shows the summary; answers the box (objectName "jobSummary"). details, when given, is the
// box's detailed text (a list too long for its main text).
QMessageBox* ShowJobSummary(QWidget* parent, const QString& title, const QString& text, const QString& informative,
                            const QString& details = QString());
