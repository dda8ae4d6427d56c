# Cross build for 32-bit ARM Linux, hard-float, against the CPython of a
# Debian armhf root (see make-root.sh). The root is also the sysroot, so the
# libraries are linked against the target's C library, not the cross one.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/armhf/toolchain.cmake \
#         -DMERROW_ARMHF_ROOT=/path/to/root -DMERROW_ARMHF_PYTHON=3.11 ...

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MERROW_ARMHF_ROOT MERROW_ARMHF_PYTHON)
foreach(_merrow_var MERROW_ARMHF_ROOT MERROW_ARMHF_PYTHON)
  if(NOT ${_merrow_var} AND DEFINED ENV{${_merrow_var}})
    set(${_merrow_var} "$ENV{${_merrow_var}}")
  endif()
endforeach()
if(NOT MERROW_ARMHF_PYTHON MATCHES "^3\\.[0-9]+$")
  message(FATAL_ERROR "MERROW_ARMHF_PYTHON must name the root's CPython series, e.g. 3.11 "
                      "(got '${MERROW_ARMHF_PYTHON}')")
endif()
set(_merrow_python_include "${MERROW_ARMHF_ROOT}/usr/include/python${MERROW_ARMHF_PYTHON}")
if(NOT MERROW_ARMHF_ROOT OR NOT EXISTS "${_merrow_python_include}/Python.h")
  message(FATAL_ERROR "MERROW_ARMHF_ROOT must name an armhf root holding CPython "
                      "${MERROW_ARMHF_PYTHON} headers (got '${MERROW_ARMHF_ROOT}'); "
                      "tools/armhf/make-root.sh makes one")
endif()
# Whole test projects (the link-time optimisation check) get neither the
# cache nor the variables above, only the environment.
set(ENV{MERROW_ARMHF_ROOT} "${MERROW_ARMHF_ROOT}")
set(ENV{MERROW_ARMHF_PYTHON} "${MERROW_ARMHF_PYTHON}")

set(CMAKE_SYSROOT "${MERROW_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${MERROW_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No target interpreter can be asked; its build-time configuration in the
# root says what it would answer.
string(REPLACE "." "" _merrow_python_nodot "${MERROW_ARMHF_PYTHON}")
set(_merrow_soabi "cpython-${_merrow_python_nodot}-arm-linux-gnueabihf")
file(GLOB _merrow_sysconfig
     "${MERROW_ARMHF_ROOT}/usr/lib/python${MERROW_ARMHF_PYTHON}/_sysconfigdata_*arm-linux-gnueabihf.py")
if(_merrow_sysconfig)
  list(GET _merrow_sysconfig 0 _merrow_sysconfig)
  file(STRINGS "${_merrow_sysconfig}" _merrow_soabi_line REGEX "'SOABI': '[^']+'" LIMIT_COUNT 1)
  if(_merrow_soabi_line MATCHES "'SOABI': '([^']+)'")
    set(_merrow_soabi "${CMAKE_MATCH_1}")
  endif()
endif()
# A cache made against another root or release must not keep its answers.
if(NOT Python_INCLUDE_DIR STREQUAL _merrow_python_include)
  set(Python_INCLUDE_DIR "${_merrow_python_include}" CACHE PATH "" FORCE)
endif()
if(NOT Python_SOABI STREQUAL _merrow_soabi)
  set(Python_SOABI "${_merrow_soabi}" CACHE STRING "" FORCE)
endif()
