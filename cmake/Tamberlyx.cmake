# Helpers shared by every folder of the suite.

# tbx_add_library(NAME SOURCES... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# One static library per folder; headers are included as "folder/Unit.h".
function(tbx_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
endfunction()

# tbx_add_gtest(NAME LABEL label SOURCES... LIBS... [MAIN core|gui|none] [SANDBOX_HOSTS n])
# A GoogleTest binary whose cases become CTest tests labelled with the
# subsystem folder. Discovery runs at test time, inside the network sandbox.
# SANDBOX_HOSTS runs every case in a sandbox of its own with n private test
# hosts (scripts/sandbox --hosts n).
function(tbx_add_gtest name)
  cmake_parse_arguments(ARG "" "LABEL;MAIN;SANDBOX_HOSTS" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_MAIN)
    set(ARG_MAIN core)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_SANDBOX_HOSTS)
    set_target_properties(${name} PROPERTIES
      CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/sandbox;--hosts;${ARG_SANDBOX_HOSTS}")
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(NOT ARG_MAIN STREQUAL "none")
    target_link_libraries(${name} PRIVATE tbx_test_main_${ARG_MAIN})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT 300
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
