# The Python module orvane (python/): built when pybind11 and the
# interpreter's development files are found. The sanitizer, fuzz and Windows
# builds leave it out: the interpreter cannot load their objects.
set(orv_python_default OFF)
if(NOT ORV_SANITIZE AND NOT ORV_FUZZ AND NOT WIN32 AND ORV_BUILD_CLI AND ORV_BUILD_ANALYSIS)
  # Debian's interpreter, whose numpy, pytest and matplotlib packages the
  # module, its tests and its example use.
  if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter of the orvane module")
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module)
  if(Python3_Development.Module_FOUND)
    set(PYBIND11_FINDPYTHON ON)
    find_package(pybind11 2.6 CONFIG QUIET)
    if(pybind11_FOUND)
      set(orv_python_default ON)
    endif()
  endif()
endif()
option(ORV_BUILD_PYTHON "Build the Python module orvane (needs pybind11 and the Python development files)"
       ${orv_python_default})
if(ORV_BUILD_PYTHON AND NOT orv_python_default)
  message(STATUS "The Python module is not built: no pybind11 or Python development files, or a sanitizer, fuzz or Windows build")
  set(ORV_BUILD_PYTHON OFF)
endif()
# The Debian package: the module imports numpy (the package's other files need no Python).
if(ORV_BUILD_PYTHON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3-numpy")
endif()
