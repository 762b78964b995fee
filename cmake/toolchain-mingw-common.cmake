# Shared part of the MinGW-w64 cross toolchains (Debian's gcc-mingw-w64).
# The including file sets ORV_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The "posix" thread model gives std::thread and std::mutex; its winpthread
# library is linked statically, like libstdc++ and libgcc (cmake/windows.cmake).
foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(_tool gcc)
  else()
    set(_tool g++)
  endif()
  find_program(CMAKE_${lang}_COMPILER NAMES ${ORV_MINGW_TRIPLE}-${_tool}-posix ${ORV_MINGW_TRIPLE}-${_tool}
               REQUIRED)
endforeach()
find_program(CMAKE_RC_COMPILER NAMES ${ORV_MINGW_TRIPLE}-windres)
find_program(CMAKE_DLLTOOL NAMES ${ORV_MINGW_TRIPLE}-dlltool)
find_program(ORV_MINGW_OBJDUMP NAMES ${ORV_MINGW_TRIPLE}-objdump)
find_program(ORV_MINGW_NM NAMES ${ORV_MINGW_TRIPLE}-nm)

set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Header-only libraries of the build machine (CLI11 and nlohmann-json for
# orvgen) serve the cross-build too. Only their own headers are staged, never
# the rest of /usr/include, whose glibc headers would shadow MinGW's;
# find_package(CLI11) finds the staged copy through a small config.
set(_orv_stage ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_orv_stage}/include ${_orv_stage}/lib/cmake/CLI11 ${_orv_stage}/lib/cmake/nlohmann_json)
foreach(_h CLI nlohmann)
  if(EXISTS /usr/include/${_h} AND NOT EXISTS ${_orv_stage}/include/${_h})
    file(CREATE_LINK /usr/include/${_h} ${_orv_stage}/include/${_h} SYMBOLIC)
  endif()
endforeach()
if(EXISTS /usr/include/CLI/CLI.hpp)
  file(WRITE ${_orv_stage}/lib/cmake/CLI11/CLI11Config.cmake
    "if(NOT TARGET CLI11::CLI11)\n"
    "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
    "  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_orv_stage}/include)\n"
    "endif()\n")
endif()
if(EXISTS /usr/include/nlohmann/json.hpp)
  file(WRITE ${_orv_stage}/lib/cmake/nlohmann_json/nlohmann_jsonConfig.cmake
    "if(NOT TARGET nlohmann_json::nlohmann_json)\n"
    "  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)\n"
    "  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_orv_stage}/include)\n"
    "endif()\n")
  file(STRINGS /usr/include/nlohmann/detail/abi_macros.hpp _orv_nl_major REGEX "#define NLOHMANN_JSON_VERSION_MAJOR ")
  string(REGEX REPLACE ".* ([0-9]+).*" "\\1" _orv_nl_major "${_orv_nl_major}")
  file(WRITE ${_orv_stage}/lib/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake
    "set(PACKAGE_VERSION ${_orv_nl_major})\n"
    "if(PACKAGE_FIND_VERSION_MAJOR EQUAL ${_orv_nl_major})\n"
    "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
    "endif()\n")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${_orv_stage})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${_orv_stage}/include)

# The desktop program (Qt), the benchmarks and the GoogleTest suites are Linux
# builds; the Windows build makes the DLL, orvgen and the tests run under Wine.
set(ORV_BUILD_APP OFF CACHE BOOL "Build the Orvane desktop program (needs Qt 6)")
set(ORV_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")
set(ORV_BUILD_TESTS OFF CACHE BOOL "Build the unit tests")
# Debian ships no FFTW for MinGW: orvcheck and orvgen --check stay Linux tools.
set(ORV_BUILD_ANALYSIS OFF CACHE BOOL "Build the measuring receiver (needs FFTW3)")
# The viewer draws the measuring receiver's results (and needs Qt Charts).
set(ORV_BUILD_VIEWER OFF CACHE BOOL "Build the orvview waveform viewer")
