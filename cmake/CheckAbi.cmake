# Fails when the built shared library no longer exports a symbol that release 3.0.0 exported:
# programs linked against libzor-qel-rb-key.so.3 must keep loading.
# cmake -DLIBRARY=<path to the .so> -DBASELINE=<symbols file> -DNM=<nm> -P CheckAbi.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -D --defined-only --format=just-symbols ${LIBRARY}
  OUTPUT_VARIABLE exported RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot list the symbols of ${LIBRARY}")
endif()
string(REPLACE "\n" ";" names "${exported}")
file(STRINGS ${BASELINE} promised)
set(missing "")
foreach(symbol ${promised})
  list(FIND names ${symbol} found)
  if(found EQUAL -1)
    list(APPEND missing ${symbol})
  endif()
endforeach()
if(missing)
  list(JOIN missing "\n  " text)
  message(FATAL_ERROR "symbols of release 3.0.0 no longer exported:\n  ${text}")
endif()
