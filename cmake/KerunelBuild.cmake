# Shared build helpers.

# kerunel_typelib(<target> <idl> [DEPENDS headers...]): compiles <idl> with
# widl into a type library for the current architecture and sets
# KERUNEL_TLB_<target> to it. DEPENDS names headers the IDL includes.
function(kerunel_typelib target idl)
  cmake_parse_arguments(T "" "" "DEPENDS" ${ARGN})
  get_filename_component(name ${idl} NAME_WE)
  set(tlb ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
  add_custom_command(
    OUTPUT ${tlb}
    COMMAND ${KERUNEL_WIDL} ${WIDL_TARGET_FLAG}
            -I /usr/include/wine/wine/windows
            -I ${CMAKE_CURRENT_SOURCE_DIR} -I ${PROJECT_SOURCE_DIR}/common
            -L /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
            -t -o ${tlb} ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${idl} ${T_DEPENDS}
    COMMENT "widl ${idl}"
    VERBATIM)
  add_custom_target(${target}_tlb DEPENDS ${tlb})
  set(KERUNEL_TLB_${target} ${tlb} PARENT_SCOPE)
endfunction()

# kerunel_gtest(<name> SOURCES ... LIBS ...): a GoogleTest program run by
# ctest under Wine; tests are listed before they run, so Wine stays out of
# the build. A fault in any of its threads ends it at once (crash_guard.cpp).
function(kerunel_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/crash_guard.cpp)
  target_link_libraries(${name} PRIVATE gtest gtest_main ${T_LIBS})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${T_PROPERTIES})
endfunction()

# kerunel_host_tool(<name> <source>): a build helper compiled with the host
# compiler (once per tree), as KERUNEL_HOST_<NAME> and target <name>_tool.
function(kerunel_host_tool name source)
  set(exe ${CMAKE_BINARY_DIR}/host/${name})
  add_custom_command(
    OUTPUT ${exe}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
    COMMAND c++ -std=c++17 -O1 -o ${exe} ${PROJECT_SOURCE_DIR}/${source}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source}
    COMMENT "host ${name}"
    VERBATIM)
  add_custom_target(${name}_tool DEPENDS ${exe})
  string(TOUPPER ${name} upper)
  set(KERUNEL_HOST_${upper} ${exe} PARENT_SCOPE)
endfunction()

# pecheck reads Windows modules (the 32-bit ones cannot run here); artgen
# turns pixel art into bitmaps and icons.
kerunel_host_tool(pecheck tools/pecheck/pecheck.cpp)
kerunel_host_tool(artgen tools/artgen/artgen.cpp)

# kerunel_check_module(<target> [EXPORTS names...] [TYPELIB] [CHECKS args...]):
# after each link, checks the module's machine type, that it imports only
# system DLLs, that every name is exported undecorated, (TYPELIB) that it
# carries resource TYPELIB 1 built for this architecture, and whatever
# further pecheck options CHECKS gives.
function(kerunel_check_module target)
  cmake_parse_arguments(C "TYPELIB" "" "EXPORTS;CHECKS" ${ARGN})
  if(KERUNEL_ARCH STREQUAL "x86")
    set(args --machine i386)
    set(kind win32)
  else()
    set(args --machine amd64)
    set(kind win64)
  endif()
  list(APPEND args --static)
  if(C_EXPORTS)
    string(REPLACE ";" "," names "${C_EXPORTS}")
    list(APPEND args --exports ${names})
  endif()
  if(C_TYPELIB)
    list(APPEND args --typelib ${kind})
  endif()
  list(APPEND args ${C_CHECKS})
  add_dependencies(${target} pecheck_tool)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${KERUNEL_HOST_PECHECK} $<TARGET_FILE:${target}> ${args}
    COMMENT "check module ${target} (${KERUNEL_ARCH})"
    VERBATIM)
endfunction()
