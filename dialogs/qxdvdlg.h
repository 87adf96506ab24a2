// QXDVDlg: the settings dialog library. One call runs the modal settings sheet, in which the
// user edits every setting of Quorvex; confirmed pages are written to the settings file and
// the address list beside it, and a capture device chosen on the basic page is started at
// once through the capture core (shared with the caller in the one process).
//
// The caller loads libQXDVDlg.so (dlopen) and calls QDOpenDialog on its GUI thread, with a
// QApplication running. Afterwards it re-reads the settings file and the address list.
//
// Every function here is exported by name with C linkage; nothing else is exported.
#pragma once

class QWidget;

#define QDAPI __attribute__((visibility("default")))

extern "C" {

// What QDOpenDialog is asked to do; filled by the caller, one field written back.
struct QDOPENDIALOGINFO {
  char szAppFolder[256];  // the program folder, with a trailing '/'; not read by the library
  char szIniFile[256];    // the settings file; the address list lies in the same folder
  int bPictureHidden;     // non-zero while the caller shows no live picture: a device started on
                          // the basic page gets a 1 x 1 preview
  int bDeviceRunning;     // in: non-zero when the caller has a capture device started;
                          // out: 0 after the sheet stopped the device, 1 after it started one
  int bSiblingLink;       // non-zero when the caller has the link to the sibling camera program:
                          // the basic page offers it as the first device
};

// Runs the settings sheet modally and returns when it closes: 1 after OK, 2 after Cancel (or
// closing the window). 2 without showing anything when `info` is null or no QApplication
// exists; 2 when an exception escapes from the sheet. `reserved` is not read. `parent` (may
// be null) owns the sheet and is the widget in which the basic page shows a started device's
// preview. bDeviceRunning is written back after OK and Cancel alike.
QDAPI int QDOpenDialog(int reserved, QDOPENDIALOGINFO* info, QWidget* parent);

// For a host that runs its own message loop. Qt delivers every event of the process through
// the one QApplication, and the library installs no filter of its own, so there is nothing to
// pre-translate: always 0 ("not handled"). `msg` is not read.
QDAPI int FilterDllMsg(void* msg);

// Idle processing for such a host: runs the deletions of objects whose deletion is pending
// (Qt's deferred deletes, the counterpart of a framework's idle clean-up; Qt keeps one list
// for the whole process). No effect without a QApplication.
QDAPI void ProcessDllIdle(void);

}  // extern "C"
