# What an installed userprofile holds, under the install prefix:
#
#   include/                  userprofile.h, userprofile.def,
#                             userprofile_version.h
#   lib/                      libuserprofile.so.1.0.0 with its SONAME link
#                             libuserprofile.so.1 and the link
#                             libuserprofile.so that linkers look for
#   lib/cmake/userprofile/    the CMake package: find_package(userprofile
#                             CONFIG) gives userprofile::userprofile
#   lib/pkgconfig/userprofile.pc
#   bin/userprof              the administrator's tool, where it is built
#   share/man/man1/userprof.1.gz                 its manual page
#   share/bash-completion/completions/userprof   its bash completion
#
# ("lib" is whatever GNUInstallDirs chose, lib/<multiarch> for /usr on
# Debian.) The static library, the tests and the examples stay in the
# build tree: hosts load the shared library, so that every program of an
# application shares one copy of the process state and the lock rules.
#
# Every install() rule belongs to one of three components, and each
# component is one Debian package (cmake/deb/build-debs.sh), split as
# Debian splits a library:
#
#   runtime  libuserprofile1     the shared library's file and its SONAME
#                                link, nothing else
#   dev      libuserprofile-dev  headers, the libuserprofile.so link, the
#                                CMake package, userprofile.pc
#   tool     userprof            the administrator's tool and what belongs
#                                to it (its manual page, its completion)
#
# A new install() rule names its component with COMPONENT runtime, dev or
# tool. One that names none lands in `tool`, the default set below: the
# tool's own files are the ones added most often.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME tool)
include(CMakePackageConfigHelpers)

set(USERPROFILE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/userprofile)

install(TARGETS userprofile EXPORT userprofileTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}   # the DLL on Windows
    COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}   # its import library
    COMPONENT dev)

install(FILES
  include/userprofile.h
  include/userprofile.def
  ${PROJECT_BINARY_DIR}/include/userprofile_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)

# The CMake package. The targets file computes the prefix from its own
# location, which keeps the installed tree relocatable.
install(EXPORT userprofileTargets
  NAMESPACE userprofile::
  DESTINATION ${USERPROFILE_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(cmake/userprofileConfig.cmake.in
  ${PROJECT_BINARY_DIR}/userprofileConfig.cmake
  INSTALL_DESTINATION ${USERPROFILE_CMAKE_DIR})
# The SOVERSION is the major version: any 1.x library serves a host that
# asked for 1.y with y <= x.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/userprofileConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/userprofileConfig.cmake
  ${PROJECT_BINARY_DIR}/userprofileConfigVersion.cmake
  DESTINATION ${USERPROFILE_CMAKE_DIR}
  COMPONENT dev)

# userprofile.pc. pkg-config files name absolute directories, and the
# prefix is only known for sure when installing (`cmake --install
# --prefix P` overrides the configured one), so the file is made in two
# steps: now with everything but the prefix, then at install time with the
# prefix of that install. Relative GNUInstallDirs directories are written
# under ${prefix}, absolute ones as they are; a relative --prefix is taken
# from the directory the install runs in, as the install itself does.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(USERPROFILE_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(USERPROFILE_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(USERPROFILE_PC_PREFIX "@USERPROFILE_INSTALL_PREFIX@")
configure_file(cmake/userprofile.pc.in
  ${PROJECT_BINARY_DIR}/userprofile.pc.in @ONLY)
install(CODE "
  get_filename_component(USERPROFILE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\"
                         ABSOLUTE)
  configure_file(\"${PROJECT_BINARY_DIR}/userprofile.pc.in\"
                 \"${PROJECT_BINARY_DIR}/userprofile.pc\" @ONLY)
" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/userprofile.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# The administrator's tool. Its target comes from tools/, which may be
# added after this file is read, so the rule is made once the whole top
# directory has been read.
function(userprofile_install_tool)
  if(TARGET userprof)
    install(TARGETS userprof RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # Its manual page userprof(1), compressed as Debian ships them, and its
    # bash completion, where bash-completion looks for it on demand.
    install(FILES ${PROJECT_BINARY_DIR}/tools/userprof/userprof.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/userprof/userprof.bash-completion
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
      RENAME userprof)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR}
  CALL userprofile_install_tool)
