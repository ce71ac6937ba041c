# Run by cpack after it built the Debian packages (CPACK_POST_BUILD_SCRIPTS), to finish the
# runtime package as Debian ships a library, where CPack cannot:
# - "Multi-Arch: same": its files carry the architecture in their paths, so the library of several
#   architectures can be installed side by side (CPack writes no Multi-Arch field);
# - no maintainer scripts: CPack adds a postinst and postrm that run ldconfig, which the package's
#   ldconfig trigger already does.
foreach(package ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${package} NAME)
  if(name MATCHES "^${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}_.*\\.deb$")
    set(tree ${package}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(READ ${tree}/DEBIAN/control control)
    if(NOT control MATCHES "(^|\n)Multi-Arch:")
      string(STRIP "${control}" control)
      file(WRITE ${tree}/DEBIAN/control "${control}\nMulti-Arch: same\n")
    endif()
    foreach(script postinst postrm)
      if(EXISTS ${tree}/DEBIAN/${script})
        file(READ ${tree}/DEBIAN/${script} text)
        string(REGEX REPLACE "#![^\n]*|set -e|if \\[[^\n]*then|ldconfig|fi|[ \t\n]" "" rest "${text}")
        if(NOT rest STREQUAL "")
          message(FATAL_ERROR "${name}: ${script} does more than run ldconfig:\n${text}")
        endif()
        file(REMOVE ${tree}/DEBIAN/${script})
      endif()
    endforeach()
    execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${package}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
  endif()
endforeach()
