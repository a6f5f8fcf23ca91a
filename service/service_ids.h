// Identifiers of the reference Service Object: the class DllRegisterServer
// writes and the ProgID a device key names.
#pragma once

#define KSO_CLSID_STRING L"{6F7293C1-B42A-41BD-8119-91F4527AC72C}"
#define KSO_CLSID_INIT                               \
  {                                                  \
    0x6F7293C1, 0xB42A, 0x41BD, {                    \
      0x81, 0x19, 0x91, 0xF4, 0x52, 0x7A, 0xC7, 0x2C \
    }                                                \
  }
#define KSO_PROGID L"Kerunel.FiscalService.1"
#define KSO_MODULE L"KerunelSO.dll"

// ResultCodeExtended with ResultCode OPOS_E_FAILURE (111): the ECR answered
// the request with a field that is not valid (ErrorString says which).
#define KSO_EXTENDED_BAD_ANSWER 301L
