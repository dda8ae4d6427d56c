# Cross build for 32-bit ARM Linux, hard-float, against the CPython 3.9 of a
# Debian armhf root (see make-root.sh). The root is also the sysroot, so the
# libraries are linked against the target's C library, not the cross one.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/armhf/toolchain.cmake -DMERROW_ARMHF_ROOT=/path/to/root ...

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MERROW_ARMHF_ROOT)
if(NOT MERROW_ARMHF_ROOT AND DEFINED ENV{MERROW_ARMHF_ROOT})
  set(MERROW_ARMHF_ROOT "$ENV{MERROW_ARMHF_ROOT}")
endif()
if(NOT MERROW_ARMHF_ROOT OR NOT EXISTS "${MERROW_ARMHF_ROOT}/usr/include/python3.9/Python.h")
  message(FATAL_ERROR "MERROW_ARMHF_ROOT must name an armhf root holding CPython 3.9 headers "
                      "(got '${MERROW_ARMHF_ROOT}'); tools/armhf/make-root.sh makes one")
endif()
# Whole test projects (the link-time optimisation check) get neither the
# cache nor the variables above, only the environment.
set(ENV{MERROW_ARMHF_ROOT} "${MERROW_ARMHF_ROOT}")

set(CMAKE_SYSROOT "${MERROW_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH "${MERROW_ARMHF_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No target interpreter can be asked, so say what it would answer.
set(_merrow_python_include "${MERROW_ARMHF_ROOT}/usr/include/python3.9")
if(NOT Python_INCLUDE_DIR STREQUAL _merrow_python_include)
  # A cache made against another root must not keep its headers.
  set(Python_INCLUDE_DIR "${_merrow_python_include}" CACHE PATH "" FORCE)
endif()
set(Python_SOABI "cpython-39-arm-linux-gnueabihf" CACHE STRING "")
