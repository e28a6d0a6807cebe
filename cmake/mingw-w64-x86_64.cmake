# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# The window needs Qt, which Debian does not ship for MinGW: give the prefix of
# a Qt built for it (scripts/build-qt-mingw.sh) as ZR9_QT_MINGW_PREFIX, or
# configure with -DZR9_BUILD_APP=OFF. ctest runs the test programs under Wine;
# use tests/wine/run-wine-tests.sh, which prepares Wine and the pseudo-terminal ports.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZR9_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZR9_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZR9_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZR9_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZR9_MINGW_TRIPLET})
if(ZR9_QT_MINGW_PREFIX)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZR9_QT_MINGW_PREFIX})
  # Qt's own tools (moc, uic, rcc) are those of the Linux Qt of the same version.
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
endif()
# try_compile projects read this file again and need the same paths.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZR9_QT_MINGW_PREFIX)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static C++ runtime, so the programs run without MinGW's DLLs on Wine's path.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
# Tests are listed when ctest runs (inside the prepared Wine), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# GoogleTest compiled from Debian's source package (googletest).
set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-gtest CACHE PATH "GoogleTest built from source")
