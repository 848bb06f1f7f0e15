# GoogleTest for the test suites. A native build uses the system's package;
# a cross build compiles GoogleTest from its sources with the cross
# compiler (Debian's googletest package ships them in /usr/src/googletest),
# because the system's libraries are built for the build machine.
if(TARGET GTest::gtest)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  set(USERPROFILE_GTEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources for cross builds")
  if(NOT EXISTS ${USERPROFILE_GTEST_SOURCE}/googletest/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${USERPROFILE_GTEST_SOURCE} "
                        "(Debian: apt-get install googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${USERPROFILE_GTEST_SOURCE}/googletest
                   ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Its own warnings are not ours to fix.
  foreach(target gtest gtest_main)
    target_compile_options(${target} PRIVATE -w)
  endforeach()
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
