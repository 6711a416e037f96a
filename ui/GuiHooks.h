// Connects the core's front-end hooks to the GUI: a results folder that needs filling runs
// the deep-scan wizard, an NTFS volume whose MFT is needed runs the scanning dialog, and
// carved files appended by a scan reach the list that shows their folder.
#pragma once

class QWidget;

void InstallCoreHooks(QWidget* parent);
void RemoveCoreHooks();
