// The inline "@Key=Value" settings and the registry value texts.
#include "settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace linkdrv;

namespace {

// Parses text (without the '@') over the inline defaults.
int Parse(const std::string& text, LinkSettings& s) {
  SetInlineDefaults(s);
  return ParseInlineSettings(text.data(), text.size(), s);
}

TEST(InlineSettings, DefaultsAndAcceptedTexts) {
  LinkSettings s;
  ASSERT_EQ(Parse("", s), kSettingsOk);
  EXPECT_STREQ(s.address, kDefaultAddress);
  EXPECT_STREQ(s.port, "1470");
  EXPECT_STREQ(s.logFileName, "PROT_LOG.TXT");
  EXPECT_EQ(s.onLine, 1);
  EXPECT_EQ(s.extDisplayEcho, 0);
  EXPECT_EQ(s.statusCheck, 0);
  EXPECT_EQ(s.logLevel, 0);

  ASSERT_EQ(
      Parse("ECRIP='10.0.0.7', ECRPortNumber=9100 ,LogLevel=1,LogFileName='C:\\logs\\ecr.txt'", s),
      kSettingsOk);
  EXPECT_STREQ(s.address, "10.0.0.7");
  EXPECT_STREQ(s.port, "9100");
  EXPECT_EQ(s.logLevel, 1);
  EXPECT_STREQ(s.logFileName, "C:\\logs\\ecr.txt");

  // Keys in any case; blanks around keys and after '='; trailing blanks cut.
  ASSERT_EQ(Parse("  ecrip = '1.2.3.4' , ecrportnumber =  77  ", s), kSettingsOk);
  EXPECT_STREQ(s.address, "1.2.3.4");
  EXPECT_STREQ(s.port, "77");

  // A key without a value counts as "1": OnLine stays on.
  ASSERT_EQ(Parse("OnLine", s), kSettingsOk);
  EXPECT_EQ(s.onLine, 1);
  ASSERT_EQ(Parse("OnLine=,LogLevel", s), kSettingsOk);
  EXPECT_EQ(s.onLine, 1);
  EXPECT_EQ(s.logLevel, 1);
  // A quoted empty value (or one of blanks only) is empty too, so "1".
  ASSERT_EQ(Parse("LogLevel='',ECRIP=' ',LogFileName=''", s), kSettingsOk);
  EXPECT_EQ(s.logLevel, 1);
  EXPECT_STREQ(s.address, "1");
  EXPECT_STREQ(s.logFileName, "1");
  ASSERT_EQ(Parse("OnLine=0", s), kSettingsOk);
  EXPECT_EQ(s.onLine, 0);
  ASSERT_EQ(Parse("OnLine='no'", s), kSettingsOk);
  EXPECT_EQ(s.onLine, 0);

  // ExtDisplayEcho can only stay off inline.
  ASSERT_EQ(Parse("ExtDisplayEcho=1", s), kSettingsOk);
  EXPECT_EQ(s.extDisplayEcho, 0);
  ASSERT_EQ(Parse("ExtDisplayEcho='YES'", s), kSettingsOk);
  EXPECT_EQ(s.extDisplayEcho, 0);

  // LogLevel: 'NO' is 0, numbers give their value.
  ASSERT_EQ(Parse("LogLevel=2", s), kSettingsOk);
  EXPECT_EQ(s.logLevel, 2);
  ASSERT_EQ(Parse("LogLevel='NO'", s), kSettingsOk);
  EXPECT_EQ(s.logLevel, 0);
  ASSERT_EQ(Parse("LogLevel=-1.5", s), kSettingsOk);
  EXPECT_EQ(s.logLevel, -1);

  // Inside quotes: '' is one quote, commas and '=' are ordinary.
  ASSERT_EQ(Parse("LogFileName='a''b,c=d.txt',OnLine=0", s), kSettingsOk);
  EXPECT_STREQ(s.logFileName, "a'b,c=d.txt");
  EXPECT_EQ(s.onLine, 0);

  // Unknown keys are ignored (StatusCheck is a registry value only); keys
  // are cut to 32 characters.
  ASSERT_EQ(Parse("Colour=3,StatusCheck=1,ECRIPXXXXXXXXXXXXXXXXXXXXXXXXXXX='1.1.1.1'", s),
            kSettingsOk);
  EXPECT_EQ(s.statusCheck, 0);
  EXPECT_STREQ(s.address, kDefaultAddress);
  // "OnLine" and 26 blanks fill the 32 kept characters; the rest is dropped.
  ASSERT_EQ(Parse(std::string("OnLine") + std::string(26, ' ') + "XYZ=0", s), kSettingsOk);
  EXPECT_EQ(s.onLine, 0);

  // The longest values that fit their fields.
  ASSERT_EQ(Parse("ECRIP='" + std::string(17, '1') + "',ECRPortNumber=" + std::string(11, '2'), s),
            kSettingsOk);
  EXPECT_EQ(std::strlen(s.address), 17u);
  EXPECT_EQ(std::strlen(s.port), 11u);
  ASSERT_EQ(Parse("LogFileName='" + std::string(79, 'f') + "'", s), kSettingsOk);
  EXPECT_EQ(std::strlen(s.logFileName), 79u);
}

TEST(InlineSettings, RejectedTexts) {
  LinkSettings s;
  EXPECT_EQ(Parse("ECRIP=192.168.1.5", s), kSettingsBadValue);  // an address must be quoted
  EXPECT_EQ(Parse("LogFileName=prot.txt", s), kSettingsBadValue);
  EXPECT_EQ(Parse("OnLine=NO", s), kSettingsBadValue);
  EXPECT_EQ(Parse("LogLevel=-", s), kSettingsBadValue);
  EXPECT_EQ(Parse("LogLevel=1..2", s), kSettingsBadValue);
  EXPECT_EQ(Parse("Log'Level=1", s), kSettingsQuoteInKey);
  EXPECT_EQ(Parse("ECRIP='10.0.0.1", s), kSettingsBadQuote);           // never closed
  EXPECT_EQ(Parse("ECRIP=1'0.0.0.1'", s), kSettingsBadQuote);          // not the first character
  EXPECT_EQ(Parse("ECRIP='10.0.0.1'x,OnLine", s), kSettingsBadQuote);  // text after the quote
  EXPECT_EQ(Parse("LogLevel=" + std::string(256, '1'), s), kSettingsBadValue);
  EXPECT_EQ(Parse("LogFileName='" + std::string(256, 'f') + "'", s), kSettingsBadValue);
  EXPECT_EQ(Parse("LogLevel=" + std::string(255, '1'), s), kSettingsOk);
  // Values that do not fit their fields are refused, never cut.
  EXPECT_EQ(Parse("ECRIP='" + std::string(18, '1') + "'", s), kSettingsValueTooLong);
  EXPECT_EQ(Parse("ECRPortNumber=" + std::string(12, '2'), s), kSettingsValueTooLong);
  EXPECT_EQ(Parse("LogFileName='" + std::string(80, 'f') + "'", s), kSettingsValueTooLong);
}

TEST(RegistrySettings, ValueTextsAreReadCaseInsensitively) {
  EXPECT_EQ(ExtDisplayEchoFromText("1"), 1);
  EXPECT_EQ(ExtDisplayEchoFromText("yes"), 1);
  EXPECT_EQ(ExtDisplayEchoFromText("2"), 0);
  EXPECT_EQ(OnLineFromText("0"), 0);
  EXPECT_EQ(OnLineFromText("No"), 0);
  EXPECT_EQ(OnLineFromText(""), 1);
  EXPECT_EQ(OnLineFromText("off"), 1);
  EXPECT_EQ(StatusCheckFromText("si"), 1);
  EXPECT_EQ(StatusCheckFromText("YES"), 1);
  EXPECT_EQ(StatusCheckFromText("0"), 0);
  EXPECT_EQ(LogLevelFromText("no"), 0);
  EXPECT_EQ(LogLevelFromText("2"), 2);
  EXPECT_EQ(LogLevelFromText("x"), 0);
  EXPECT_EQ(DecimalValue(" 42abc"), 42);
  EXPECT_EQ(DecimalValue("99999999999"), 2147483647);
  EXPECT_EQ(DecimalValue("-99999999999"), -2147483647 - 1);
}

}  // namespace
