#include "host_fixture.h"

#include "kerunel_ids.h"
#include "service_ids.h"

namespace hosts {

DWORD RunCapturing(std::string commandLine, std::string& output, DWORD timeoutMs) {
  output.clear();
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return static_cast<DWORD>(-1);
  kr::UniqueHandle reader(readEnd), writer(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = writeEnd;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return static_cast<DWORD>(-1);
  }
  kr::UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  writer.reset();  // the pipe ends when the program's copy of it does
  const DWORD start = GetTickCount();
  DWORD code = static_cast<DWORD>(-1);
  for (;;) {
    DWORD available = 0;
    while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      char chunk[4096];
      DWORD n = 0;
      if (!ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) || n == 0) break;
      output.append(chunk, n);
    }
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
      GetExitCodeProcess(process.hProcess, &code);
      DWORD n = 0;
      char chunk[4096];
      while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
             ReadFile(readEnd, chunk, sizeof chunk, &n, nullptr) && n > 0) {
        output.append(chunk, n);
      }
      return code;
    }
    if (GetTickCount() - start >= timeoutMs) return code;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 50, QS_ALLINPUT);
  }
}

HRESULT CanUnloadNow(const wchar_t* module) {
  HMODULE loaded = GetModuleHandleW(module);
  if (!loaded) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  using Fn = HRESULT(STDAPICALLTYPE*)();
  auto canUnload =
      reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(loaded, "DllCanUnloadNow")));
  return canUnload ? canUnload() : E_NOTIMPL;
}

HostTest::HostTest()
    : ecr_(ecrsim::Wire::kHexLine), printer_(std::make_shared<ecrsim::VirtualPrinter>()) {}

void HostTest::SetUpTestSuite() {
  kr::ComInit com;
  ASSERT_EQ(S_OK, kr_test::RegisterServer(KSO_MODULE));
  ASSERT_EQ(S_OK, kr_test::RegisterServer(L"Kerunel.ocx"));
}

void HostTest::SetUp() {
  ASSERT_TRUE(SUCCEEDED(com_.result()));
  ecr_.AttachPrinter(printer_);
  ASSERT_NE(0, ecr_.Start());
  ASSERT_EQ(ERROR_SUCCESS,
            config_.Device(kDevice, KSO_PROGID,
                           {{L"LinkDriver", L"Sandoral"},
                            {L"Link", kr_test::Wide(ecr_.InlineSettings("OnLine=1"))},
                            {L"AnswerTimeout", L"2000"}}));
}

void HostTest::TearDown() {
  ecr_.Stop();
}

kr::ComPtr<IDispatch> HostTest::CreateByProgId() {
  kr::ComPtr<IDispatch> control;
  CLSID clsid{};
  EXPECT_EQ(S_OK, CLSIDFromProgID(kr::kControlProgId, &clsid));
  EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   control.put_void()));
  return control;
}

}  // namespace hosts
