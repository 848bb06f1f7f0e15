# Writes the module definition of userprofile_ex.dll: the 14 entries of
# the given userprofile.def (plain, or with the 32-bit stdcall suffixes)
# at their ordinals 1 to 14, then every userprofile_ function that the
# POSIX library exports (src/frame/exports.map), in the map's order, from
# ordinal 15 on. The map stays the one list of those functions, so a new
# one reaches this DLL without a second list to keep.
#
# Usage: cmake -DDEF_IN=<def> -DMAP=<exports.map> -DDEF_OUT=<file>
#              -P ex-def.cmake
file(STRINGS "${DEF_IN}" lines)
set(out "")
set(last 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^LIBRARY[ \t]+userprofile[ \t]*$")
    string(APPEND out "LIBRARY userprofile_ex\n")
    continue()
  endif()
  if(line MATCHES "[ \t]@([0-9]+)[ \t]*$")
    if(CMAKE_MATCH_1 GREATER last)
      set(last ${CMAKE_MATCH_1})
    endif()
  endif()
  string(APPEND out "${line}\n")
endforeach()
if(NOT out MATCHES "LIBRARY userprofile_ex\n" OR NOT last EQUAL 14)
  message(FATAL_ERROR "${DEF_IN}: not the LIBRARY userprofile with ordinals 1 to 14")
endif()

file(STRINGS "${MAP}" map_lines)
set(added 0)
foreach(line IN LISTS map_lines)
  if(line MATCHES "^[ \t]+(userprofile_[A-Za-z0-9_]+);")
    math(EXPR last "${last} + 1")
    string(APPEND out "    ${CMAKE_MATCH_1} @${last}\n")
    math(EXPR added "${added} + 1")
  endif()
endforeach()
if(added EQUAL 0)
  message(FATAL_ERROR "${MAP} lists no userprofile_ function")
endif()

# Copied over only when it changes, so that the DLL is not relinked for
# nothing.
file(WRITE "${DEF_OUT}.new" "${out}")
configure_file("${DEF_OUT}.new" "${DEF_OUT}" COPYONLY)
