// The exported interface of a link driver DLL: records, callback types and
// the 17 exports. Callers load the DLL by name and find the exports with
// GetProcAddress; the typedefs below are the pointer types they use.
#pragma once

#include <windows.h>

#include <cstdint>

namespace linkdrv {

// Filled by GetEcrAnswer and GetEcrMessage: 268 bytes.
struct EcrMessage {
  int32_t ecrNumber;  // the call's first argument
  int32_t code;       // the message's first byte, sign-extended
  uint8_t data[256];  // the message's bytes after the code
  int32_t length;     // number of data bytes
};
static_assert(sizeof(EcrMessage) == 268, "EcrMessage layout");

// DriverInfo: pointer-sized fields (32 bits in the 32-bit build).
enum DriverInfoField : int {
  kInfoVersion = 0,
  kInfoReserved1 = 1,
  kInfoMajor = 2,
  kInfoMinor = 3,
  kInfoBuild = 4,
  kInfoLinkOpen = 5,
  kInfoReserved6 = 6,
  kInfoLastError = 7,      // int*
  kInfoBytesSent = 8,      // int*
  kInfoBytesReceived = 9,  // int*
  kInfoStateBlock = 10,    // address of the shared transaction/status block
  kInfoStateBlockSize = 11,
  kInfoLineStatus = 12,  // int[2]; the second is the LineStatus word
  kInfoReservedText13 = 13,
  kInfoReservedText14 = 14,
  kInfoReservedText15 = 15,
  kInfoPortText = 16,
  kInfoReserved17 = 17,
  kInfoExtDisplayEcho = 18,
  kInfoOnLine = 19,
  kInfoTcpMode = 20,
  kInfoNoChecksum = 21,
  kInfoLongSlice = 22,
  kInfoEcrIO = 23,
  kInfoEcrBrdcIO = 24,
  kInfoSendStRq = 25,
  kInfoSendStExRq = 26,
  kInfoProgressCallback = 27,  // the caller may write this one
  kInfoLogWrite = 28,
  kInfoFieldCount = 29,
};

struct DriverInfo {
  intptr_t field[kInfoFieldCount];
};

using RxCallback = void(WINAPI*)(int kind, int code);
using NetChangeCallback = void(WINAPI*)(int kind, int lineStatus);
using ProgressCallback = void(WINAPI*)(int ecrNumber, int reserved1, int reserved2,
                                       const char* text, int* counter);
using LogWriteFunction = void(__cdecl*)(int kind, int flags, int ecrNumber, const char* text,
                                        const void* bytes, unsigned count, int result,
                                        void* reserved);

// Pointer types of the exports, for GetProcAddress.
using OpenProtFn = BOOL(WINAPI*)(const char* config, int reserved);
using CloseProtFn = BOOL(WINAPI*)(int reserved);
using GetLastProtocolErrorFn = BOOL(WINAPI*)(int* error, char* text);
using SetOnRxEventFn = BOOL(WINAPI*)(RxCallback callback);
using SetMessRxEventFn = BOOL(WINAPI*)(HWND window, UINT message);
using SendDataFn = BOOL(WINAPI*)(int ecrNumber, const char* command, int length);
using EcrIOFn = int(WINAPI*)(int ecrNumber, unsigned flags, const char* command, int length,
                             char* answer, int* answerLength, int* extraResult);
using EcrBrdcIOFn = int(WINAPI*)(int, int, int, int, int, int, int, int);
using GetEcrMessageFn = BOOL(WINAPI*)(int ecrNumber, EcrMessage* message);
using GetEcrAnswerFn = BOOL(WINAPI*)(int ecrNumber, EcrMessage* message);
using GetEcrIStatusFn = BOOL(WINAPI*)(int ecrNumber, int* status);
using GetLineStatusFn = int(__cdecl*)();
using GetByteCountFn = int(WINAPI*)();
using SendStRqFn = int(WINAPI*)(int ecrNumber, int modeFlag, int* status);
using SendStExRqFn = int(WINAPI*)(int ecrNumber, int modeFlag, int* status, int* length,
                                  char* data);
using SetOnNetChangeEventFn = BOOL(WINAPI*)(NetChangeCallback callback);
using SetMessNetChangeFn = BOOL(WINAPI*)(HWND window, UINT message);

// EcrIO flags.
enum : unsigned {
  kEcrAnswerExpected = 0x01,
  kEcrWaitAnswer = 0x02,
  kEcrLongWait = 0x08,
  kEcrRestartWhileIdle = 0x10,
};

// EcrIO control codes (first argument).
enum : int {
  kControlOnLineOff = -101,
  kControlOnLineOn = -102,
  kControlOnLineConfigured = -103,
  kControlDriverInfo = -105,
  kControlFlagA = -108,
  kControlFlagB = -109,
  kControlNewAddress = -110,
  kControlCloseSocket = -111,
};

}  // namespace linkdrv

extern "C" {
BOOL WINAPI OpenProt(const char* config, int reserved);
BOOL WINAPI CloseProt(int reserved);
BOOL WINAPI GetLastProtocolError(int* error, char* text);
BOOL WINAPI SetOnRxEvent(linkdrv::RxCallback callback);
BOOL WINAPI SetMessRxEvent(HWND window, UINT message);
BOOL WINAPI SendData(int ecrNumber, const char* command, int length);
int WINAPI EcrIO(int ecrNumber, unsigned flags, const char* command, int length, char* answer,
                 int* answerLength, int* extraResult);
int WINAPI EcrBrdcIO(int, int, int, int, int, int, int, int);
BOOL WINAPI GetEcrMessage(int ecrNumber, linkdrv::EcrMessage* message);
BOOL WINAPI GetEcrAnswer(int ecrNumber, linkdrv::EcrMessage* message);
BOOL WINAPI GetEcrIStatus(int ecrNumber, int* status);
int __cdecl GetLineStatus();
int WINAPI GetByteCount();
int WINAPI SendStRq(int ecrNumber, int modeFlag, int* status);
int WINAPI SendStExRq(int ecrNumber, int modeFlag, int* status, int* length, char* data);
BOOL WINAPI SetOnNetChangeEvent(linkdrv::NetChangeCallback callback);
BOOL WINAPI SetMessNetChange(HWND window, UINT message);
}
