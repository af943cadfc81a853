# The release package, staged by the target kqd_package into package/kqd-<version>
# of this build tree (scripts/package.sh publishes it as build/package/kqd-<version>
# once a second build has given the same bytes).
#
# What ships: every target of this list that the configuration defines, stripped,
# its symbols beside it as <name>.debug; a tool joins the package by being defined
# under src/, with no change here.
set(KQD_SHIPPED_TARGETS kqd kqdwatch)

set(shipped_targets)
set(shipped_files)
foreach(target IN LISTS KQD_SHIPPED_TARGETS)
  if(TARGET ${target})
    list(APPEND shipped_targets ${target})
    list(APPEND shipped_files $<TARGET_FILE:${target}>)
  endif()
endforeach()
if(NOT kqd IN_LIST shipped_targets)
  message(FATAL_ERROR "the release package needs the target kqd")
endif()

# The package step asks a debugger whether the symbols are found through the link.
find_program(KQD_GDB gdb REQUIRED)

set(KQD_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package/kqd-${PROJECT_VERSION})
add_custom_target(kqd_package
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/package-stage.sh
          --out ${KQD_PACKAGE_DIR}
          --version ${PROJECT_VERSION}
          --inf ${PROJECT_SOURCE_DIR}/src/setup/kqddrv.inf
          --source ${PROJECT_SOURCE_DIR}
          --build ${CMAKE_BINARY_DIR}
          --objcopy ${CMAKE_OBJCOPY}
          --strip ${CMAKE_STRIP}
          --objdump ${CMAKE_OBJDUMP}
          --windres ${CMAKE_RC_COMPILER}
          --gdb ${KQD_GDB}
          ${shipped_files}
  DEPENDS ${shipped_targets}
  COMMENT "Staging the package of ${shipped_targets} in ${KQD_PACKAGE_DIR}"
  VERBATIM)
