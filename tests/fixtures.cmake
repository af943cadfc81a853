# The testbed's ctest fixtures and the wiring of the end-to-end scenarios, in one
# place for both Windows tiers. The kernel-driver and powrprof doubles are installed
# once for the run by these fixtures; the scenarios install the COM doubles
# themselves. The locks keep apart the tests that share the prefix's "KQD" service
# and doubles.

# The energy-management driver double.
kqd_testbed_fixture(pwraux SETUP install-pwraux CLEANUP remove-pwraux)
# The slate-toggle driver, its interfaces (both present) and the cfgmgr32 double for
# every executable in bin/ that imports cfgmgr32.
kqd_testbed_fixture(slate SETUP install-slate CLEANUP remove-slate)
# The power-management driver double with its Type2 value.
kqd_testbed_fixture(davodira SETUP install-davodira CLEANUP remove-davodira)
# The powrprof double, for kqd.exe and the tests that take it.
kqd_testbed_fixture(power SETUP install-power CLEANUP remove-power)

# The emulated convertible of e2e_machine (tests/e2e/lib.sh).
set(KQD_E2E_MACHINE_FIXTURES wine pwraux slate davodira power)
set(KQD_E2E_MACHINE_LOCKS kqd-service kqd-wmi kqd-sensors kqd-power)

# kqd_e2e_test(name SCRIPT file [ARGS args...] [FIXTURES fixtures...]
#              [RESOURCE_LOCK locks...] [TIMEOUT seconds]):
# a scenario of this folder run by bash on this build's prefix. Without FIXTURES or
# RESOURCE_LOCK, the emulated convertible's; without TIMEOUT, 300 s.
function(kqd_e2e_test name)
  cmake_parse_arguments(T "" "SCRIPT;TIMEOUT" "ARGS;FIXTURES;RESOURCE_LOCK" ${ARGN})
  if(NOT T_SCRIPT OR T_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kqd_e2e_test(${name}): SCRIPT is required; unknown: ${T_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT T_FIXTURES)
    set(T_FIXTURES ${KQD_E2E_MACHINE_FIXTURES})
  endif()
  if(NOT T_RESOURCE_LOCK)
    set(T_RESOURCE_LOCK ${KQD_E2E_MACHINE_LOCKS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/${T_SCRIPT} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT KQD_BUILD=${CMAKE_BINARY_DIR}
    FIXTURES_REQUIRED "${T_FIXTURES}"
    RESOURCE_LOCK "${T_RESOURCE_LOCK}"
    TIMEOUT ${T_TIMEOUT})
endfunction()

# The mode sources in the service's order of preference, from the core's table (one
# row per line there), so a new source gets its scenarios without an edit here.
set(kqd_source_table ${CMAKE_SOURCE_DIR}/src/core/mode_source_table.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kqd_source_table})
file(STRINGS ${kqd_source_table} kqd_source_rows REGEX "^ *{kSource[A-Za-z]+, \"[a-z]+\",")
set(KQD_MODE_SOURCES)
foreach(row ${kqd_source_rows})
  string(REGEX REPLACE "^ *{kSource[A-Za-z]+, \"([a-z]+)\",.*" "\\1" source "${row}")
  list(APPEND KQD_MODE_SOURCES ${source})
endforeach()
# A row laid out otherwise would drop its scenarios without a word: the count must
# be the table's size.
file(STRINGS ${kqd_source_table} kqd_source_size REGEX "std::array<ModeSourceInfo, [0-9]+> kModeSources")
string(REGEX REPLACE ".*std::array<ModeSourceInfo, ([0-9]+)>.*" "\\1" kqd_source_size "${kqd_source_size}")
list(LENGTH KQD_MODE_SOURCES kqd_source_count)
if(NOT kqd_source_count EQUAL kqd_source_size)
  message(FATAL_ERROR "${kqd_source_count} mode source rows read in ${kqd_source_table}, not ${kqd_source_size}")
endif()
