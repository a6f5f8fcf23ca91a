#include "registration.h"

#include <olectl.h>

namespace kr {

// Self-registration is not provided yet: both report that the classes
// could not be (un)registered.
HRESULT RegisterModule() {
  return SELFREG_E_CLASS;
}
HRESULT UnregisterModule() {
  return SELFREG_E_CLASS;
}

}  // namespace kr
