#include "app/settings/activity_log.h"

#include <cstdio>
#include <ctime>

#include "platform/text.h"

std::string FormatLogLine(const std::string& message, int category) {
  static const char* const labels[] = {"受信", "送信", "画像", "通信"};
  if (category < 0 || category > 3) return {};
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  static const std::string sjisLabels[] = {qv::Cp932FromUtf8(labels[0]), qv::Cp932FromUtf8(labels[1]),
                                           qv::Cp932FromUtf8(labels[2]), qv::Cp932FromUtf8(labels[3])};
  return std::string(stamp) + " [" + sjisLabels[category] + "] " + message;
}
