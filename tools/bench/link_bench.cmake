# link_bench: link driver round trips, idle CPU and unsolicited burst rate
# against the in-process ECR simulator (x86_64 only: it runs under Wine).
if(KERUNEL_ARCH STREQUAL "x64" AND TARGET Sandoral
   AND EXISTS ${PROJECT_SOURCE_DIR}/ecrsim/CMakeLists.txt)
  add_executable(link_bench ${CMAKE_CURRENT_LIST_DIR}/link_bench.cpp)
  target_include_directories(link_bench PRIVATE ${PROJECT_SOURCE_DIR}/linkdrv/core)
  target_link_libraries(link_bench PRIVATE ecrsim kerunel_common user32)
  # It loads the drivers by name from its own directory.
  add_dependencies(link_bench Sandoral)
  if(TARGET Mirevon)
    add_dependencies(link_bench Mirevon)
  endif()
endif()
