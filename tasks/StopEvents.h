// The class-wide stop events of the two runners, as long operations poll them.
//
// Operations started from a progress dialog or the search pane (unit scans, the FAT
// pre-pass, the lost-partition scan, the MFT scan, the search) poll the dialog runner's
// event; the saving of recovered items and every file node's WriteContent poll the page
// runner's. Polling happens only in code that was given a progress window.
#pragma once

// True when the dialog runner's stop event exists and is signalled.
bool IsDialogStopSignalled();
// True when the page runner's stop event exists and is signalled.
bool IsPageStopSignalled();
