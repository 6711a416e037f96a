// The language file: a few user-interface texts looked up by key in section [String]
// of an INI file in the "Language" folder of the program's data folder
// (platform/DataDirectory.h).
#pragma once

#include <string>

// The primary language ids the program has files for.
enum : int { LANG_GERMAN = 0x07, LANG_ENGLISH = 0x09, LANG_SPANISH = 0x0A, LANG_FRENCH = 0x0C };

// The system's default language id, from the locale (LC_ALL, LC_MESSAGES, LANG):
// 0x0407 German, 0x0C0A Spanish, 0x040C French, 0x0409 English otherwise.
int SystemDefaultLanguageId();

// Chooses the language file once at start: "german.ini" for primary language 7,
// "spanish.ini" for 10, "french.ini" for 12, "english.ini" otherwise, in directory; when
// that file is absent, directory + "english.ini" whether or not it exists. language -1
// means the system's default. directory ends with '/'.
void ChooseLanguageFile(int language, const std::string& directory = std::string());
// The chosen path (empty before ChooseLanguageFile).
const std::string& LanguageFilePath();
// The "Language/" folder in the running program's data folder.
std::string DefaultLanguageDirectory();

// The localised text of an "IDS_" key, or builtIn when the key is missing; the two
// characters '\' 'n' become a line break. The file is read at every call.
std::u16string GetString(const std::string& key, const std::u16string& builtIn);
