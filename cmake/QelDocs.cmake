# The API reference: `cmake --build <dir> --target docs` writes <dir>/docs/html from the installed
# headers with Doxygen, and the test docs.public_api_documented fails on any public class,
# function or member without its comment.
find_program(QEL_DOXYGEN doxygen)
if(QEL_DOXYGEN)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/docs/Doxyfile @ONLY)
  add_custom_target(docs COMMAND ${QEL_DOXYGEN} ${PROJECT_BINARY_DIR}/docs/Doxyfile
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/docs
    COMMENT "API reference in ${PROJECT_BINARY_DIR}/docs/html" VERBATIM)
  if(QEL_BUILD_TESTS)
    add_test(NAME docs.public_api_documented
      COMMAND ${QEL_DOXYGEN} ${PROJECT_BINARY_DIR}/docs/Doxyfile
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
  endif()
else()
  add_custom_target(docs COMMAND ${CMAKE_COMMAND} -E echo "install doxygen to build the API reference"
    COMMAND ${CMAKE_COMMAND} -E false VERBATIM)
endif()
