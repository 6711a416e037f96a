// Where the programs find the files installed with them (the start page and guide in
// Media/, the language files in Language/).
//
// Installed, the programs live in PREFIX/bin and their data in PREFIX/share/quarrow; in a
// build tree the build copies Media/ and Language/ beside the programs. The programs work
// out which from their own location, so an installed tree can be moved as a whole.
#pragma once

#include <string>

namespace datadir {

// The folder of the running program (symbolic links resolved), "." when it cannot be read;
// without a trailing '/'.
std::string ProgramDirectory();

// The data folder for a program in programDirectory: programDirectory/../share/quarrow
// when that folder exists (an installed program), otherwise programDirectory itself (a
// build tree). Without a trailing '/'.
std::string DataDirectoryFor(const std::string& programDirectory);

// The data folder of the running program: DataDirectoryFor(ProgramDirectory()).
std::string DataDirectory();

}  // namespace datadir
