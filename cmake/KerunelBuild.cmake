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
# the build.
function(kerunel_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE gtest gtest_main ${T_LIBS})
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ${T_PROPERTIES})
endfunction()

# pecheck: a host program that reads Windows modules (the 32-bit ones cannot
# run here). Built once per tree with the host compiler.
set(KERUNEL_PECHECK ${CMAKE_BINARY_DIR}/host/pecheck)
add_custom_command(
  OUTPUT ${KERUNEL_PECHECK}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/host
  COMMAND c++ -std=c++17 -O1 -o ${KERUNEL_PECHECK} ${PROJECT_SOURCE_DIR}/tools/pecheck/pecheck.cpp
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/pecheck/pecheck.cpp
  COMMENT "host pecheck"
  VERBATIM)
add_custom_target(pecheck_tool DEPENDS ${KERUNEL_PECHECK})

# kerunel_check_module(<target> [EXPORTS names...] [STDCALL name@bytes...]
# [CDECL names...] [TYPELIB]): after each link, checks the module's machine
# type, that it imports only system DLLs, that every name is exported
# undecorated, on i686 that the STDCALL exports were compiled callee-pops
# with that many argument bytes and the CDECL ones caller-cleans, and
# (TYPELIB) that it carries resource TYPELIB 1 built for this architecture.
function(kerunel_check_module target)
  cmake_parse_arguments(C "TYPELIB" "" "EXPORTS;STDCALL;CDECL" ${ARGN})
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
  if(KERUNEL_ARCH STREQUAL "x86" AND C_STDCALL)
    string(REPLACE ";" "," names "${C_STDCALL}")
    list(APPEND args --stdcall ${names})
  endif()
  if(KERUNEL_ARCH STREQUAL "x86" AND C_CDECL)
    string(REPLACE ";" "," names "${C_CDECL}")
    list(APPEND args --cdecl ${names})
  endif()
  if(C_TYPELIB)
    list(APPEND args --typelib ${kind})
  endif()
  add_dependencies(${target} pecheck_tool)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${KERUNEL_PECHECK} $<TARGET_FILE:${target}> ${args}
    COMMENT "check module ${target} (${KERUNEL_ARCH})"
    VERBATIM)
endfunction()
