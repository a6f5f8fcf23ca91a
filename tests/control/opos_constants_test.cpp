// The OPOS constants and the names the test bench shows for them.
#include <gtest/gtest.h>

#include <string>

#include "opos.h"

namespace {

TEST(OposConstantsTest, NameTablesCoverEveryCodeAndNothingElse) {
  EXPECT_STREQ("OPOS_SUCCESS", opos::ResultCodeName(0));
  EXPECT_STREQ("OPOS_E_CLOSED", opos::ResultCodeName(101));
  EXPECT_STREQ("OPOS_E_EXTENDED", opos::ResultCodeName(114));
  for (long code = 101; code <= 114; ++code) {
    ASSERT_NE(nullptr, opos::ResultCodeName(code)) << code;
    EXPECT_EQ(0u, std::string(opos::ResultCodeName(code)).find("OPOS_E_")) << code;
  }
  for (long code : {-1L, 1L, 100L, 115L, 201L}) EXPECT_EQ(nullptr, opos::ResultCodeName(code));

  EXPECT_STREQ("OPOS_EFPTR_COVER_OPEN", opos::ExtendedCodeName(201));
  EXPECT_STREQ("OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED", opos::ExtendedCodeName(211));
  EXPECT_STREQ("OPOS_EFPTR_WORD_NOT_ALLOWED", opos::ExtendedCodeName(221));
  for (long code = 201; code <= 221; ++code) {
    ASSERT_NE(nullptr, opos::ExtendedCodeName(code)) << code;
    EXPECT_EQ(0u, std::string(opos::ExtendedCodeName(code)).find("OPOS_EFPTR_")) << code;
  }
  EXPECT_EQ(nullptr, opos::ExtendedCodeName(200));
  EXPECT_EQ(nullptr, opos::ExtendedCodeName(222));

  EXPECT_STREQ("Monitor", opos::PrinterStateName(1));
  EXPECT_STREQ("FiscalReceiptEnding", opos::PrinterStateName(4));
  EXPECT_STREQ("Report", opos::PrinterStateName(10));
  EXPECT_EQ(nullptr, opos::PrinterStateName(0));
  EXPECT_EQ(nullptr, opos::PrinterStateName(11));
}

TEST(OposConstantsTest, PropertyIndicesAndVersionsFollowTheirEncoding) {
  EXPECT_EQ(3, opos::PIDX_DeviceEnabled);
  EXPECT_EQ(1000001, opos::PIDX_CheckHealthText);
  EXPECT_EQ(16029, opos::PIDX_TrainingModeActive);
  EXPECT_EQ(16543, opos::PIDX_CapXReport);
  EXPECT_EQ(1016003, opos::PIDX_ReservedWord);
  EXPECT_EQ(1000003, opos::kControlObjectVersion);
  constexpr long v = opos::EncodeVersion(1, 13, 42);
  EXPECT_EQ(1013042, v);
  EXPECT_EQ(1, opos::VersionMajor(v));
  EXPECT_EQ(13, opos::VersionMinor(v));
  EXPECT_EQ(42, opos::VersionBuild(v));
}

}  // namespace
