// Dialog texts from the language file.
//
// A dialog (or a page of a sheet) is known by its dialog id; the language file's [String]
// section may hold "IDD<dialog id>_Title" for its caption and "IDD<dialog id>_<control id>"
// (decimal) for the text of each of its controls. A widget takes part under the control id
// held in its property "controlId"; widgets without that property (the fields that show
// data, the icon) are never touched. Labels without an id of their own carry
// kSharedLabelId, so one key sets them all.
#pragma once

class QWidget;

// The name of the property that holds a widget's control id.
inline constexpr char kControlIdProperty[] = "controlId";
// The id shared by labels that have none of their own.
inline constexpr int kSharedLabelId = 65535;

// Gives the widget its control id.
void SetControlId(QWidget* widget, int controlId);

// Replaces the caption of window (its window title and, when it is a page of a tab widget,
// its tab's text) and the texts of its controls by the language file's non-empty values for
// the dialog id. Missing or empty values leave a text as it is; values are taken as written
// (at most 999 characters; "\n" stays two characters).
void TranslateDialog(QWidget* window, int dialogId);
