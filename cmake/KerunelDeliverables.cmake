# The deliverables, in one table: what tools/build.sh builds, what carries
# the project's version block and what the installers ship. The version is
# the one given to project() in the top-level CMakeLists.txt.
#
# Row: target|kind|file description
#   control  the ActiveX control: its version block is its own (control/)
#   driver   a link driver DLL
#   service  an in-process COM server registered like the control
#   program  a program for the user
#   tool     an optional tool

set(KERUNEL_COMPANY "Tarvello")
set(KERUNEL_COPYRIGHT "Copyright (C) 2001-2026 Tarvello. MIT License.")
set(KERUNEL_PRODUCT "Kerunel fiscal printer suite")

set(KERUNEL_DELIVERABLES
  "Kerunel|control|Kerunel Control Object Module"
  "Sandoral|driver|Kerunel link driver, hex-line framing"
  "Mirevon|driver|Kerunel link driver, host-PC framing"
  "KerunelSO|service|Kerunel reference Service Object"
  "Vostrik|program|Kerunel test bench"
  "kerunel_cli|program|Kerunel command-line client"
  "ecrsim_tool|tool|Kerunel ECR simulator")

# Signing: with KERUNEL_SIGN_PFX (a PKCS#12 file, as tools/build.sh --sign
# sets it) the target "deliverables" signs every deliverable after each link
# and the installer is built from the signed modules, then signed itself
# (tools/sign.sh; the password comes from the environment at build time).
set(KERUNEL_SIGN_PFX "" CACHE FILEPATH "Sign the deliverables and the installer with this PKCS#12 file")

# kerunel_version_block(<target> <description>): adds a version block
# (resource 1) with the project's version to <target>.
function(kerunel_version_block target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  get_target_property(prefix ${target} PREFIX)
  get_target_property(suffix ${target} SUFFIX)
  if(NOT name)
    set(name ${target})
  endif()
  if(NOT prefix)
    set(prefix "")
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(KR_FILE_TYPE VFT_APP)
    set(default_suffix ".exe")
  else()
    set(KR_FILE_TYPE VFT_DLL)
    set(default_suffix ".dll")
  endif()
  if(NOT suffix)
    set(suffix ${default_suffix})
  endif()
  set(KR_DESCRIPTION "${description}")
  set(KR_INTERNAL_NAME "${name}")
  set(KR_ORIGINAL_FILENAME "${prefix}${name}${suffix}")
  set(rc ${CMAKE_BINARY_DIR}/version/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

# kerunel_deliverables(): called once at the end of the top-level
# CMakeLists.txt. Adds the version blocks and the target "deliverables"
# (every module of the table that this tree builds), writes their list to
# <build dir>/deliverables.txt (kind and file name, one a line) and sets
# KERUNEL_BUILT_DELIVERABLES to those rows.
function(kerunel_deliverables)
  set(built)
  set(targets)
  set(stamps)
  set(manifest "")
  foreach(row ${KERUNEL_DELIVERABLES})
    string(REPLACE "|" ";" cells "${row}")
    list(GET cells 0 target)
    list(GET cells 1 kind)
    list(GET cells 2 description)
    if(TARGET ${target})
      if(NOT kind STREQUAL "control")
        kerunel_version_block(${target} "${description}")
      endif()
      if(KERUNEL_SIGN_PFX)
        # Signed in place after each link; the stamp says it was.
        set(stamp ${CMAKE_BINARY_DIR}/signed/${target}.stamp)
        add_custom_command(OUTPUT ${stamp}
          COMMAND bash ${PROJECT_SOURCE_DIR}/tools/sign.sh ${KERUNEL_SIGN_PFX} $<TARGET_FILE:${target}>
          COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
          DEPENDS ${target}
          COMMENT "sign $<TARGET_FILE_NAME:${target}>"
          VERBATIM)
        list(APPEND stamps ${stamp})
      endif()
      list(APPEND built "${row}")
      list(APPEND targets ${target})
      string(APPEND manifest "${kind} $<TARGET_FILE_NAME:${target}>\n")
    endif()
  endforeach()
  add_custom_target(deliverables DEPENDS ${targets} ${stamps})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/deliverables.txt CONTENT "${manifest}")
  set(KERUNEL_BUILT_DELIVERABLES "${built}" PARENT_SCOPE)
  set(KERUNEL_SIGNED_STAMPS "${stamps}" PARENT_SCOPE)
endfunction()
