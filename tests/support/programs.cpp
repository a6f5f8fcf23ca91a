// Running the system's and our own programs from a test under Wine.
#include <fstream>

#include "support.h"

namespace kr_test {

DWORD RunProgram(std::string commandLine, DWORD timeoutMs) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return static_cast<DWORD>(-1);
  }
  kr::UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  }
  return code;
}

std::string WinePath(std::string unixPath) {
  for (char& c : unixPath) c = c == '/' ? '\\' : c;
  return "Z:" + unixPath;
}

std::vector<Deliverable> ReadDeliverables(const std::string& listPath) {
  std::ifstream in(WinePath(listPath));
  std::vector<Deliverable> files;
  Deliverable d;
  while (in >> d.kind >> d.file) files.push_back(d);
  return files;
}

}  // namespace kr_test
