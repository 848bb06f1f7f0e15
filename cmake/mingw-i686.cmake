# Cross build for i686 Windows with MinGW-w64 (Debian: g++-mingw-w64-i686).
# The posix thread model gives std::mutex to GoogleTest; everything is
# linked statically (see CMakeLists.txt), so no runtime DLL goes along.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(USERPROFILE_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${USERPROFILE_MINGW_PREFIX}-gcc-posix
                                    ${USERPROFILE_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${USERPROFILE_MINGW_PREFIX}-g++-posix
                                      ${USERPROFILE_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${USERPROFILE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${USERPROFILE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
