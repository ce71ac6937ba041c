# qel_gzip(<input> <output> <target>): <output> is <input> compressed as Debian installs
# documentation and manual pages (gzip -9, no name or time stamp), made by the target <target>
# of every build.
find_program(QEL_GZIP gzip REQUIRED)
function(qel_gzip input output target)
  add_custom_command(OUTPUT ${output}
    COMMAND ${QEL_GZIP} -9nc ${input} > ${output}
    DEPENDS ${input})
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
