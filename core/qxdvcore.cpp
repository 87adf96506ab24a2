#include "core/qxdvcore.h"

#include <cstdio>

#include "core/capture_core.h"

using qxcore::CaptureCore;

int QXStartup(void) { return CaptureCore::Instance().Startup(); }
int QXCleanup(void) { return CaptureCore::Instance().Cleanup(); }
int QXGetDeviceCount(void) { return CaptureCore::Instance().DeviceCount(); }
int QXGetCurDevice(void) { return CaptureCore::Instance().CurrentDevice(); }
int QXGetDeviceNo(const char* name) { return CaptureCore::Instance().DeviceNumber(name); }

int QXGetDeviceInfo(QXDEVICEINFO* info, int deviceNo) {
  return CaptureCore::Instance().DeviceInfo(info, deviceNo);
}

int QXStartupDevice(QXSTARTUPDEVICEINFO* info, int deviceNo) {
  return CaptureCore::Instance().StartupDevice(info, deviceNo);
}

int QXCleanupDevice(void) { return CaptureCore::Instance().CleanupDevice(); }

int QXGetCaptureCaps(void* captureWindow, const char*) {
  return CaptureCore::Instance().GetCaptureCaps(captureWindow);
}

int QXReConnectDevice(void) { return CaptureCore::Instance().ReConnectDevice(); }

int QXSetDeviceState(unsigned long type, unsigned long value) {
  return CaptureCore::Instance().SetDeviceState(type, value);
}

int QXGetDeviceState(unsigned long type, unsigned long* value) {
  return CaptureCore::Instance().GetDeviceState(type, value);
}

void QXCoreSetPreviewRate(int fps) { CaptureCore::Instance().SetPreviewRate(fps); }
int QXOpenDialog(unsigned long kind) { return CaptureCore::Instance().OpenDialog(kind); }

void QXCoreLogOutputFile(const char* text) {
  std::FILE* file = std::fopen("QvxLog.log", "a+");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", text != nullptr ? text : "");
  std::fclose(file);
}

int QXCaptureSingleFrame(const char* file, unsigned long flags) {
  return CaptureCore::Instance().CaptureSingleFrame(file, flags);
}

int QXStartCapture(const char* file, unsigned long, long seconds) {
  return CaptureCore::Instance().StartCapture(file, seconds);
}

int QXStopCapture(void) { return CaptureCore::Instance().StopCapture(); }
int QXIsCapturing(void) { return CaptureCore::Instance().IsCapturing(); }
