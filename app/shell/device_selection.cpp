#include "app/shell/device_selection.h"

#include <algorithm>
#include <cstring>

#include "app/settings/ini.h"
#include "app/settings/settings.h"
#include "app/shell/sibling_link.h"
#include "core/qxdvcore.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/window_endpoint.h"

const std::string& SiblingEntryName() { return SJIS("Orbisk連携"); }

bool SiblingWindowExists() { return qv::FindWindowByTitle("Orbisk") != 0; }

std::vector<std::string> ListDeviceNames() {
  std::vector<std::string> names;
  qv::Event ready;
  SiblingLink sibling(ready);
  if (sibling.Load()) names.push_back(SiblingEntryName());
  QXStartup();
  const int count = QXGetDeviceCount();
  for (int number = 0; number < count; ++number) {
    QXDEVICEINFO info{};
    if (QXGetDeviceInfo(&info, number) && info.szDeviceName[0] != '\0') names.emplace_back(info.szDeviceName);
  }
  QXCleanup();
  return names;
}

int PreviewRateFps(int index) {
  static const int rates[] = {1, 5, 10, 15, 20, 30, 60};
  return rates[std::clamp(index, 0, 6)];
}

void ApplyPreviewSize(bool shown, int shownFps) {
  // A preview nobody sees needs no more than one frame a second.
  QXCoreSetPreviewRate(shown ? shownFps : 1);
  QXSetDeviceState(QXST_WINDOW_WIDTH, shown ? 320 : 1);
  QXSetDeviceState(QXST_WINDOW_HEIGHT, shown ? 240 : 1);
  unsigned long caps = 0;
  if (!QXGetDeviceState(QXST_DISPLAY_CAPS, &caps)) caps = 0;
  if (caps & (QXDISP_PREVIEW | QXDISP_OVERLAY)) {
    QXSetDeviceState(QXST_DISPLAY, (caps & QXDISP_OVERLAY) ? QXDISP_OVERLAY : QXDISP_PREVIEW);
  }
}

int SelectCaptureDevice(int count, DeviceSelection& selection) {
  BasicSettings& basic = *selection.basic;
  if (count <= 0) {
    qv::ShowMessageBox(SJIS("キャプチャデバイスが見つかりませんでした。\nカメラ等のデバイスが接続され正常に動作していることを確認してください。"));
    return 0;
  }
  if (SiblingEntryName() == basic.DeviceName) {
    if (!SiblingWindowExists()) qv::ShowMessageBox(SJIS("Orbiskを起動してください。"));
    return 1;
  }
  bool startFailed = false;
  for (int i = 0; i < count; ++i) {
    QXDEVICEINFO info{};
    if (!QXGetDeviceInfo(&info, i)) continue;
    if (basic.DeviceName[0] != '\0' && std::strcmp(basic.DeviceName, info.szDeviceName) != 0) continue;
    QXSTARTUPDEVICEINFO startup{selection.parent, selection.parent};
    if (!QXStartupDevice(&startup, i)) {
      startFailed = true;
      continue;
    }
    QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE);
    selection.deviceRunning = true;
    QXSetDeviceState(QXST_WINDOW_X, 94);
    QXSetDeviceState(QXST_WINDOW_Y, 6);
    ApplyPreviewSize(!selection.previewHidden, PreviewRateFps(basic.PreviewRate));
    qv::CopySjisField(basic.DeviceName, sizeof basic.DeviceName, info.szDeviceName);
    WriteIniString("BasicSettings", "DeviceName", basic.DeviceName, selection.settingsPath.c_str());
    return 1;
  }
  if (startFailed) {
    qv::ShowMessageBox(SJIS("選択したデバイスは使用できませんでした。"));
    return -1;
  }
  qv::ShowMessageBox(SJIS("選択したデバイスが見つかりませんでした。"));
  return 0;
}
