# Warnings and the floating-point model of every target. Output bytes depend
# on the exact arithmetic order: no fused multiply-add, no fast-math, IEEE
# double rounding after every operation, on every compiler and build type.
if(MSVC)
  # /fp:precise keeps the source's order and rounding; since Visual Studio
  # 2022 (17.0) it no longer contracts a*b+c into an FMA unless /fp:contract
  # is given. x86 and x64 code uses SSE2 by default there.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "MSVC" AND MSVC_VERSION LESS 1930)
    message(FATAL_ERROR "MSVC before Visual Studio 2022 contracts a*b+c under /fp:precise; use 2022 or later")
  endif()
  add_compile_options(/W4 /fp:precise /utf-8)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_compile_options(/clang:-ffp-contract=off)
  endif()
else()
  add_compile_options(-Wall -Wextra -Wshadow -ffp-contract=off -fno-fast-math)
  # 32-bit x86: the x87 unit keeps intermediates in extended precision and
  # rounds differently from 64-bit builds; SSE2 arithmetic rounds each
  # double operation as x86-64 does.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86|X86|i[3-6]86|AMD64|x86_64)$")
    add_compile_options(-msse2 -mfpmath=sse)
  endif()
endif()

# The C maths library is a library of its own only on some systems (glibc,
# MinGW); MSVC's run time has it built in.
include(CheckLibraryExists)
check_library_exists(m cos "" ORV_HAVE_LIBM)
if(ORV_HAVE_LIBM)
  set(ORV_MATH_LIBRARY m)
else()
  set(ORV_MATH_LIBRARY "")
endif()
