# Every ```cpp block of the README becomes a program that is compiled and linked with the library
# in each test build (targets readme_block_<n>), so the README shows code that builds as printed.
# A block with its own main() is taken as it is; any other is wrapped in one, after its #include
# lines and the library's headers.
set(QEL_README ${PROJECT_SOURCE_DIR}/README.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QEL_README})
file(READ ${QEL_README} readme)
# CMake lists split at semicolons, which C++ is full of: they travel as a placeholder.
string(REPLACE ";" "<QEL-SEMICOLON>" readme "${readme}")
string(REGEX MATCHALL "\n```cpp\n[^`]*\n```" blocks "${readme}")
set(index 0)
foreach(block ${blocks})
  math(EXPR index "${index} + 1")
  string(REGEX REPLACE "^\n```cpp\n(.*)\n```$" "\\1\n" code "${block}")
  if(NOT code MATCHES "int main\\(")
    string(REGEX MATCHALL "#include [^\n]*\n" includes "${code}")
    string(REGEX REPLACE "#include [^\n]*\n" "" body "${code}")
    string(CONCAT code "#include <zor-qel-rb-key/zor_qel.h>\n#include <iostream>\n#include <string>\n"
      ${includes} "int main() {\n" "${body}" "}\n")
  endif()
  string(REPLACE "<QEL-SEMICOLON>" ";" code "${code}")
  set(source ${CMAKE_CURRENT_BINARY_DIR}/readme/block_${index}.cpp)
  file(WRITE ${source}.new "${code}")
  file(COPY_FILE ${source}.new ${source} ONLY_IF_DIFFERENT)
  file(REMOVE ${source}.new)
  add_executable(readme_block_${index} ${source})
  target_link_libraries(readme_block_${index} PRIVATE zor-qel-rb-key)
endforeach()
if(index EQUAL 0)
  message(FATAL_ERROR "no ```cpp block found in ${QEL_README}")
endif()
