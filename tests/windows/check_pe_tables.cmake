# Checks the PE tables of the Windows binaries (objdump -p):
#  - DLL exports exactly the undecorated orv_11a_actual, orv_11a_sequence,
#    orv_11a_sequence_blocks, orv_11a_sequence_impaired and
#    orv_11a_sequence_impaired_blocks;
#  - DLL and EXES import only the system's own DLLs (no libstdc++-6.dll,
#    libgcc_s_*.dll or libwinpthread-1.dll next to them);
#  - with X86, the import library names the __stdcall symbol
#    _orv_11a_actual@12 (and the sequence entries' @24 and @28 symbols), which callers
#    compiled with the header look for.
# Arguments: OBJDUMP, NM, DLL, IMPLIB, X86, EXES (list).
cmake_minimum_required(VERSION 3.25)
set(system_dlls KERNEL32.dll msvcrt.dll SHELL32.dll USER32.dll ADVAPI32.dll bcrypt.dll Orvasynth.dll)

function(pe_dump file out)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump -p failed on ${file}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(check_imports file text)
  string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${text}")
  if(NOT lines)
    message(FATAL_ERROR "${file}: no import table found")
  endif()
  foreach(line ${lines})
    string(REGEX REPLACE "DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    if(NOT dll IN_LIST system_dlls)
      message(FATAL_ERROR "${file} imports ${dll}, which is not a system DLL")
    endif()
  endforeach()
  message(STATUS "${file}: imports ${lines}")
endfunction()

pe_dump(${DLL} text)
# The name table follows "[Ordinal/Name Pointer] Table" up to a blank line.
string(FIND "${text}" "[Ordinal/Name Pointer] Table" at)
if(at LESS 0)
  message(FATAL_ERROR "${DLL} has no export name table")
endif()
string(SUBSTRING "${text}" ${at} -1 tail)
string(REGEX MATCH "Table\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)+)" block "${tail}")
# The "[   n]" prefixes go first: brackets in list elements would group them.
string(REGEX REPLACE "[ \t]*\\[[ 0-9]+\\][ \t]+" "" entries "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[^\n]+" names "${entries}")
list(SORT names)
if(NOT names STREQUAL "orv_11a_actual;orv_11a_sequence;orv_11a_sequence_blocks;orv_11a_sequence_impaired;orv_11a_sequence_impaired_blocks")
  message(FATAL_ERROR "${DLL} exports '${names}', expected orv_11a_actual, orv_11a_sequence, orv_11a_sequence_blocks, orv_11a_sequence_impaired, orv_11a_sequence_impaired_blocks")
endif()
if(NOT text MATCHES "Name[ \t]+[0-9a-f]+[ \t]+Orvasynth.dll")
  message(FATAL_ERROR "${DLL}: the export directory does not name Orvasynth.dll")
endif()
message(STATUS "${DLL}: exports ${names}")
check_imports(${DLL} "${text}")

foreach(exe ${EXES})
  pe_dump(${exe} t)
  check_imports(${exe} "${t}")
endforeach()

execute_process(COMMAND ${NM} ${IMPLIB} OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${IMPLIB}")
endif()
if(X86)
  set(want "_orv_11a_actual@12;_orv_11a_sequence@24;_orv_11a_sequence_blocks@24;_orv_11a_sequence_impaired@28;_orv_11a_sequence_impaired_blocks@28")
else()
  set(want "orv_11a_actual;orv_11a_sequence;orv_11a_sequence_blocks;orv_11a_sequence_impaired;orv_11a_sequence_impaired_blocks")
endif()
string(REGEX MATCHALL "[ \t]T[ \t][^\n]+" defined "${syms}")
set(found "")
foreach(d ${defined})
  string(REGEX REPLACE "^[ \t]T[ \t]" "" d "${d}")
  list(APPEND found "${d}")
endforeach()
list(SORT found)
if(NOT found STREQUAL want)
  message(FATAL_ERROR "${IMPLIB} defines '${found}', expected ${want}")
endif()
message(STATUS "${IMPLIB}: ${found}")

# __stdcall on 32-bit x86: the callee pops its argument bytes, so every return
# of orv_11a_actual is "ret $0xc" of the sequence entries "ret $0x18", of the impaired ones "ret $0x1c" (a
# cdecl function returns with "ret"). objdump may go on past the function into
# the code after it: only the lines up to the next symbol count.
if(X86)
  foreach(entry "orv_11a_actual@12:0xc" "orv_11a_sequence@24:0x18" "orv_11a_sequence_blocks@24:0x18"
                "orv_11a_sequence_impaired@28:0x1c" "orv_11a_sequence_impaired_blocks@28:0x1c")
    string(REPLACE ":" ";" parts "${entry}")
    list(GET parts 0 fn)
    list(GET parts 1 pop)
    execute_process(COMMAND ${OBJDUMP} -d "--disassemble=_${fn}" ${DLL}
                    OUTPUT_VARIABLE code RESULT_VARIABLE rc)
    string(FIND "${code}" "<_${fn}>:" start)
    if(NOT rc EQUAL 0 OR start LESS 0)
      message(FATAL_ERROR "${DLL}: no code found for _${fn}")
    endif()
    string(SUBSTRING "${code}" ${start} -1 code)
    string(FIND "${code}" "\n" eol)
    math(EXPR eol "${eol} + 1")
    string(SUBSTRING "${code}" ${eol} -1 body)
    string(FIND "${body}" ">:\n" next)
    if(next GREATER_EQUAL 0)
      string(SUBSTRING "${body}" 0 ${next} body)
    endif()
    string(REGEX MATCHALL "\tret[^\n]*" rets "${body}")
    if(NOT rets)
      message(FATAL_ERROR "${DLL}: no return found in _${fn}")
    endif()
    foreach(r ${rets})
      if(NOT r MATCHES "ret +\\$${pop}$")
        message(FATAL_ERROR "${DLL}: _${fn} returns with '${r}', not as __stdcall (ret $${pop})")
      endif()
    endforeach()
    list(LENGTH rets n)
    message(STATUS "${DLL}: _${fn}: ${n} returns, each ret $${pop} (__stdcall)")
  endforeach()
endif()
