# The .deb set, made by CPack from the install components of packaging/CMakeLists.txt:
#   libveldc1      lib      the shared library
#   libveldc-dev   dev      header, .def, CMake package, veldc.pc, veldc(3)
#   veldc-tools    tools    veldc, veldc-sim, the Kov74 stand-in, their pages and completion
#   python3-veldc  python   the Python binding, from its wheel
# Configure with CMAKE_INSTALL_PREFIX=/usr (the preset `package`), build, then run cpack there.
if(WIN32)
  return()
endif()

set(VELDC_PACKAGE_VERSION ${PROJECT_VERSION})
set(VELDC_MAINTAINER "The VELDC developers <veldc@veldc.invalid>")
set(_veldc_debs lib:libveldc1 dev:libveldc-dev tools:veldc-tools python:python3-veldc)

# Debian's own files of each package: the licence as its copyright file and a changelog.
option(VELDC_DEB_DOCS "Install /usr/share/doc/<package>/{copyright,changelog.gz}" OFF)
if(VELDC_DEB_DOCS)
  string(TIMESTAMP _date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(_changelog ${CMAKE_BINARY_DIR}/debian/changelog)
  file(WRITE ${_changelog} "veldc (${VELDC_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${VELDC_PACKAGE_VERSION}.\n\n -- ${VELDC_MAINTAINER}  ${_date}\n")
  execute_process(COMMAND gzip -9nf ${_changelog} COMMAND_ERROR_IS_FATAL ANY)
  foreach(_deb IN LISTS _veldc_debs)
    string(REPLACE ":" ";" _deb ${_deb})
    list(GET _deb 0 _component)
    list(GET _deb 1 _name)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_name}
            RENAME copyright COMPONENT ${_component})
    install(FILES ${_changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_name}
            COMPONENT ${_component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veldc)
set(CPACK_PACKAGE_VERSION ${VELDC_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "The VELDC developers")
set(CPACK_PACKAGE_CONTACT ${VELDC_MAINTAINER})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL lib dev tools)
if(VELDC_WHEEL)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(_exact "(= ${VELDC_PACKAGE_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libveldc1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# An ldconfig trigger, not ldconfig calls in the maintainer scripts.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libveldc1/triggers
    ${PROJECT_SOURCE_DIR}/packaging/debian/libveldc1/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/libveldc1/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_DESCRIPTION "host-side driver for data-collection terminals
libveldc drives data-collection terminals (time clocks, badge readers) over
serial lines, a modem, the Kov74 terminal network or the Pelo Ethernet
adapter: their clock, parameters, files, downloads and uploads.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libveldc-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libveldc1 ${_exact}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "host-side driver for data-collection terminals - development files
The header veldc.h, the export list veldc.def, the CMake package (target
veldc::veldc), veldc.pc for pkg-config and the manual page veldc(3).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME veldc-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libveldc1 ${_exact}")
# dpkg-shlibdeps runs in the component's staging folder; libveldc.so.1 is staged beside it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../lib/usr/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line host and simulator for data-collection terminals
veldc runs every service of a terminal from the shell; veldc-sim simulates
terminals behind a pty, a modem or a Pelo adapter on UDP. A stand-in of the
Kov74 driver is installed in a private library folder.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-veldc)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, libveldc1 (>= ${VELDC_PACKAGE_VERSION})")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python binding of the VELDC terminal driver
Pure Python over ctypes: a Session per open device with a method per
service, Python values and exceptions, progress and trace callables.")

include(CPack)
