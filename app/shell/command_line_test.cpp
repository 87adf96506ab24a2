#include "app/shell/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, OptionsAndTheirMistakes) {
  CommandLineOptions options;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({}, &options, &error));
  EXPECT_TRUE(options.headless);
  EXPECT_TRUE(options.headlessImplied);
  EXPECT_TRUE(options.iniPath.empty());

  ASSERT_TRUE(ParseCommandLine({"--ini", "/tmp/a b.ini", "--headless"}, &options, &error));
  EXPECT_TRUE(options.headless);
  EXPECT_FALSE(options.headlessImplied);
  EXPECT_EQ(options.iniPath, "/tmp/a b.ini");
  ASSERT_TRUE(ParseCommandLine({"--ini=/x.ini"}, &options, &error));
  EXPECT_EQ(options.iniPath, "/x.ini");

  ASSERT_TRUE(ParseCommandLine({"--help"}, &options, &error));
  EXPECT_TRUE(options.help);
  EXPECT_FALSE(options.headless);

  ASSERT_TRUE(ParseCommandLine({"--once", "--timing-scale", "0"}, &options, &error));
  EXPECT_TRUE(options.once);
  EXPECT_FALSE(options.headless);
  EXPECT_EQ(options.timingScale, 0.0);
  ASSERT_TRUE(ParseCommandLine({"--timing-scale=0.25"}, &options, &error));
  EXPECT_EQ(options.timingScale, 0.25);
  EXPECT_TRUE(options.headlessImplied);

  ASSERT_TRUE(ParseCommandLine({"--window"}, &options, &error));
  EXPECT_TRUE(options.window);
  EXPECT_FALSE(options.headless);

  ASSERT_TRUE(ParseCommandLine({"--settings", "--ini", "/x.ini"}, &options, &error));
  EXPECT_TRUE(options.settings);
  EXPECT_FALSE(options.headless);
  ASSERT_TRUE(ParseCommandLine({"--config", "set", "MailSettings.PopPort=995", "--ini=/x.ini"}, &options, &error));
  EXPECT_EQ(options.config, (std::vector<std::string>{"set", "MailSettings.PopPort=995"}));
  EXPECT_EQ(options.iniPath, "/x.ini");
  EXPECT_FALSE(options.headless);
  ASSERT_TRUE(ParseCommandLine({"--config", "list"}, &options, &error));
  EXPECT_EQ(options.config, std::vector<std::string>{"list"});
  ASSERT_TRUE(ParseCommandLine({"--ini", "/x.ini", "--senders", "add", "taro@example.jp"}, &options, &error));
  EXPECT_EQ(options.senders, (std::vector<std::string>{"add", "taro@example.jp"}));
  EXPECT_FALSE(options.headless);
  ASSERT_TRUE(ParseCommandLine({"--senders", "remove", "--ini"}, &options, &error));  // the address it names
  EXPECT_EQ(options.senders, (std::vector<std::string>{"remove", "--ini"}));
  ASSERT_TRUE(ParseCommandLine({"--senders", "list"}, &options, &error));
  EXPECT_EQ(options.senders, std::vector<std::string>{"list"});
  ASSERT_TRUE(ParseCommandLine({"--oauth2-login", "--ini", "/x.ini"}, &options, &error));
  EXPECT_TRUE(options.oauth2Login);
  EXPECT_FALSE(options.browser);
  EXPECT_FALSE(options.headless);
  ASSERT_TRUE(ParseCommandLine({"--browser", "--oauth2-login", "--timing-scale", "0"}, &options, &error));
  EXPECT_TRUE(options.oauth2Login);
  EXPECT_TRUE(options.browser);

  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"--config"}, {"--config", "get"}, {"--config", "drop", "X"}, {"--config", "list", "X"},
           {"--settings", "--headless"}, {"--config", "list", "--once"}, {"--settings", "--window"},
           {"--window", "--headless"}, {"--once", "--window"},
           {"--senders"}, {"--senders", "add"}, {"--senders", "drop", "a@x.jp"}, {"--senders", "list", "a@x.jp"},
           {"--senders", "list", "--once"}, {"--senders", "list", "--config", "list"},
           {"--ini"}, {"--ini="}, {"--bogus"}, {"--headless", "stray"}, {"--timing-scale"},
           {"--timing-scale", "-1"}, {"--timing-scale", "fast"}, {"--timing-scale=1x"},
           {"--timing-scale", "nan"}, {"--browser"}, {"--once", "--browser"}, {"--oauth2-login", "--once"},
           {"--oauth2-login", "--check-accounts"}, {"--window", "--oauth2-login"}, {"--oauth2-login", "--settings"}}) {
    error.clear();
    EXPECT_FALSE(ParseCommandLine(wrong, &options, &error)) << wrong.back();
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
