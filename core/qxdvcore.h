// QXDVCore: the capture core. One capture device per process behind a small set of exported
// functions: start the library, list the devices, start one of them inside a capture window,
// read and change its display state, open its dialogs, grab single frames and record streams,
// measure the motion level, and convert BMP files to JPEG.
//
// Order of use: QXStartup, QXGetDeviceCount, QXGetDeviceInfo for each number, QXStartupDevice,
// state calls and captures, QXCleanupDevice, QXCleanup. A device may be cleaned up and another
// started any number of times.
//
// Threads: the capture window belongs to the thread that called QXStartupDevice (its "owner
// thread"). Every export may be called from any thread. Captures and state reads and changes
// run on the calling thread under the library's lock, so a worker never waits for the owner
// thread, whether it is busy, blocked or runs no event loop at all. What concerns the preview
// widget and timer (display mode, placement, preview rate, clean-up) happens at once when the
// caller is the owner thread, and otherwise is handed to the owner's Qt event loop and takes
// effect when that loop runs. Dialogs run on the owner thread, which must be the GUI thread of
// a running QApplication; a caller on another thread waits until the owner's event loop has run
// the dialog. Preview frames (the picture and the motion measure) are taken only while the
// owner thread runs a Qt event loop (QCoreApplication / QApplication::exec, or a QEventLoop).
//
// Results: unless a line says otherwise an int result is 1 for success and 0 for failure.
// Refused calls pass one "QXCore: ..." line to the library's trace hook, which discards it.
//
// Every function here is exported by name with C linkage from libQXDVCore.so.
#pragma once

class QWidget;

// Marks the exported functions; the library hides every other symbol.
#define QXAPI __attribute__((visibility("default")))

extern "C" {

// Device description as listed by QXGetDeviceInfo.
struct QXDEVICEINFO {
  char szDeviceName[256];  // NUL-terminated
};

// What the caller passes to QXStartupDevice. Both callers pass the same window in both fields.
struct QXSTARTUPDEVICEINFO {
  QWidget* hwndOwner;   // kept with the device, not otherwise used
  QWidget* hwndParent;  // parent of the preview widget; null for use without a screen
};

}  // extern "C"

// Device state codes (the `type` of QXSetDeviceState / QXGetDeviceState).
inline constexpr unsigned long QXST_DISPLAY = 0x1000;         // set and get: display mode
inline constexpr unsigned long QXST_DISPLAY_CAPS = 0x1001;    // get: display mode bits
inline constexpr unsigned long QXST_WINDOW_X = 0x1008;        // set and get
inline constexpr unsigned long QXST_WINDOW_Y = 0x1009;        // set and get
inline constexpr unsigned long QXST_WINDOW_WIDTH = 0x100A;    // set; get falls back to picture width
inline constexpr unsigned long QXST_WINDOW_HEIGHT = 0x100B;   // set; get falls back to picture height
inline constexpr unsigned long QXST_WINDOW_HANDLE = 0x1010;   // get: the capture window handle
inline constexpr unsigned long QXST_MOTION_MODE = 0x1100;     // set (1, 2 or 4) and get
inline constexpr unsigned long QXST_MOTION_LEVEL = 0x1101;    // get: 0 to 65535
inline constexpr unsigned long QXST_DIALOG_CAPS = 0x1800;     // get: QXDLG_ bits
inline constexpr unsigned long QXST_CAPFILE_EXISTS = 0x2000;  // get: stream capture file exists

// Display modes and the bits of QXST_DISPLAY_CAPS.
inline constexpr unsigned long QXDISP_NONE = 1;
inline constexpr unsigned long QXDISP_PREVIEW = 2;
inline constexpr unsigned long QXDISP_OVERLAY = 4;

// Motion modes.
inline constexpr unsigned long QXMOTION_OFF = 1;
inline constexpr unsigned long QXMOTION_MEASURE = 2;
inline constexpr unsigned long QXMOTION_SHOW = 4;  // measure, and preview the difference picture

// Dialog kinds (QXOpenDialog) and the bits of QXST_DIALOG_CAPS.
inline constexpr unsigned long QXDLG_COMPRESSION = 1;
inline constexpr unsigned long QXDLG_FORMAT = 2;
inline constexpr unsigned long QXDLG_DISPLAY = 4;
inline constexpr unsigned long QXDLG_SOURCE = 8;

// Single-frame flags: bit 0x10 selects JPEG; the low 8 bits (0x10 included) are the quality.
inline constexpr unsigned long QXCAP_JPEG = 0x10;

extern "C" {

// --- Library and devices ---------------------------------------------------------------------

// Starts the library: clears the capture state. 0 when already started.
QXAPI int QXStartup(void);
// Cleans up the started device, if any, and stops the library. 0 when not started.
// The device list stays as it is.
QXAPI int QXCleanup(void);

// Lists the capture devices once per start-up of the library (test devices from
// $QUORVEX_TEST_DEVICES first, then the V4L2 capture nodes; at most ten; a description equal
// to an earlier one ignoring case is listed once). Returns the count; while it is 0 every call
// lists again.
QXAPI int QXGetDeviceCount(void);
// Device number of the started device, -1 when none.
QXAPI int QXGetCurDevice(void);
// Number of the listed device whose name equals `name` exactly, -1 when none or null.
QXAPI int QXGetDeviceNo(const char* name);
// Copies the name of device `deviceNo` into `info`. 0 for a number outside 0 to count-1 or a
// null `info`.
QXAPI int QXGetDeviceInfo(QXDEVICEINFO* info, int deviceNo);

// Connects device `deviceNo` and creates its capture window on the calling thread (which
// becomes the owner thread). With a parent widget in `info`, when the caller is the GUI thread,
// the preview shows as a child widget of it (at 0,0 sized 640 x 480 until placed); without one
// the device works the same with no widget. `info` may be null. 0 for an invalid number, when a
// device is already started, or when the device refuses to connect.
QXAPI int QXStartupDevice(QXSTARTUPDEVICEINFO* info, int deviceNo);
// Stops a running stream capture (its file still reaches its destination), waits for a grab
// under way, switches the display off and disconnects the device. From its start, grabs,
// streams and dialogs asked for by other threads are refused as without a device. 0 when no
// device is started, or another thread is already cleaning it up.
QXAPI int QXCleanupDevice(void);

// Refreshes the cached capabilities from `captureWindow` (the QXST_WINDOW_HANDLE value; any
// other value reads as a device without capabilities). Resets the motion mode to QXMOTION_OFF
// and the level to 0. Returns 1; `deviceName` is not used.
QXAPI int QXGetCaptureCaps(void* captureWindow, const char* deviceName);
// Refreshes the cached capabilities of the started device (no effect without one). Returns 1.
QXAPI int QXReConnectDevice(void);

// Changes one state (codes above). Window values take effect at the next change of display
// mode to 2 or 4. 0 when no device, for a read-only code, or a value the device does not
// support.
QXAPI int QXSetDeviceState(unsigned long type, unsigned long value);
// Reads one state into `*value` (set to 0 first). 0 when no device, `value` null, or an
// unknown code.
QXAPI int QXGetDeviceState(unsigned long type, unsigned long* value);

// Preview frame interval of 1000 / fps milliseconds (at least 1). A rate of 0 or below is
// ignored.
QXAPI void QXCoreSetPreviewRate(int fps);

// Opens a device dialog (QXDLG_ kinds) modally on the owner thread and returns 1 once it was
// shown (confirmed or cancelled); confirmed changes apply at once. A picture format the device
// refuses, or one whose frames cannot be turned into BGR pixels, is not applied: the format in
// use stays. 0 when no device, while capturing, for an unknown kind, a dialog the device does
// not have (display; source without picture controls), or when no QApplication runs the owner
// thread.
QXAPI int QXOpenDialog(unsigned long kind);

// Appends `text` and "\n" to "QvxLog.log" in the current folder; dropped when it cannot be
// opened.
QXAPI void QXCoreLogOutputFile(const char* text);

// --- Frame capture ---------------------------------------------------------------------------

// Grabs one frame within the grab deadline (1000 ms) and writes it to `file`: a bottom-up
// 24-bit BMP, or with QXCAP_JPEG in `flags` a JPEG at quality flags & 0xFF. Returns non-zero
// when the BMP was written (for JPEG the intermediate BMP; the conversion is not reflected).
// 0 when no device, while another grab or a stream capture runs, when no frame came, or for
// JPEG when the library's private work folder cannot be made (no shared folder is used).
// Frames the camera took more than a frame interval before the call, or in its first moments
// after starting (the camera warm-up of the timings), are not taken. Sets the motion level to 0.
QXAPI int QXCaptureSingleFrame(const char* file, unsigned long flags);

// Starts recording an AVI stream (Motion-JPEG, 15 frames per second) in the background, for
// `seconds` seconds (0 or below: until QXStopCapture); when it ends the file is copied to
// `file` (when that fails the capture file is kept: QXST_CAPFILE_EXISTS reads 1). Non-zero when
// the recording started; 0 when refused, or when the library's private work folder cannot be
// made. `flags` is not used.
QXAPI int QXStartCapture(const char* file, unsigned long flags, long seconds);
// Asks a running stream capture to stop; the copy to its destination follows in the
// background and QXIsCapturing turns 0 once it is done. 0 when no device or nothing records.
QXAPI int QXStopCapture(void);
// 1 while a single-frame grab or a stream capture (including its copy) is under way, else 0.
QXAPI int QXIsCapturing(void);

// --- Conversion ------------------------------------------------------------------------------

// Reads the uncompressed BMP `source` (1, 4, 8 or 24 bits per pixel, bottom-up or top-down;
// untrusted) and writes it to `destination` as a baseline JPEG at `quality`, clamped to 0..100.
// Returns 1 when the BMP was read, 0 when it was not (the destination is then not touched).
// A destination that cannot be opened shows a message box and still gives 1; a JPEG that fails
// while being written is removed.
QXAPI int QXCoreBMP2JPG(const char* source, const char* destination, int quality);

}  // extern "C"
