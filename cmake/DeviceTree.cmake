# Where the programs under test come from, and how the board starts them.
#
# A tree builds two sides of the tests:
#   the device side - the programs (every bm77_program), and what runs beside them on the board:
#                     the preload library, the test drivers, the sandbox probes, the unit tests;
#   the board side  - the simulated board, devsim and the test programs that host the board.
# Normally both come from this tree. With BM77_DEVICE_TOOLCHAIN (the armhf preset) the device
# side is cross-built in a second tree, device/, and the board starts its programs under the
# toolchain's emulator; the board side stays native. The cross tree itself is configured with
# BM77_DEVICE_TESTS: the device side only.
#
# Sets:
#   BM77_BUILD_PROGRAMS      this tree builds the programs
#   BM77_BOARD_SIDE          this tree builds the board side of the tests
#   BM77_DEVICE_SIDE         this tree builds the device side of the tests
#   BM77_DEVICE_BINARY_DIR   the tree that holds the device side (bin/, lib/, test-bin/, ...)
#   BM77_DEVICE_EMULATOR     emulator of the device's programs ("" when they run natively)
#   BM77_DEVICE_LOADER       the device's dynamic loader, which the emulator runs
#   BM77_DEVICE_LIBRARIES    the folder of the device's libraries
#   BM77_DEVICE_NM           nm that reads the device's programs
#   BM77_DEVICE_TIME64       the device's C library has 64-bit time names (32-bit ARM)

set(BM77_DEVICE_EMULATOR "")
set(BM77_DEVICE_LOADER "")
set(BM77_DEVICE_LIBRARIES "")
set(BM77_DEVICE_NM "${CMAKE_NM}")
set(BM77_DEVICE_TIME64 OFF)

if(NOT BM77_DEVICE_TOOLCHAIN)
  set(BM77_BUILD_PROGRAMS ON)
  set(BM77_BOARD_SIDE ${BM77_TESTS})
  if(BM77_TESTS OR BM77_DEVICE_TESTS)
    set(BM77_DEVICE_SIDE ON)
  else()
    set(BM77_DEVICE_SIDE OFF)
  endif()
  set(BM77_DEVICE_BINARY_DIR ${CMAKE_BINARY_DIR})
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(BM77_DEVICE_TIME64 ON)
  endif()
  return()
endif()

set(BM77_BUILD_PROGRAMS OFF)
set(BM77_BOARD_SIDE ${BM77_TESTS})
set(BM77_DEVICE_SIDE OFF)
set(BM77_DEVICE_BINARY_DIR ${CMAKE_BINARY_DIR}/device)

# The toolchain file is read in this function's scope only: its compilers must not become
# this tree's.
function(bm77_read_device_toolchain file)
  include(${file})
  foreach(setting TOOL_PREFIX EMULATOR LOADER LIBRARIES)
    if(NOT BM77_DEVICE_${setting})
      message(FATAL_ERROR "${file} does not set BM77_DEVICE_${setting}")
    endif()
    set(device_${setting} ${BM77_DEVICE_${setting}} PARENT_SCOPE)
  endforeach()
  set(device_processor ${CMAKE_SYSTEM_PROCESSOR} PARENT_SCOPE)
endfunction()
bm77_read_device_toolchain(${BM77_DEVICE_TOOLCHAIN})

find_program(BM77_EMULATOR_PROGRAM ${device_EMULATOR} REQUIRED)
find_program(BM77_DEVICE_NM_PROGRAM ${device_TOOL_PREFIX}nm REQUIRED)
set(BM77_DEVICE_EMULATOR ${BM77_EMULATOR_PROGRAM})
set(BM77_DEVICE_LOADER ${device_LOADER})
set(BM77_DEVICE_LIBRARIES ${device_LIBRARIES})
if(NOT EXISTS ${BM77_DEVICE_LOADER})
  message(FATAL_ERROR "The device's loader ${BM77_DEVICE_LOADER} is missing (scripts/install-deps)")
endif()
set(BM77_DEVICE_NM ${BM77_DEVICE_NM_PROGRAM})
if(device_processor MATCHES "^arm")
  set(BM77_DEVICE_TIME64 ON)
endif()

include(ExternalProject)
set(device_args -DCMAKE_TOOLCHAIN_FILE=${BM77_DEVICE_TOOLCHAIN} -DBM77_WERROR=${BM77_WERROR})
# The programs under test and the device side of the tests. The unit tests run from this
# tree's ctest (tests/CMakeLists.txt), through the emulator.
ExternalProject_Add(device
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${BM77_DEVICE_BINARY_DIR}
  CMAKE_ARGS ${device_args} -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
             -DBM77_TESTS=OFF -DBM77_DEVICE_TESTS=ON
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
# The programs optimised and linked statically, for installing on the device; nothing of the
# tests.
ExternalProject_Add(device-static
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/device-static
  CMAKE_ARGS ${device_args} -DCMAKE_BUILD_TYPE=Release -DBM77_TESTS=OFF -DBM77_STATIC=ON
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
# Only one of them builds at a time: each uses both cores.
add_dependencies(device-static device)

# `cmake --install` of this tree installs the device's programs, as they were tested.
install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" --install \"${BM77_DEVICE_BINARY_DIR}\"
                --prefix \"\${CMAKE_INSTALL_PREFIX}\" COMMAND_ERROR_IS_FATAL ANY)")
