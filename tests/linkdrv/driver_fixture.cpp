#include "driver_fixture.h"

#include <cstdio>
#include <fstream>
#include <regex>

namespace linkdrv_test {

Driver& Driver::Get() {
  static Driver d;
  if (d.module) return d;
  d.module = LoadLibraryA("Sandoral.dll");
  if (!d.module) return d;
  auto find = [](const char* name) {
    FARPROC p = GetProcAddress(Driver::Get().module, name);
    EXPECT_NE(p, nullptr) << name;
    return p;
  };
#define KR_FIND(name) \
  d.name = reinterpret_cast<decltype(d.name)>(reinterpret_cast<void*>(find(#name)))
  KR_FIND(OpenProt);
  KR_FIND(CloseProt);
  KR_FIND(GetLastProtocolError);
  KR_FIND(SetOnRxEvent);
  KR_FIND(SetMessRxEvent);
  KR_FIND(SendData);
  KR_FIND(EcrIO);
  KR_FIND(EcrBrdcIO);
  KR_FIND(GetEcrMessage);
  KR_FIND(GetEcrAnswer);
  KR_FIND(GetEcrIStatus);
  KR_FIND(GetLineStatus);
  KR_FIND(GetByteCount);
  KR_FIND(SendStRq);
  KR_FIND(SendStExRq);
  KR_FIND(SetOnNetChangeEvent);
  KR_FIND(SetMessNetChange);
#undef KR_FIND
  return d;
}

int Driver::LastError() {
  int error = -12345;
  char text[8] = "x";
  EXPECT_TRUE(GetLastProtocolError(&error, text));
  EXPECT_STREQ(text, "");
  return error;
}

linkdrv::DriverInfo* Driver::Info() {
  linkdrv::DriverInfo* info = nullptr;
  EXPECT_EQ(EcrIO(linkdrv::kControlDriverInfo, 0, nullptr, 0, nullptr, nullptr,
                  reinterpret_cast<int*>(&info)),
            0);
  return info;
}

std::atomic<bool> NoteWindow::inCall{false};
std::vector<Note> NoteWindow::notes_;

NoteWindow::NoteWindow() {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "LinkdrvNoteWindow";
  RegisterClassA(&wc);
  hwnd_ = CreateWindowA(wc.lpszClassName, "notes", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                        nullptr, wc.hInstance, nullptr);
  notes_.clear();
}

NoteWindow::~NoteWindow() {
  if (hwnd_) DestroyWindow(hwnd_);
}

LRESULT CALLBACK NoteWindow::Proc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
  if (message == kRxMessage || message == kNetMessage) {
    notes_.push_back({message, static_cast<int>(w), static_cast<int>(l), inCall.load()});
    return 0;
  }
  if (message == kSlowMessage) {
    Sleep(static_cast<DWORD>(l));
    return 0;
  }
  return DefWindowProcA(hwnd, message, w, l);
}

void NoteWindow::Pump(int ms) {
  DWORD start = GetTickCount();
  do {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(10);
  } while (ElapsedMs(start) < static_cast<DWORD>(ms));
}

std::vector<Note> NoteWindow::Notes(UINT message) const {
  std::vector<Note> out;
  for (const Note& n : notes_) {
    if (n.message == message) out.push_back(n);
  }
  return out;
}

namespace {
std::mutex g_callbackMutex;
std::vector<Note> g_rx, g_net;

void WINAPI OnRx(int kind, int code) {
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  g_rx.push_back({0, kind, code, NoteWindow::inCall.load()});
}
void WINAPI OnNet(int kind, int lineStatus) {
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  g_net.push_back({0, kind, lineStatus, NoteWindow::inCall.load()});
}
}  // namespace

void CallbackLog::Install() {
  Clear();
  Driver::Get().SetOnRxEvent(OnRx);
  Driver::Get().SetOnNetChangeEvent(OnNet);
}
std::vector<Note> CallbackLog::Rx() {
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  return g_rx;
}
std::vector<Note> CallbackLog::Net() {
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  return g_net;
}
void CallbackLog::Clear() {
  std::lock_guard<std::mutex> lock(g_callbackMutex);
  g_rx.clear();
  g_net.clear();
}

void SandoralTest::SetUp() {
  ASSERT_NE(d.module, nullptr) << "Sandoral.dll not loaded";
  ASSERT_NE(ecr.Start(), 0);
}

void SandoralTest::TearDown() {
  d.CloseProt(0);
  d.SetOnRxEvent(nullptr);
  d.SetOnNetChangeEvent(nullptr);
  d.SetMessRxEvent(nullptr, 0);
  d.SetMessNetChange(nullptr, 0);
  ecr.Stop();
}

bool SandoralTest::Open(const std::string& extraSettings) {
  std::string settings = ecr.InlineSettings(extraSettings);
  return d.OpenProt(settings.c_str(), 0) != FALSE;
}

int SandoralTest::Io(unsigned flags, const Bytes& command, int ecrNumber) {
  answerLength = -1;
  extra = -1;
  std::memset(answer, 0xCC, sizeof answer);
  NoteWindow::inCall = true;
  int r = d.EcrIO(ecrNumber, flags, reinterpret_cast<const char*>(command.data()),
                  static_cast<int>(command.size()), answer, &answerLength, &extra);
  NoteWindow::inCall = false;
  return r;
}

std::string TempPath(const std::string& name) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  std::string path = std::string(dir) + name;
  DeleteFileA(path.c_str());
  return path;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line without CR LF: " << line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> MaskTimes(const std::vector<std::string>& lines) {
  static const std::regex longDate(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d:\d\d\d:)");
  static const std::regex shortTime(R"(^\d\d:\d\d:\d\d:\d\d\d:)");
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    std::string masked = std::regex_replace(line, longDate, "D T:");
    out.push_back(std::regex_replace(masked, shortTime, "T:"));
  }
  return out;
}

DWORD ElapsedMs(DWORD start) {
  return GetTickCount() - start;
}

}  // namespace linkdrv_test
