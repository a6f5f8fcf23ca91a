// Self-registration of the module: its type library and its classes.
#pragma once

#include <windows.h>

namespace kr {

// Returns S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS.
HRESULT RegisterModule();
// Returns S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS.
HRESULT UnregisterModule();

}  // namespace kr
