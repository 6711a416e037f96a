// The texts of the windows: each one looked up by key in the language file (section
// [String]) with the program's English as the default, and the plural forms of counts.
#pragma once

#include <QString>

struct ProgressFigures;
class CDriver;

// The language file's text for key, or english when the file has none.
QString Tr(const char* key, const char16_t* english);
// The text for count n: keyOne/one for 1, keyMany/many otherwise; "%1" becomes n.
QString TrCount(qulonglong n, const char* keyOne, const char16_t* one, const char* keyMany, const char16_t* many);
// "1 item", "N items" and "N items selected", the list's status texts.
QString ItemCountText(qulonglong n);
QString SelectedCountText(qulonglong n);
// What a list shows of its items: "S of N items" when the deleted-only rule or a filter
// leaves some out, "N items" when it shows them all; "(deleted only)" after it while that
// rule is on.
QString ShownCountText(qulonglong shown, qulonglong total, bool filtered, bool deletedOnly);

// A long job's figures (tasks/ProgressFigures.h) in words: "42% (1.2 GiB of 3.0 GiB)" and
// "85.3 MiB/s, 00:00:14 elapsed, 00:00:22 left".
QString ProgressPercentText(const ProgressFigures& f);
QString ProgressRateText(const ProgressFigures& f);

// The name a volume is shown by: a volume of an image file is named by the image's file name
// (with its partition number and label), not its whole path, which goes to the tooltip.
QString VolumeDisplayName(const CDriver& volume);

// Loads Qt's own translation of its standard texts (OK, Cancel, Next, Back, Finish, Yes, No,
// ...) for the language of the chosen language file, from Qt's translations folder; does
// nothing for English or when Qt's translations are not installed. Called again, it replaces
// the previous one.
void InstallQtTranslations();
