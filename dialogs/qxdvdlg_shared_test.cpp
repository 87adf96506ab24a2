// The shared library as the program loads it: by dlopen, with only its three entries visible.
#include <dlfcn.h>

#include <QApplication>
#include <gtest/gtest.h>

#include "dialogs/qxdvdlg.h"
#include "platform/files.h"

namespace {

TEST(QXDVDlgLibrary, LoadsByNameAndRefusesWithoutARequest) {
  void* library = dlopen((qv::ProgramFolder() + "libQXDVDlg.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto open = reinterpret_cast<int (*)(int, QDOPENDIALOGINFO*, QWidget*)>(dlsym(library, "QDOpenDialog"));
  auto filter = reinterpret_cast<int (*)(void*)>(dlsym(library, "FilterDllMsg"));
  auto idle = reinterpret_cast<void (*)()>(dlsym(library, "ProcessDllIdle"));
  ASSERT_NE(open, nullptr);
  ASSERT_NE(filter, nullptr);
  ASSERT_NE(idle, nullptr);
  // The settings store is built in, not exported.
  EXPECT_EQ(dlsym(library, "WriteIniString"), nullptr);
  EXPECT_EQ(dlsym(library, "SaveMailSettings"), nullptr);

  QDOPENDIALOGINFO info{};
  EXPECT_EQ(open(0, nullptr, nullptr), 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(open(0, &info, nullptr), 2);  // no QApplication: nothing can be shown
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QApplication"), std::string::npos);
  idle();
  EXPECT_EQ(filter(nullptr), 0);
  {
    int argc = 1;
    char name[] = "qxdvdlg_shared_test";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    auto* doomed = new QObject;
    bool deleted = false;
    QObject::connect(doomed, &QObject::destroyed, [&deleted] { deleted = true; });
    doomed->deleteLater();
    idle();
    EXPECT_TRUE(deleted);
  }
  dlclose(library);
}

}  // namespace
