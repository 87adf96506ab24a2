#include "app/settings/settings_schema.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/settings/config_command.h"
#include "app/settings/settings_test_folder.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

using qv::SettingKind;
using qv::SettingRow;
using qv::SettingSection;

class SettingsSchemaTest : public SettingsFolderTest {
 protected:
  static std::string Value(const SettingRow& row, void* record) {
    if (row.number) return std::to_string(*row.number(record));
    std::span<char> field = row.text(record);
    return std::string(field.data(), strnlen(field.data(), field.size()));
  }
};

// Each row reaches a member of its own.
TEST_F(SettingsSchemaTest, EveryRowHasAMemberOfItsOwn) {
  for (const SettingSection& section : qv::kSettingSections) {
    AllSettings records;
    void* record = section.recordIn(records);
    int number = 1000;
    for (const SettingRow& row : section.rows) {
      if (row.number) {
        *row.number(record) = ++number;
      } else {
        qv::CopySjisField(row.text(record).data(), row.text(record).size(), row.key);
      }
    }
    number = 1000;
    for (const SettingRow& row : section.rows) {
      EXPECT_EQ(Value(row, record), row.number ? std::to_string(++number) : row.key) << section.name << "." << row.key;
    }
  }
}

// Every row writes its key and reads it back at both ends of its range: a number at its least
// and its greatest value, a text empty and as long as the file keeps it (its field, at most 255
// bytes). Passwords are stored encoded, everything else as it is.
TEST_F(SettingsSchemaTest, EveryRowRoundTripsAtTheEndsOfItsRange) {
  for (const SettingSection& section : qv::kSettingSections) {
    for (const bool least : {true, false}) {
      SCOPED_TRACE(std::string(section.name) + (least ? " least" : " greatest"));
      AllSettings records;
      void* record = section.recordIn(records);
      for (const SettingRow& row : section.rows) {
        if (row.number) {
          *row.number(record) = least ? row.range.min : row.range.max;
          continue;
        }
        std::span<char> field = row.text(record);
        const size_t length = least ? 0 : std::min(field.size() - 1, qv::kStoredValueBytes);
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>('!' + (i * 7 + 3) % 90);
        if (row.kind != SettingKind::kPassword) std::replace(text.begin(), text.end(), ';', ':');
        qv::CopySjisField(field.data(), field.size(), text);
      }
      std::filesystem::remove(path_);
      ASSERT_EQ(qv::SaveSection(path_.c_str(), section, record), 1);
      const std::string file = qv::ReadFileBytes(path_);
      AllSettings loaded;
      qv::LoadSection(path_.c_str(), section, section.recordIn(loaded));
      for (const SettingRow& row : section.rows) {
        const std::string value = Value(row, record);
        const bool plain = file.find("\r\n" + std::string(row.key) + "=" + value + "\r\n") != std::string::npos;
        EXPECT_EQ(plain, row.kind != SettingKind::kPassword || value.empty()) << row.key;
        EXPECT_EQ(Value(row, section.recordIn(loaded)), value) << row.key;
      }
    }
  }
}

// One past each end of a number's range: the rows held at start come back at the nearer end with
// a correction, a security level as TLS; every other value loads as it is. --config refuses it
// and names the row's range (for a quality, that of the profile's format).
TEST_F(SettingsSchemaTest, OnePastEachEndIsHeldOnlyWhereTheRowSaysAndRefusedBySet) {
  for (const SettingSection& section : qv::kSettingSections) {
    for (const SettingRow& row : section.rows) {
      if (!row.number) continue;
      for (const int end : {row.range.min, row.range.max}) {
        const std::string past = std::to_string(end == row.range.min ? end - 1 : end + 1);
        const std::string name = std::string(section.name) + "." + row.key;
        SCOPED_TRACE(name + "=" + past);
        qv::WriteFileBytes(path_, std::string("[") + section.name + "]\r\n" + row.key + "=" + past + "\r\n");
        ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
        AllSettings all;
        LoadAllSettings(path_.c_str(), &all);
        const bool held = row.kind == SettingKind::kSecurity || (row.flags & qv::kHeldAtStart);
        const int expected = row.kind == SettingKind::kSecurity ? qv::kSecurityTls : held ? end : std::stoi(past);
        EXPECT_EQ(*row.number(section.recordIn(all)), expected);
        ASSERT_EQ(all.corrections.size(), held ? 1u : 0u);
        if (held) {
          EXPECT_EQ(all.corrections[0], std::string(row.key) + "=" + past + SJIS(" は範囲外のため ") +
                                            std::to_string(expected) + SJIS(" として扱います。"));
        }
        AllSettings stored;
        void* record = section.recordIn(stored);
        qv::LoadSection(path_.c_str(), section, record);
        const qv::SettingRange range = row.rule == qv::SettingRule::kQuality
                                           ? qv::PictQualityRange(static_cast<PictSettings*>(record)->Type)
                                           : row.range;
        std::string out, err;
        auto set = [&](FILE* o, FILE* e) { return RunConfigCommand({"set", name + "=" + past}, path_, o, e); };
        EXPECT_EQ(RunCapturing(set, &out, &err), kConfigRefused);
        EXPECT_NE(err.find("from " + std::to_string(range.min) + " to " + std::to_string(range.max)), std::string::npos)
            << err;
      }
    }
  }
}

}  // namespace
