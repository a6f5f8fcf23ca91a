# Host-PC framing of the Mirevon driver against a fake byte transport.
kerunel_fuzzer(mirevon
  ${ROOT}/linkdrv/framing/mirevon_framing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mirevon_fuzz.cpp)
