# Shared build helpers.

# kerunel_typelib(<target> <idl>): compiles <idl> with widl into a type
# library for the current architecture and sets KERUNEL_TLB_<target> to it.
function(kerunel_typelib target idl)
  get_filename_component(name ${idl} NAME_WE)
  set(tlb ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
  add_custom_command(
    OUTPUT ${tlb}
    COMMAND ${KERUNEL_WIDL} ${WIDL_TARGET_FLAG}
            -I /usr/include/wine/wine/windows
            -I ${CMAKE_CURRENT_SOURCE_DIR} -I ${PROJECT_SOURCE_DIR}/common
            -L /usr/lib/x86_64-linux-gnu/wine/x86_64-windows
            -t -o ${tlb} ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${idl}
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
