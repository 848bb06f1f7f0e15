# `cpack` in the build directory makes a Debian package of the installed
# tree: the library, its headers and development files, and the tool.
# It installs into /usr, the library into /usr/<CMAKE_INSTALL_LIBDIR>
# (/usr/lib, or /usr/lib/<multiarch> when configured for the prefix /usr),
# which the dynamic loader searches; for a library there CPack adds
# postinst and postrm scripts that run ldconfig, so the loader's cache
# knows the library as soon as the package is installed and forgets it
# when it is removed.
set(USERPROFILE_PACKAGE_MAINTAINER
  "userprofile maintainers <maintainers@userprofile.invalid>"
  CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME userprofile)
set(CPACK_PACKAGE_VENDOR userprofile)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${USERPROFILE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "users of a multi-user desktop application")
# One paragraph, broken into lines that fit the package tools' displays.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "The userprofile library keeps the users of a multi-user desktop"
  "application beside its program: a registry file USER.INI in the"
  "program's directory, one home directory per user under USER beside that"
  "directory, and one lock file per home directory that keeps each user"
  "signed in once, across processes and machines."
  "This package holds the shared library libuserprofile, its C header,"
  "CMake package and pkg-config file, and the administrator's tool userprof.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)

if(NOT CPACK_GENERATOR)
  if(UNIX AND NOT APPLE)
    set(CPACK_GENERATOR DEB)
  else()
    set(CPACK_GENERATOR ZIP)
  endif()
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build may carry debug information; a package ships stripped binaries.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME userprofile)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # name_version_arch.deb
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the libc6, libstdc++6 and libgcc-s1 versions that
# the built binaries need, and the shlibs file lets other packages depend
# on this library the same way. Both need dpkg-dev and file installed.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# A source package of the tracked tree only, never of build directories.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
