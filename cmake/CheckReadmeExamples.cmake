# Fails when the README does not show an example file exactly as it is, so that what the README
# shows is what the tests run.
# cmake -DREADME=<README.md> -DEXAMPLES=<file;file...> -P CheckReadmeExamples.cmake
cmake_minimum_required(VERSION 3.25)
file(READ ${README} readme)
foreach(example ${EXAMPLES})
  file(READ ${example} text)
  string(FIND "${readme}" "${text}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "README.md does not show ${example} as it is")
  endif()
endforeach()
