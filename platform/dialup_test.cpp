#include "platform/dialup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace qv {
namespace {

// A fake nmcli that records every call, one argument per line and a blank line after each
// call, lists a fixed set of connections and fails to dial the entry "Broken".
class DialupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeWorkFolder("DU");
    ASSERT_FALSE(folder_.empty());
    calls_ = folder_ + "calls";
    std::string fake = folder_ + "nmcli";
    std::ofstream(fake) << "#!/bin/sh\n"
                           "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '" << calls_ << "'\n"
                           "echo >> '" << calls_ << "'\n"
                           "case \"$*\" in\n"
                           "  *'connection show'*)\n"
                           "    printf '%s\\n' 'Wired connection 1:802-3-ethernet' 'Mobile\\: Docomo:gsm' "
                           "'CDMA card:cdma' 'Home\\\\DSL:pppoe' 'Phone DUN:bluetooth' 'Office:802-11-wireless' "
                           "'携帯:gsm' 'garbage line' ':gsm'\n"
                           "    ;;\n"
                           "  *Broken*) exit 4 ;;\n"
                           "esac\n"
                           "exit 0\n";
    chmod(fake.c_str(), 0755);
    setenv("QUORVEX_NMCLI", fake.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUORVEX_NMCLI");
    std::filesystem::remove_all(folder_);
  }

  std::string folder_;
  std::string calls_;
};

TEST_F(DialupTest, PhoneBookHoldsOnlyDialUpConnections) {
  std::vector<std::string> expected = {"Mobile: Docomo", "CDMA card", "Home\\DSL", "Phone DUN", SJIS("携帯")};
  EXPECT_EQ(ListDialEntries(), expected);
  EXPECT_EQ(qv::ReadFileBytes(calls_), "-t\n-f\nNAME,TYPE\nconnection\nshow\n\n");
}

TEST_F(DialupTest, DialAndHangUpByName) {
  EXPECT_TRUE(DialConnect("Mobile: Docomo"));
  EXPECT_TRUE(DialHangUp("Mobile: Docomo"));
  EXPECT_FALSE(DialConnect("Broken"));
  EXPECT_TRUE(DialConnect(SJIS("携帯")));
  EXPECT_EQ(qv::ReadFileBytes(calls_),
            "connection\nup\nid\nMobile: Docomo\n\n"
            "connection\ndown\nid\nMobile: Docomo\n\n"
            "connection\nup\nid\nBroken\n\n"
            "connection\nup\nid\n携帯\n\n");
}

TEST_F(DialupTest, WithoutTheToolNothingDials) {
  setenv("QUORVEX_NMCLI", (folder_ + "missing-nmcli").c_str(), 1);
  EXPECT_TRUE(ListDialEntries().empty());
  EXPECT_FALSE(DialConnect("Mobile"));
  EXPECT_FALSE(DialHangUp("Mobile"));
  unsetenv("QUORVEX_NMCLI");
  EXPECT_EQ(NmcliPath(), "nmcli");
}

TEST_F(DialupTest, ToolThatHangsIsStopped) {
  std::string hanging = folder_ + "hanging";
  std::ofstream(hanging) << "#!/bin/sh\nwhile :; do sleep 1; done\n";
  chmod(hanging.c_str(), 0755);
  setenv("QUORVEX_NMCLI", hanging.c_str(), 1);
  Timings saved = GetTimings();
  Timings shortened = saved;
  shortened.dialTimeoutMs = 200;
  SetTimings(shortened);
  EXPECT_FALSE(DialConnect("Mobile"));
  EXPECT_TRUE(ListDialEntries().empty());
  SetTimings(saved);
}

}  // namespace
}  // namespace qv
