# Hex-line framing of the Sandoral driver over a fake byte transport, with
# every logged entry laid out by the protocol log formatter.
kerunel_fuzzer(hexframe
  ${ROOT}/linkdrv/framing/sandoral_framing.cpp
  ${ROOT}/linkdrv/framing/sandoral_hex.cpp
  ${ROOT}/linkdrv/core/log_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hexframe_fuzz.cpp)
