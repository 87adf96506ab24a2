#include "platform/message_box.h"

#include <cstdio>
#include <mutex>

#include "platform/text.h"

namespace qv {
namespace {
std::mutex sinkMutex;
MessageBoxSink currentSink;
}  // namespace

void ShowMessageBox(const std::string& text, const std::string& caption) {
  MessageBoxSink sink;
  {
    std::lock_guard lock(sinkMutex);
    sink = currentSink;
  }
  if (sink) {
    sink(text, caption);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", Utf8FromCp932(caption).c_str(), Utf8FromCp932(text).c_str());
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink sink) {
  std::lock_guard lock(sinkMutex);
  std::swap(sink, currentSink);
  return sink;
}

}  // namespace qv
