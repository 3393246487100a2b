# GoogleTest built with the tests from its sources (Debian's googletest package:
# /usr/src/googletest), for toolchains that no installed GoogleTest was built for. No download.
if(NOT EXISTS "${RT88H_GTEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "RT88H_GTEST_SOURCE_DIR=${RT88H_GTEST_SOURCE_DIR} holds no GoogleTest sources "
                      "(Debian: the googletest package; scripts/bootstrap --tests installs it)")
endif()
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# SYSTEM: its headers stay out of rt88h_strict's warnings, as the installed ones do.
add_subdirectory("${RT88H_GTEST_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/googletest"
                 EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
