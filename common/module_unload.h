// What each of our DLLs gives back when it is unloaded while the process
// goes on (DLL_PROCESS_DETACH with a null reserved argument), so that an
// application that loads and frees it over and over does not grow.
#pragma once

namespace __gnu_cxx {
void __freeres();  // the C++ runtime's: frees its emergency exception pool
}

namespace kr {

// The C++ runtime linked into the module keeps a pool of about 72 KB for
// exceptions thrown when memory runs out, and never frees it by itself.
// Call from DllMain; at process exit (reserved != null) nothing is done.
inline void ReleaseRuntimeOnUnload(void* reserved) {
  if (reserved == nullptr) __gnu_cxx::__freeres();
}

}  // namespace kr
