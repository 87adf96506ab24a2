#include "app/settings/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"

namespace {

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("IN");
    ASSERT_FALSE(folder_.empty());
    path_ = folder_ + "Quorvex.ini";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Get(const char* section, const char* key, const char* defaultValue = "<default>") {
    char buffer[256];
    int n = GetIniString(section, key, defaultValue, buffer, sizeof buffer, path_.c_str());
    EXPECT_EQ(n, static_cast<int>(std::strlen(buffer)));
    return buffer;
  }
  int Write(const char* section, const char* key, const char* value) {
    return WriteIniString(section, key, value, path_.c_str());
  }
  int FolderEntries() {
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator(folder_)) {
      (void)entry;
      ++count;
    }
    return count;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(IniTest, MissingFileGivesDefaultsAndFirstWriteCreatesIt) {
  EXPECT_EQ(Get("BasicSettings", "MailTimer", "5"), "5");
  ASSERT_EQ(Write("BasicSettings", "MailTimer", "7"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[BasicSettings]\r\nMailTimer=7\r\n");
  EXPECT_EQ(Get("basicsettings", "MAILTIMER"), "7");
  // A second section goes to the end, a new key to the end of its section.
  ASSERT_EQ(Write("MailSettings", "PopPort", "110"), 1);
  ASSERT_EQ(Write("BasicSettings", "LogOutput", "1"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_),
            "[BasicSettings]\r\nMailTimer=7\r\nLogOutput=1\r\n[MailSettings]\r\nPopPort=110\r\n");
  EXPECT_EQ(FolderEntries(), 1);  // no temporary file left behind
}

TEST_F(IniTest, SectionHeadersMatchCaseInsensitivelyButUntrimmed) {
  qv::WriteFileBytes(path_,
            "[ BasicSettings ]\r\nMailTimer=1\r\n"
            "  [basicsettings] ;note\r\nMailTimer=2\r\n"
            "[\x83\x41]\r\nKey=katakana-a\r\n"
            "[\x83\x61x]\r\nKey=di-x\r\n");
  EXPECT_EQ(Get("BasicSettings", "MailTimer"), "2");
  EXPECT_EQ(Get(" BASICSETTINGS ", "MailTimer"), "1");
  // The trail byte of a double-byte character is not a letter: ヂ does not become ア.
  EXPECT_EQ(Get("\x83\x61", "Key"), "<default>");
  EXPECT_EQ(Get("\x83\x41", "key"), "katakana-a");
  EXPECT_EQ(Get("\x83\x61X", "KEY"), "di-x");
}

TEST_F(IniTest, KeyLinesAreMatchedByPrefixAndUntrimmed) {
  qv::WriteFileBytes(path_,
            "[FilterSettings]\r\n"
            "TitleFiltText=x\r\n"
            "TitleFilt=1\r\n"
            "  MailTimer=5\r\n"
            "PopPort = 5\r\n"
            "Name=abc;def\r\n"
            "Subject=abc ;x\r\n"
            "Empty\r\n"
            ";Hidden=1\r\n");
  EXPECT_EQ(Get("FilterSettings", "TitleFilt"), "ext=x");
  EXPECT_EQ(Get("FilterSettings", "TitleFiltText"), "x");
  EXPECT_EQ(Get("FilterSettings", "MailTimer"), "<default>");
  EXPECT_EQ(Get("FilterSettings", "PopPort"), "= 5");
  EXPECT_EQ(Get("FilterSettings", "Name"), "abc");
  // "Title" is the beginning of the first line, so that line is its line.
  EXPECT_EQ(Get("FilterSettings", "Title"), "iltText=x");
  EXPECT_EQ(Get("FilterSettings", "Subject"), "abc ");
  EXPECT_EQ(Get("FilterSettings", "Empty"), "");
  EXPECT_EQ(Get("FilterSettings", "Hidden"), "<default>");

  // The indented line stays; the key is added at the end of the section.
  ASSERT_EQ(Write("FilterSettings", "MailTimer", "9"), 1);
  std::string text = qv::ReadFileBytes(path_);
  EXPECT_NE(text.find("  MailTimer=5\r\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 13), "MailTimer=9\r\n");
}

TEST_F(IniTest, SectionEndsOnlyAtAnUntrimmedHeader) {
  qv::WriteFileBytes(path_,
            "[A]\r\nOne=1\r\n[Next];note\r\nTwo=2\r\n"
            "[B]\r\nOne=1\r\n[Next] ;note\r\nTwo=2\r\n");
  EXPECT_EQ(Get("A", "Two"), "<default>");
  EXPECT_EQ(Get("B", "Two"), "2");
  EXPECT_EQ(Get("Next", "Two"), "2");
}

TEST_F(IniTest, OnlyTheFirstOfTwoEqualSectionsCounts) {
  qv::WriteFileBytes(path_, "[S]\r\nA=1\r\n[T]\r\nX=0\r\n[S]\r\nB=2\r\n");
  EXPECT_EQ(Get("S", "B"), "<default>");
  ASSERT_EQ(Write("S", "B", "3"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[S]\r\nA=1\r\nB=3\r\n[T]\r\nX=0\r\n[S]\r\nB=2\r\n");
}

TEST_F(IniTest, RewriteKeepsEveryOtherLineAndEndsLinesInCrLf) {
  qv::WriteFileBytes(path_,
            "; Quorvex settings\n"
            "[BasicSettings]\n"
            "\n"
            "PreviewRate=6\n"
            "\n"
            "mailtimer=5 ; minutes\n"
            "\n"
            "StartIcon=0\n"
            "junk without equals\n"
            "[MailSettings];mail\n"
            "\n"
            "PopPort=110");
  ASSERT_EQ(Write("BasicSettings", "MailTimer", "10"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_),
            "; Quorvex settings\r\n"
            "[BasicSettings]\r\n"
            "PreviewRate=6\r\n"
            "MailTimer=10\r\n"
            "\r\n"
            "StartIcon=0\r\n"
            "junk without equals\r\n"
            "[MailSettings];mail\r\n"
            "\r\n"
            "PopPort=110\r\n");
  // A new key goes right in front of the next header, which loses its comment.
  ASSERT_EQ(Write("BasicSettings", "LogOutput", "1"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_),
            "; Quorvex settings\r\n"
            "[BasicSettings]\r\n"
            "PreviewRate=6\r\n"
            "MailTimer=10\r\n"
            "StartIcon=0\r\n"
            "junk without equals\r\n"
            "LogOutput=1\r\n"
            "[MailSettings]\r\n"
            "\r\n"
            "PopPort=110\r\n");
  EXPECT_EQ(Get("MailSettings", "PopPort"), "110");
}

TEST_F(IniTest, LongValuesAreCutToTheBuffer) {
  std::string value(300, 'v');
  value[254] = 'L';
  ASSERT_EQ(Write("SendSettings", "MailText", value.c_str()), 1);
  char buffer[256];
  EXPECT_EQ(GetIniString("SendSettings", "MailText", "", buffer, sizeof buffer, path_.c_str()), 255);
  EXPECT_EQ(std::string(buffer), value.substr(0, 255));
  char tiny[1] = {'x'};
  EXPECT_EQ(GetIniString("SendSettings", "MailText", "", tiny, 1, path_.c_str()), 0);
  EXPECT_EQ(tiny[0], '\0');
  char small[4];
  EXPECT_EQ(GetIniString("SendSettings", "Missing", "defaults", small, sizeof small, path_.c_str()), 3);
  EXPECT_STREQ(small, "def");
}

TEST_F(IniTest, HostileFilesReadSafelyAndSurviveWrites) {
  std::string hugeLine(1 << 20, 'h');
  std::string text = std::string("[S]\r\nNul=a\0b\r\n", 14) + "Big=" + hugeLine + "\r\n" +
                     "Bad=\x81\r\n" + "[\xFC]\r\nK=1\r\n" + "[T]\r\nLast=end";
  qv::WriteFileBytes(path_, text);
  EXPECT_EQ(Get("S", "Nul"), "a");
  EXPECT_EQ(Get("S", "Big").size(), 255u);
  EXPECT_EQ(Get("S", "Bad"), "\x81");
  EXPECT_EQ(Get("\xFC", "K"), "1");
  EXPECT_EQ(Get("T", "Last"), "end");  // no line end after the last line

  ASSERT_EQ(Write("T", "Last", "new"), 1);
  std::string expected = text.substr(0, text.size() - 8) + "Last=new\r\n";
  EXPECT_EQ(qv::ReadFileBytes(path_), expected);

  // CR-only line ends make one long line: nothing is found, nothing is lost.
  std::string crOnly = "[S]\rKey=1\r";
  qv::WriteFileBytes(path_, crOnly);
  EXPECT_EQ(Get("S", "Key"), "<default>");
  ASSERT_EQ(Write("S", "Key", "2"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_), crOnly + "\r\n[S]\r\nKey=2\r\n");
  EXPECT_EQ(Get("S", "Key"), "2");
}

TEST_F(IniTest, LineBreaksInValuesCannotAddLines) {
  ASSERT_EQ(Write("S", "Title", "abc\r\n[Other]\r\nInjected=1"), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[S]\r\nTitle=abc\r\n");
  EXPECT_EQ(Get("Other", "Injected"), "<default>");
}

TEST_F(IniTest, FolderOrPipeInPlaceOfFileIsNeitherReadNorReplaced) {
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_EQ(Get("S", "Key"), "<default>");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Write("S", "Key", "1"), 0);
  std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find(path_), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(FolderEntries(), 1);
  // A named pipe in place of the file neither blocks nor gets replaced.
  std::string pipe = folder_ + "pipe.ini";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  char buffer[16];
  EXPECT_EQ(GetIniString("S", "Key", "d", buffer, sizeof buffer, pipe.c_str()), 1);
  EXPECT_EQ(WriteIniString("S", "Key", "1", pipe.c_str()), 0);
  ASSERT_EQ(stat(pipe.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // A file in a folder that does not exist cannot be created either.
  EXPECT_EQ(WriteIniString("S", "Key", "1", (folder_ + "missing/Quorvex.ini").c_str()), 0);
}

TEST_F(IniTest, ReplacementIsPrivateAndKeepsSymbolicLinks) {
  qv::WriteFileBytes(path_, "[S]\r\nKey=1\r\n");
  // A file others could read (it holds the mail passwords) becomes private with the save.
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  std::string link = folder_ + "link.ini";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  ASSERT_EQ(WriteIniString("S", "Key", "2", link.c_str()), 1);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[S]\r\nKey=2\r\n");
  EXPECT_EQ(FolderEntries(), 2);
}

}  // namespace
