# Installs files gzip-compressed the way Debian wants them: gzip -9n, with no name or time stamp
# in the header, so that two builds give the same bytes.
#
#   ttt_install_gzipped(<file> <destination> [<name>])
#       <file> (relative to the current source directory, or absolute) as <destination>/<name>.gz;
#       <name> defaults to <file>'s own name.
#   ttt_install_manpage(<file>)
#       the manual page <file> in its section's directory, taken from the name's last character:
#       ttt_install_manpage(device-check.1) installs usr/share/man/man1/device-check.1.gz.

function(ttt_install_gzipped file destination)
    get_filename_component(source ${file} ABSOLUTE)
    if(ARGC GREATER 2)
        set(name ${ARGV2})
    else()
        get_filename_component(name ${source} NAME)
    endif()
    string(MAKE_C_IDENTIFIER "${destination}/${name}" id)
    set(copy ${CMAKE_BINARY_DIR}/gzipped/${id}/${name})
    add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND gzip -9nf ${copy}
        DEPENDS ${source}
        COMMENT "Compressing ${name}"
        VERBATIM)
    add_custom_target(gzip_${id} ALL DEPENDS ${copy}.gz)
    install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

function(ttt_install_manpage file)
    get_filename_component(name ${file} NAME)
    string(REGEX MATCH "[1-9]$" section ${name})
    if(NOT section)
        message(FATAL_ERROR "ttt_install_manpage: ${name} does not end in a section number")
    endif()
    ttt_install_gzipped(${file} usr/share/man/man${section})
endfunction()
