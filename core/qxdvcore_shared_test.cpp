// The library as programs use it: libQXDVCore.so linked like the main program links it, next
// to the program's own copy of the platform layer.
#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/message_box.h"

namespace {

TEST(SharedLibraryTest, ExportsEveryCallByNameAndNothingInternal) {
  void* library = dlopen("libQXDVCore.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name :
       {"QXStartup", "QXCleanup", "QXGetDeviceCount", "QXGetCurDevice", "QXGetDeviceNo",
        "QXGetDeviceInfo", "QXStartupDevice", "QXCleanupDevice", "QXGetCaptureCaps",
        "QXReConnectDevice", "QXSetDeviceState", "QXGetDeviceState", "QXCoreSetPreviewRate",
        "QXOpenDialog", "QXCoreLogOutputFile", "QXCaptureSingleFrame", "QXStartCapture",
        "QXStopCapture", "QXIsCapturing", "QXCoreBMP2JPG"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  // The reader and the state block stay inside the library.
  EXPECT_EQ(dlsym(library, "_ZN6qxcore12ReadBmpAsRgbERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERNS_8RgbImageE"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN6qxcore11CaptureCore8InstanceEv"), nullptr);
  dlclose(library);
}

TEST(SharedLibraryTest, MessagesOfTheLibraryReachTheProgramsMessageBox) {
  std::vector<std::string> boxes;
  const auto previous = qv::SetMessageBoxSink(
      [&](const std::string& text, const std::string&) { boxes.push_back(text); });
  const std::string folder = qv::MakeWorkFolder("qxdvcore_shared_");
  ASSERT_FALSE(folder.empty());
  setenv("QUORVEX_TEST_DEVICES", "Shared Camera", 1);
  ASSERT_EQ(QXStartup(), 1);
  ASSERT_GE(QXGetDeviceCount(), 1);
  QXSTARTUPDEVICEINFO info{};
  ASSERT_EQ(QXStartupDevice(&info, 0), 1);
  const std::string bitmap = folder + "frame.bmp";
  EXPECT_NE(QXCaptureSingleFrame(bitmap.c_str(), 0), 0);
  const std::string unwritable = folder + "missing/frame.jpg";
  EXPECT_EQ(QXCoreBMP2JPG(bitmap.c_str(), unwritable.c_str(), 80), 1);
  EXPECT_EQ(QXCleanup(), 1);
  qv::SetMessageBoxSink(previous);
  std::remove(bitmap.c_str());
  std::remove(folder.c_str());
  unsetenv("QUORVEX_TEST_DEVICES");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "JpegFile :\nCan't open " + unwritable + "\n");
}

}  // namespace
