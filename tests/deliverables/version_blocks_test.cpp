// Every module but the control (whose version block is its own) carries
// the project's version, in both architectures' builds; the x86 modules
// are read as data (they cannot run here).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

using kr_test::WinePath;

// A string of a module's version block ("" when it has none).
std::string VersionString(const std::string& path, const char* name) {
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), nullptr);
  std::vector<char> block(size);
  char* value = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoA(path.c_str(), 0, size, block.data()) ||
      !VerQueryValueA(block.data(), (std::string("\\StringFileInfo\\040904b0\\") + name).c_str(),
                      reinterpret_cast<void**>(&value), &length)) {
    return "";
  }
  return std::string(value, length > 0 ? strnlen(value, length) : 0);
}

TEST(VersionBlocks, EveryDeliverableCarriesTheProjectVersion) {
  struct Build {
    std::string list, bin;
  } builds[] = {
      {KERUNEL_DELIVERABLES, WinePath(KERUNEL_BIN_DIR)},
      {std::string(KERUNEL_X86_BUILD_DIR) + "/deliverables.txt",
       WinePath(std::string(KERUNEL_X86_BUILD_DIR) + "/bin")},
  };
  int checked = 0;
  for (const Build& build : builds) {
    for (const kr_test::Deliverable& d : kr_test::ReadDeliverables(build.list)) {
      std::string path = build.bin + "\\" + d.file;
      SCOPED_TRACE(path);
      if (d.kind == "control") {  // its own version, checked with the control
        EXPECT_FALSE(VersionString(path, "FileVersion").empty());
        continue;
      }
      EXPECT_EQ(VersionString(path, "FileVersion"), KERUNEL_VERSION);
      EXPECT_EQ(VersionString(path, "ProductVersion"), KERUNEL_VERSION);
      EXPECT_EQ(VersionString(path, "OriginalFilename"), d.file);
      EXPECT_EQ(VersionString(path, "CompanyName"), "Tarvello");
      EXPECT_FALSE(VersionString(path, "FileDescription").empty());
      ++checked;
    }
  }
  EXPECT_GE(checked, 3);
}

}  // namespace
