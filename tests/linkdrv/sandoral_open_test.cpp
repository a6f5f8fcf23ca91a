// Opening and closing the link: configuration from inline text and from
// the registry, the start-up status request, DriverInfo and the small exports.
#include <cstring>

#include "driver_fixture.h"
#include "win_raii.h"

namespace linkdrv_test {
namespace {

using namespace linkdrv;

TEST_F(SandoralTest, OpenTwiceAndCloseTwice) {
  ASSERT_TRUE(Open());
  EXPECT_EQ(d.LastError(), 0);
  ASSERT_TRUE(
      ecr.WaitFor([](const ecrsim::Record& r) { return r.counters.extStatusRequests == 1; }, 2000));

  EXPECT_FALSE(d.OpenProt(ecr.InlineSettings().c_str(), 0));
  EXPECT_EQ(d.LastError(), kResultAlreadyOpen);
  // The first link still works.
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x42}));
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A', 1}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'A', 0x42}));
  EXPECT_EQ(ecr.GetCounters().connections, 1);

  EXPECT_TRUE(d.CloseProt(0));
  EXPECT_EQ(d.LastError(), 0);
  EXPECT_FALSE(d.CloseProt(0));
  EXPECT_EQ(d.LastError(), kResultNotOpen);
  ASSERT_TRUE(ecr.WaitFor(
      [](const ecrsim::Record& r) { return !r.Of(ecrsim::EventKind::kDisconnected).empty(); },
      2000));

  // And it opens again.
  ASSERT_TRUE(Open());
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A', 2}), 0);
}

TEST_F(SandoralTest, InlineSettingsAcceptedAndRejected) {
  // An unquoted address is not a number: refused before any connection.
  std::string unquoted = "@ECRIP=127.0.0.1,ECRPortNumber=" + std::to_string(ecr.Port());
  EXPECT_FALSE(d.OpenProt(unquoted.c_str(), 0));
  EXPECT_EQ(d.LastError(), kResultConfigFailed);
  EXPECT_FALSE(d.OpenProt("@ECRIP='127.0.0.1", 0));
  EXPECT_EQ(d.LastError(), kResultConfigFailed);
  EXPECT_FALSE(d.OpenProt("@ECRIP='127.0.0.123456789012'", 0));  // longer than the field
  EXPECT_EQ(d.LastError(), kResultConfigFailed);
  EXPECT_FALSE(d.OpenProt(nullptr, 0));
  EXPECT_EQ(d.LastError(), kResultConfigFailed);
  EXPECT_EQ(ecr.GetCounters().connections, 0);

  // Quoted address, numeric port, OnLine without a value, LogLevel, quoted file.
  std::string log = TempPath("linkdrv_inline.txt");
  std::string text = "@ ECRIP = '127.0.0.1' , ECRPortNumber=" + std::to_string(ecr.Port()) +
                     ",OnLine,LogLevel=2,LogFileName='" + log + "'";
  ASSERT_TRUE(d.OpenProt(text.c_str(), 0)) << d.LastError();
  DriverInfo* info = d.Info();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->field[kInfoOnLine], 1);
  EXPECT_NE(info->field[kInfoLogWrite], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(info->field[kInfoPortText]),
               std::to_string(ecr.Port()).c_str());
  EXPECT_TRUE(d.CloseProt(0));
  EXPECT_EQ(info->field[kInfoLogWrite], 0);
  EXPECT_FALSE(ReadLines(log).empty());

  // OnLine=0 is the effective value too.
  ASSERT_TRUE(Open("OnLine=0"));
  EXPECT_EQ(d.Info()->field[kInfoOnLine], 0);
}

TEST_F(SandoralTest, ConnectionAndStartUpFailures) {
  // Nothing listens on the port any more: 103.
  uint16_t port = ecr.Port();
  ecr.Stop();
  std::string text = "@ECRIP='127.0.0.1',ECRPortNumber=" + std::to_string(port);
  EXPECT_FALSE(d.OpenProt(text.c_str(), 0));
  EXPECT_EQ(d.LastError(), kResultConfigFailed);

  // A listener that accepts and never speaks: the start-up status request
  // finds no answer, the link is closed again, 104.
  ecrsim::Simulator mute(ecrsim::Wire::kHexLine);
  mute.SetMute(true);
  ASSERT_NE(mute.Start(), 0);
  DWORD start = GetTickCount();
  EXPECT_FALSE(d.OpenProt(mute.InlineSettings().c_str(), 0));
  EXPECT_EQ(d.LastError(), kResultStartFailed);
  EXPECT_LT(ElapsedMs(start), 6000u);
  EXPECT_FALSE(d.CloseProt(0));  // already closed
  EXPECT_EQ(d.Info()->field[kInfoLinkOpen], 0);

  // An ECR that answers "S" with a bare frame has answered: the link opens,
  // and the read reports no block.
  ecrsim::StatusReply bare;
  bare.bare = true;
  ecr.Start();
  ecr.QueueExtStatusReplies({bare, bare});
  ASSERT_TRUE(Open()) << d.LastError();
  int status = -1, length = -1;
  EXPECT_EQ(d.SendStExRq(1, 0, &status, &length, nullptr), kResultOk);
  EXPECT_EQ(length, 0);
}

TEST_F(SandoralTest, RegistryConfiguration) {
  const char* path = "SOFTWARE\\KerunelTest\\LinkdrvOpen";
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
  EXPECT_FALSE(d.OpenProt(path, 0));  // no such key
  EXPECT_EQ(d.LastError(), kResultConfigFailed);

  kr::UniqueHKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS);
  auto set = [&](const char* name, const std::string& value) {
    RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
  };
  // A port written as a number (a .reg file's dword:) is read as its decimal text.
  DWORD port = ecr.Port();
  RegSetValueExA(key.get(), "ECRPortNumber", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port),
                 sizeof port);
  EXPECT_FALSE(d.OpenProt(path, 0));  // no ECRIP
  EXPECT_EQ(d.LastError(), kResultConfigFailed);

  std::string log = TempPath("linkdrv_registry.txt");
  set("ECRIP", "127.0.0.1");
  set("OnLine", "no");
  set("ExtDisplayEcho", "YES");
  set("StatusCheck", "si");
  set("LogLevel", "2");
  set("LogFileName", log);
  ASSERT_TRUE(d.OpenProt(path, 0)) << d.LastError();
  DriverInfo* info = d.Info();
  EXPECT_STREQ(reinterpret_cast<const char*>(info->field[kInfoPortText]),
               std::to_string(port).c_str());
  EXPECT_EQ(info->field[kInfoOnLine], 0);
  EXPECT_EQ(info->field[kInfoExtDisplayEcho], 1);
  EXPECT_NE(info->field[kInfoLogWrite], 0);
  EXPECT_TRUE(d.CloseProt(0));

  // A value that does not fit its buffer counts as absent: LogLevel "NO"
  // fits, a 4-character level does not.
  set("LogLevel", "1234");
  set("OnLine", "1");
  ASSERT_TRUE(d.OpenProt(path, 0));
  EXPECT_EQ(d.Info()->field[kInfoLogWrite], 0);
  EXPECT_EQ(d.Info()->field[kInfoOnLine], 1);
  EXPECT_TRUE(d.CloseProt(0));
  key.reset();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

TEST_F(SandoralTest, DriverInfoAndTheSmallExports) {
  DriverInfo* info = d.Info();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->field[kInfoVersion], 3);
  EXPECT_EQ(info->field[kInfoMajor], 1);
  EXPECT_EQ(info->field[kInfoMinor], 0);
  EXPECT_EQ(info->field[kInfoBuild], 1);
  EXPECT_EQ(info->field[kInfoLinkOpen], 0);
  EXPECT_GE(info->field[kInfoStateBlockSize], static_cast<intptr_t>(sizeof(FramingState)));
  EXPECT_EQ(info->field[kInfoEcrIO], reinterpret_cast<intptr_t>(d.EcrIO));
  EXPECT_EQ(info->field[kInfoSendStRq], reinterpret_cast<intptr_t>(d.SendStRq));
  EXPECT_EQ(info->field[kInfoSendStExRq], reinterpret_cast<intptr_t>(d.SendStExRq));
  EXPECT_EQ(info->field[kInfoEcrBrdcIO], reinterpret_cast<intptr_t>(d.EcrBrdcIO));
  EXPECT_STREQ(reinterpret_cast<const char*>(info->field[kInfoReservedText13]), "");
  // Before any link: nothing to send with, nothing queued, no hang.
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A'}), kResultNotSent);
  EXPECT_EQ(extra, kResultThreadTimeout);
  EcrMessage m;
  EXPECT_FALSE(d.GetEcrMessage(1, &m));
  EXPECT_EQ(d.LastError(), kResultNothing);

  ASSERT_TRUE(Open());
  EXPECT_EQ(info->field[kInfoLinkOpen], 1);
  EXPECT_EQ(info->field[kInfoTcpMode], 1);
  EXPECT_EQ(info->field[kInfoLongSlice], 1);
  EXPECT_EQ(info->field[kInfoNoChecksum], 0);
  const int* lineStatus = reinterpret_cast<const int*>(info->field[kInfoLineStatus]);
  EXPECT_EQ(lineStatus[0], 0);
  EXPECT_EQ(lineStatus[1], 1);
  const int* lastError = reinterpret_cast<const int*>(info->field[kInfoLastError]);

  EXPECT_EQ(d.EcrBrdcIO(1, 2, 3, 4, 5, 6, 7, 8), kResultNoBroadcast);
  EXPECT_EQ(d.LastError(), kResultNoBroadcast);
  EXPECT_EQ(*lastError, kResultNoBroadcast);
  EXPECT_EQ(d.EcrIO(-104, 0, nullptr, 0, nullptr, nullptr, nullptr), kResultUnknownControl);
  EXPECT_EQ(d.LastError(), kResultUnknownControl);
  for (int code : {-101, -102, -103, -108, -109}) {
    EXPECT_EQ(d.EcrIO(code, 0, nullptr, 0, nullptr, nullptr, nullptr), 0) << code;
    EXPECT_EQ(d.LastError(), 0);
  }
  EXPECT_EQ(d.EcrIO(kControlOnLineOff, 0, nullptr, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(d.GetLineStatus(), 0);

  // Byte counts: the start-up "S" (1 byte out) and its answer, then a command.
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 1, 2, 3}));
  int before = d.GetByteCount();
  EXPECT_GT(before, 1);
  EXPECT_EQ(d.GetByteCount(), 0);
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A', 9}), 0);
  EXPECT_EQ(d.GetByteCount(), 2 + 4);
  EXPECT_EQ(d.GetByteCount(), 0);

  // The caller's own lines go through LogWrite only while a log is open.
  EXPECT_EQ(info->field[kInfoLogWrite], 0);
}

TEST_F(SandoralTest, NewAddressAndClosedSocket) {
  ASSERT_TRUE(Open());
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 7}));
  // -111 leaves the link open without a socket: sends fail.
  EXPECT_EQ(d.EcrIO(kControlCloseSocket, 0, nullptr, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A'}), kResultNotSent);
  EXPECT_EQ(extra, kResultLinkFailure);

  // -110 with a new "address port" connects again (to a second ECR).
  ecrsim::Simulator second(ecrsim::Wire::kHexLine);
  ASSERT_NE(second.Start(), 0);
  second.OnCommand('A', ecrsim::Reply::Answer({'A', 8}));
  std::string target = "127.0.0.1 " + std::to_string(second.Port());
  EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, target.c_str(), 0, nullptr, nullptr, nullptr), 0);
  ASSERT_TRUE(second.WaitForConnection(2000));
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'A', 8}));

  // Reconnecting closes the old connection instead of leaking it.
  std::string back = "127.0.0.1 " + std::to_string(ecr.Port());
  EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, back.c_str(), 0, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(second.WaitFor(
      [](const ecrsim::Record& r) { return !r.Of(ecrsim::EventKind::kDisconnected).empty(); },
      2000));
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'A', 7}));

  // Under 8 characters the text names no address: the link connects again
  // where it was. An address or port too long for its field changes
  // nothing (1). Either way the link goes on with the same ECR.
  const struct {
    std::string text;
    int result;
    int newConnections;
  } cases[] = {
      {"1.2.3.4", 0, 1},
      {"", 0, 1},
      {std::string(18, '1') + " 7", 1, 0},
      {"127.0.0.1 " + std::string(12, '7'), 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int connections = ecr.GetCounters().connections;
    EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, c.text.c_str(), 0, nullptr, nullptr, nullptr),
              c.result);
    Sleep(100);
    EXPECT_EQ(ecr.GetCounters().connections, connections + c.newConnections);
    EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A'}), 0);
    EXPECT_EQ(AnswerBytes(), (Bytes{'A', 7}));
  }

  // An address without a port: port 1470.
  ecrsim::Simulator atDefaultPort(ecrsim::Wire::kHexLine);
  if (atDefaultPort.Start(1470) != 0) {
    EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, "127.0.0.1", 0, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(atDefaultPort.WaitForConnection(2000));
    EXPECT_STREQ(reinterpret_cast<const char*>(d.Info()->field[kInfoPortText]), "1470");
    EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, back.c_str(), 0, nullptr, nullptr, nullptr), 0);
  } else {
    std::printf("port 1470 is taken here: the default port is not tried\n");
  }
  atDefaultPort.Stop();

  // A port where nothing listens: 1, and the link stays on the old ECR.
  second.Stop();
  std::string nowhere = "127.0.0.1 " + std::to_string(second.Port());
  EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, nowhere.c_str(), 0, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A'}), 0);
  second.Stop();
}

}  // namespace
}  // namespace linkdrv_test

namespace linkdrv_test {
namespace {

// A library freed with its link open is not unloaded under its link
// thread, which holds its own reference: the link goes on working, and the
// library goes once CloseProt has ended the thread (the log closed, the
// connection ended); the process goes on unharmed.
TEST(SandoralUnload, FreeLibraryWithTheLinkOpenKeepsTheLibraryUntilCloseProt) {
  ecrsim::Simulator ecr(ecrsim::Wire::kHexLine);
  ASSERT_NE(ecr.Start(), 0);
  ecr.OnCommand('A', ecrsim::Reply::NoAnswer());
  std::string log = TempPath("linkdrv_unload.txt");
  HMODULE module = LoadLibraryA("Sandoral.dll");
  ASSERT_NE(module, nullptr);
  auto find = [](HMODULE m, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(m, name));
  };
  auto open = reinterpret_cast<linkdrv::OpenProtFn>(find(module, "OpenProt"));
  auto io = reinterpret_cast<linkdrv::EcrIOFn>(find(module, "EcrIO"));
  std::string settings = ecr.InlineSettings("LogLevel=2,LogFileName='" + log + "'");
  ASSERT_TRUE(open(settings.c_str(), 0));
  ASSERT_EQ(io(1, linkdrv::kEcrAnswerExpected, "A", 1, nullptr, nullptr, nullptr),
            0);  // the thread reads
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA("Sandoral.dll"), module);

  HMODULE again = LoadLibraryA("Sandoral.dll");
  ASSERT_EQ(again, module);
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x42}));
  char answer[256];
  int length = 0, extra = 0;
  EXPECT_EQ(
      io(1, linkdrv::kEcrAnswerExpected | linkdrv::kEcrWaitAnswer, "A", 1, answer, &length, &extra),
      0);
  EXPECT_EQ(length, 2);
  auto close = reinterpret_cast<linkdrv::CloseProtFn>(find(again, "CloseProt"));
  EXPECT_TRUE(close(0));
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(ecr.WaitFor(
      [](const ecrsim::Record& r) { return r.Of(ecrsim::EventKind::kDisconnected).size() == 1; },
      2000));
  DWORD start = GetTickCount();
  while (GetModuleHandleA("Sandoral.dll") != nullptr && ElapsedMs(start) < 2000) Sleep(10);
  EXPECT_EQ(GetModuleHandleA("Sandoral.dll"), nullptr);
  std::vector<std::string> lines = ReadLines(log);
  int closes = 0;
  for (const std::string& line : lines) closes += line.find("LOG CLOSE") != std::string::npos;
  EXPECT_EQ(closes, 1);
}

}  // namespace
}  // namespace linkdrv_test
