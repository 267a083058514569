# Shared compile options, carried by two interface targets:
#   bm77_warnings  - the warning set (every target)
#   bm77_options   - warnings plus the sanitizers of the asan preset (everything that runs
#                    under the sanitizer: library, programs, tests)
add_library(bm77_warnings INTERFACE)
target_compile_options(bm77_warnings INTERFACE
  -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wformat=2 -Wundef
  $<$<BOOL:${BM77_WERROR}>:-Werror>)

add_library(bm77_options INTERFACE)
target_link_libraries(bm77_options INTERFACE bm77_warnings)
if(BM77_SANITIZE)
  target_compile_options(bm77_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(bm77_options INTERFACE -fsanitize=address,undefined)
endif()

# Fuzzing: coverage for everything the fuzz targets link.
if(BM77_FUZZ)
  target_compile_options(bm77_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# The tools allocate nothing and throw nothing.
add_library(bm77_product INTERFACE)
target_link_libraries(bm77_product INTERFACE bm77_options)
target_compile_options(bm77_product INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
if(BM77_STATIC)
  target_link_options(bm77_product INTERFACE -static)
endif()

# A program of the device: lands in bin/, installs to bin/. The tests that run programs
# against the board depend on bm77_programs, so every program is built before them.
add_custom_target(bm77_programs)
function(bm77_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE bm77_product)
  install(TARGETS ${name} RUNTIME DESTINATION bin)
  add_dependencies(bm77_programs ${name})
endfunction()

# A test program that runs device-side programs against the board: they are built before it,
# in this tree (the targets named) or in the device tree (cmake/DeviceTree.cmake).
function(bm77_runs_device_side target)
  if(BM77_DEVICE_TOOLCHAIN)
    add_dependencies(${target} device)
  else()
    add_dependencies(${target} ${ARGN})
  endif()
endfunction()
