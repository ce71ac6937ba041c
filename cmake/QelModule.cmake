# The library's layers are static libraries, each seeing the public headers, its own folder and
# the folders of the modules it links: a layer cannot include a layer above it.

# The installed headers: the library's interface, also what the lower layers implement.
add_library(zor-qel-api INTERFACE)
target_include_directories(zor-qel-api INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# qel_module(name dir [sources...]): a static library of every .cpp file of `dir` (relative to the
# calling folder), or of the sources named there, whose headers are seen by whoever links it.
function(qel_module name dir)
  set(folder ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
  if(ARGN)
    list(TRANSFORM ARGN PREPEND ${folder}/ OUTPUT_VARIABLE sources)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp)
  endif()
  add_library(${name} STATIC ${sources})
  target_compile_definitions(${name} PRIVATE QEL_RB_KEY_BUILDING)
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${folder}>)
  target_link_libraries(${name} PUBLIC $<BUILD_INTERFACE:zor-qel-api>)
endfunction()
