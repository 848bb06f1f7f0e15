# Writes the module definition that links the 32-bit DLL: the names and
# ordinals of include/userprofile.def, each with the stdcall suffix (@N,
# the bytes of its arguments) that the compiler gave the function. Linked
# with --kill-at, the DLL exports the plain names at the given ordinals,
# and its import library resolves a host's stdcall references (_WEP@4) to
# them. The suffixes are read from the compiled code, so the .def stays the
# one place that names the exports.
#
# Usage: cmake -DNM=<nm> -DLIBRARY=<static library> -DDEF_IN=<def>
#              -DDEF_OUT=<file> -P stdcall-def.cmake
execute_process(COMMAND "${NM}" --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

file(STRINGS "${DEF_IN}" lines)
set(out "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([ \t]+)([A-Za-z_][A-Za-z0-9_]*)([ \t]+@[0-9]+.*)$")
    set(name "${CMAKE_MATCH_2}")
    set(head "${CMAKE_MATCH_1}")
    set(tail "${CMAKE_MATCH_3}")
    if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
      message(FATAL_ERROR "no stdcall function ${name} in ${LIBRARY}")
    endif()
    string(APPEND out "${head}${name}@${CMAKE_MATCH_1}${tail}\n")
  else()
    string(APPEND out "${line}\n")
  endif()
endforeach()

# Copied over only when it changes, so that the DLL is not relinked for
# nothing.
file(WRITE "${DEF_OUT}.new" "${out}")
configure_file("${DEF_OUT}.new" "${DEF_OUT}" COPYONLY)
