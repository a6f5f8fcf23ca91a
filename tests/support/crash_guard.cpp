// Linked into every test program: a fault in any of its threads ends the
// program at once with a line that says where, instead of leaving it to a
// debugger that holds it (and the test run) until the run's time-out.
#include <windows.h>

#include <cstdio>

namespace {

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  char where[MAX_PATH] = "no module (code that is not, or no longer, loaded)";
  HMODULE module = nullptr;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(r->ExceptionAddress), &module)) {
    GetModuleFileNameA(module, where, sizeof where);
  }
  std::fprintf(stderr, "\nFATAL: exception 0x%08lX at %p in %s, thread %lu",
               static_cast<unsigned long>(r->ExceptionCode), r->ExceptionAddress, where,
               static_cast<unsigned long>(GetCurrentThreadId()));
  if (r->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && r->NumberParameters >= 2) {
    std::fprintf(stderr, " (%s %p)",
                 r->ExceptionInformation[0] == 8   ? "execute"
                 : r->ExceptionInformation[0] == 1 ? "write"
                                                   : "read",
                 reinterpret_cast<void*>(r->ExceptionInformation[1]));
  }
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

const bool g_installed = (SetUnhandledExceptionFilter(OnUnhandledException), true);

}  // namespace
