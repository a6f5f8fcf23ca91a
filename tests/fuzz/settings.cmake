# Inline "@Key=Value" settings parser of the link drivers.
kerunel_fuzzer(settings
  ${ROOT}/linkdrv/core/settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_fuzz.cpp)
