// Icons of the lists and the tree, chosen by name alone (no file is opened for an icon).
#pragma once

#include <QIcon>
#include <QString>

namespace icons {
QIcon Computer();        // "My Computer"
QIcon Disks();           // "Physical Drivers"
QIcon FixedVolume();     // a fixed volume's root
QIcon RemovableVolume(); // a removable volume's root
QIcon Folder();
QIcon FolderOpen();
// The icon of a file of this name, from the desktop's icon theme by MIME type, or a
// generic file icon.
QIcon ForFileName(const QString& name);
// The icon of a file with this extension (without the dot).
QIcon ForExtension(const QString& extension);
// The same icon with the deleted mark painted over its lower-left corner.
QIcon Deleted(const QIcon& icon);
QIcon Program();
}  // namespace icons
