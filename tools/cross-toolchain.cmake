# Cross build for 32-bit ARM hard-float (armhf) or 64-bit ARM (arm64) Linux,
# against the CPython of a Debian root of that architecture
# (tools/debian-root). The root is also the sysroot, so the libraries link
# against the target's own C library, not the cross compiler's.
#
#   -DCMAKE_TOOLCHAIN_FILE=tools/cross-toolchain.cmake -DMERROW_TARGET_ARCH=armhf
#   -DMERROW_TARGET_ROOT=/path/to/root -DMERROW_TARGET_PYTHON=3.11

# try_compile projects read this file again without the cache; whole test
# projects (the link-time optimisation check) get only the environment.
set(_merrow_vars MERROW_TARGET_ARCH MERROW_TARGET_ROOT MERROW_TARGET_PYTHON)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${_merrow_vars})
foreach(_merrow_var IN LISTS _merrow_vars)
  if(NOT ${_merrow_var} AND DEFINED ENV{${_merrow_var}})
    set(${_merrow_var} "$ENV{${_merrow_var}}")
  endif()
  set(ENV{${_merrow_var}} "${${_merrow_var}}")
endforeach()

if(MERROW_TARGET_ARCH STREQUAL "armhf")
  set(_merrow_triplet arm-linux-gnueabihf)
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
elseif(MERROW_TARGET_ARCH STREQUAL "arm64")
  set(_merrow_triplet aarch64-linux-gnu)
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  message(FATAL_ERROR "MERROW_TARGET_ARCH must be armhf or arm64 (got '${MERROW_TARGET_ARCH}')")
endif()
if(NOT MERROW_TARGET_PYTHON MATCHES "^3\\.[0-9]+$")
  message(FATAL_ERROR "MERROW_TARGET_PYTHON must name the root's CPython series, e.g. 3.11 "
                      "(got '${MERROW_TARGET_PYTHON}')")
endif()
set(_merrow_python_include "${MERROW_TARGET_ROOT}/usr/include/python${MERROW_TARGET_PYTHON}")
if(NOT MERROW_TARGET_ROOT OR NOT EXISTS "${_merrow_python_include}/Python.h")
  message(FATAL_ERROR "MERROW_TARGET_ROOT must name a ${MERROW_TARGET_ARCH} root holding CPython "
                      "${MERROW_TARGET_PYTHON} headers (got '${MERROW_TARGET_ROOT}'); "
                      "tools/debian-root/debian-root make RELEASE ${MERROW_TARGET_ARCH} makes one")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_LIBRARY_ARCHITECTURE ${_merrow_triplet})
set(CMAKE_C_COMPILER ${_merrow_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_merrow_triplet}-g++)

set(CMAKE_SYSROOT "${MERROW_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${MERROW_TARGET_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No target interpreter can be asked; its build-time configuration in the
# root says what it would answer.
string(REPLACE "." "" _merrow_python_nodot "${MERROW_TARGET_PYTHON}")
set(_merrow_soabi "cpython-${_merrow_python_nodot}-${_merrow_triplet}")
file(GLOB _merrow_sysconfig
     "${MERROW_TARGET_ROOT}/usr/lib/python${MERROW_TARGET_PYTHON}/_sysconfigdata_*${_merrow_triplet}.py")
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
