# Checks the built shared library against the Debian symbols file, which records each exported
# symbol with the version that first exported it: no recorded symbol may go (programs linked
# against an earlier release must keep loading), and each new symbol of the library's own must be
# recorded, so that programs using it depend on the release that has it. Instantiations of the
# standard library the library happens to export are marked (optional) there and may come and go.
# cmake -DLIBRARY=<path to the .so> -DSYMBOLS=<Debian symbols file> -DVERSION=<x.y.z> -DNM=<nm>
#   -P CheckAbi.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -D --defined-only --format=just-symbols ${LIBRARY}
  OUTPUT_VARIABLE exported RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot list the symbols of ${LIBRARY}")
endif()
string(REPLACE "\n" ";" names "${exported}")
file(STRINGS ${SYMBOLS} lines REGEX "^ ")
set(recorded "")
set(missing "")
foreach(line ${lines})
  if(NOT line MATCHES "^ (\\(([^)]*)\\))?([^@ ]+)@Base ")
    message(FATAL_ERROR "${SYMBOLS}: not a symbol line: ${line}")
  endif()
  set(symbol ${CMAKE_MATCH_3})
  list(APPEND recorded ${symbol})
  list(FIND names ${symbol} found)
  if(found EQUAL -1 AND NOT CMAKE_MATCH_2 MATCHES "optional")
    list(APPEND missing ${symbol})
  endif()
endforeach()
set(unrecorded "")
foreach(symbol ${names})
  # The C++ API's symbols other than the standard library's, and the C interface's (qel_*).
  if((symbol MATCHES "^_Z" AND NOT symbol MATCHES "^_Z(Z|GVZ|T[IVS])?N?K?(St|9__gnu_cxx)")
     OR symbol MATCHES "^qel_")
    list(FIND recorded ${symbol} found)
    if(found EQUAL -1)
      list(APPEND unrecorded " ${symbol}@Base ${VERSION}")
    endif()
  endif()
endforeach()
if(missing)
  list(JOIN missing "\n  " text)
  message(SEND_ERROR "symbols of an earlier release no longer exported:\n  ${text}")
endif()
if(unrecorded)
  list(JOIN unrecorded "\n" text)
  message(SEND_ERROR "${SYMBOLS} does not record these exported symbols; add the lines:\n${text}")
endif()
