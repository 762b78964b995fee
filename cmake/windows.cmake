# Windows builds (MinGW-w64 cross-builds from Debian, or MSVC): Orvasynth.dll
# exporting exactly the undecorated orv_11a_actual, orv_11a_sequence and
# orv_11a_sequence_blocks, orv_11a_sequence_impaired and
# orv_11a_sequence_impaired_blocks (__stdcall on 32-bit x86),
# its import library and .def file, orvgen.exe, the tests under Wine and a ZIP
# of the binaries. Included by the top-level CMakeLists.txt when WIN32.

set(ORV_WIN32_X86 OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ORV_WIN32_X86 ON)
endif()

# Orvasynth.dll, not libOrvasynth.dll: callers load it by that name. The
# import library keeps its toolchain's usual name (libOrvasynth.dll.a, or
# Orvasynth.lib with MSVC).
set_target_properties(Orvasynth PROPERTIES PREFIX "" OUTPUT_NAME Orvasynth)

# The .def file: the export list by name, for callers' tools (MSVC lib.exe,
# dlltool). For MinGW on 32-bit x86 it names the __stdcall symbol with its
# argument bytes (@12), which dlltool -k maps to the undecorated export; MSVC's
# linker takes the undecorated name and finds _orv_11a_actual@12 itself.
if(ORV_WIN32_X86 AND MINGW)
  set(ORV_DEF_SYMBOLS "orv_11a_actual@12" "orv_11a_sequence@24" "orv_11a_sequence_blocks@24"
      "orv_11a_sequence_impaired@28" "orv_11a_sequence_impaired_blocks@28")
  set(ORV_DEF_NOTE "(exported undecorated: dlltool --kill-at -d Orvasynth.def -l libOrvasynth.dll.a)")
else()
  set(ORV_DEF_SYMBOLS orv_11a_actual orv_11a_sequence orv_11a_sequence_blocks
      orv_11a_sequence_impaired orv_11a_sequence_impaired_blocks)
  set(ORV_DEF_NOTE "(undecorated names)")
endif()
set(ORV_DEF_FILE ${CMAKE_BINARY_DIR}/Orvasynth.def)
list(JOIN ORV_DEF_SYMBOLS "\n    " ORV_DEF_LINES)
file(WRITE ${ORV_DEF_FILE}
  "; Exports of Orvasynth.dll ${ORV_DEF_NOTE}\n"
  "LIBRARY Orvasynth.dll\n"
  "EXPORTS\n"
  "    ${ORV_DEF_LINES}\n")

if(MINGW)
  # Nothing beyond the system's own DLLs: libgcc, libstdc++ and winpthread
  # are linked in. --kill-at drops the @12 of the __stdcall export, so a
  # caller binding by name finds "orv_11a_actual".
  target_link_options(Orvasynth PRIVATE -static -Wl,--kill-at)
  if(ORV_WIN32_X86)
    # ld's own import library would then name _orv_11a_actual, which callers
    # compiled with the header (__stdcall, _orv_11a_actual@12) cannot link
    # against: make it from the .def file instead.
    if(NOT CMAKE_DLLTOOL)
      message(FATAL_ERROR "32-bit MinGW build needs dlltool (set CMAKE_DLLTOOL)")
    endif()
    add_custom_command(TARGET Orvasynth POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --kill-at --def ${ORV_DEF_FILE} --dllname Orvasynth.dll
              --output-lib $<TARGET_LINKER_FILE:Orvasynth>
      COMMENT "Import library of Orvasynth.dll from its .def file"
      VERBATIM)
  endif()
  foreach(t orvgen orv_example)
    if(TARGET ${t})
      target_link_options(${t} PRIVATE -static)
    endif()
  endforeach()
elseif(MSVC)
  # MSVC exports undecorated names listed in a .def file; on x86 it matches
  # "orv_11a_actual" to the __stdcall symbol _orv_11a_actual@12.
  target_sources(Orvasynth PRIVATE ${ORV_DEF_FILE})
  # The static run time (no vcruntime DLL beside the programs) is chosen for
  # all targets at configure time: -DCMAKE_MSVC_RUNTIME_LIBRARY=MultiThreaded.
endif()

# orvgen reads its arguments from the wide command line (CommandLineToArgvW).
if(TARGET orvgen)
  target_link_libraries(orvgen PRIVATE shell32)
endif()

install(FILES ${ORV_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

# The ZIP of the Windows binaries: `cpack` in the build folder.
set(CPACK_GENERATOR ZIP)
if(ORV_WIN32_X86)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX "")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

# The Windows tests run the programs under Wine (CMAKE_CROSSCOMPILING_EMULATOR).
if(MINGW AND CMAKE_CROSSCOMPILING)
  option(ORV_WINE_TESTS "Run the Windows binaries' tests under Wine" ON)
  if(ORV_WINE_TESTS)
    enable_testing()
    add_subdirectory(tests/windows)
  endif()
endif()
