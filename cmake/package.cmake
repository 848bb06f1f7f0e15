# Packaging. The Debian packages are made by cmake/deb/build-debs.sh, one
# package per install component (see cmake/install.cmake): libuserprofile1,
# libuserprofile-dev and userprof, each with its copyright and changelog,
# the library with an ldconfig trigger, all of them lintian-clean. CPack
# cannot make them so (its library packages run ldconfig from maintainer
# scripts, which Debian's trigger replaces), so it makes only the source
# tarball here: `cpack --config CPackSourceConfig.cmake`.
set(USERPROFILE_PACKAGE_MAINTAINER
  "userprofile maintainers <maintainers@userprofile.invalid>"
  CACHE STRING "Maintainer named in the Debian packages")

set(CPACK_PACKAGE_NAME userprofile)
set(CPACK_PACKAGE_VENDOR userprofile)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${USERPROFILE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "users of a multi-user desktop application")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR TGZ)

# A source package of the tracked tree only, never of build directories.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")

include(CPack)
