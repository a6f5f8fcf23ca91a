# The virtual printer's reading of commands: arbitrary messages, one a line,
# through its command entry (numbers, the handler table, the fiscal core).
kerunel_fuzzer(printer
  ${ROOT}/ecrsim/virtual_printer.cpp
  ${ROOT}/ecrsim/record_file.cpp
  ${ROOT}/fiscal/rules.cpp
  ${ROOT}/fiscal/operation.cpp
  ${ROOT}/fiscal/document.cpp
  ${CMAKE_CURRENT_LIST_DIR}/printer_fuzz.cpp)
target_include_directories(fuzz_printer PRIVATE ${ROOT}/ecrsim ${ROOT}/fiscal)
