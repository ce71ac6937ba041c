# Fails when a program links a C++ runtime of its own: neither a libstdc++ it loads nor one linked
# into it (its symbols). The C interface's programs must work with the library's runtime alone.
# cmake -DPROGRAM=<program> -DOBJDUMP=<objdump> -P CheckNoCxxRuntime.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p -t ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read ${PROGRAM}")
endif()
string(REGEX MATCH "libstdc\\+\\+|libc\\+\\+|__cxa_throw|__gxx_personality" found "${dump}")
if(found)
  message(FATAL_ERROR "${PROGRAM} carries a C++ runtime of its own (${found})")
endif()
message(STATUS "${PROGRAM}: no C++ runtime of its own")
