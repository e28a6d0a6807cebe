# GoogleTest for the MinGW cross build, compiled from the sources of Debian's
# googletest package: Debian ships no MinGW build of it.
set(ZR9_GTEST_SOURCE_DIR /usr/src/googletest)
if(NOT EXISTS ${ZR9_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt)
  set(GTest_FOUND FALSE)
  set(GTest_NOT_FOUND_MESSAGE "install Debian's googletest package (${ZR9_GTEST_SOURCE_DIR})")
  return()
endif()

if(NOT TARGET gtest)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZR9_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Not our code: keep its warnings out of the build log.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
endif()
set(GTest_FOUND TRUE)
