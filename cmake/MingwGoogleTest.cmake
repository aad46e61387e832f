# GoogleTest for the MinGW builds: there is no Windows package, so it is built from the Debian
# source tree inside the cross build. find_package(GTest) is redirected to these targets.
set(VELDC_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for MinGW builds")
if(NOT EXISTS ${VELDC_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${VELDC_GOOGLETEST_SOURCE} "
                      "(Debian package googletest)")
endif()

# Built with its own warning settings, not the project's -Werror.
get_directory_property(_veldc_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${VELDC_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_veldc_options}")

file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
     "# GTest::gtest, GTest::gmock and GTest::gtest_main come from the source build.\n")
file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config-version.cmake
     "set(PACKAGE_VERSION_COMPATIBLE TRUE)\nset(PACKAGE_VERSION_EXACT FALSE)\n")
