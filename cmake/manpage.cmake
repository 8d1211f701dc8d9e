# Manual pages made at build time from the Markdown pages in docs/, so that each text is written
# once, by lowdown (Debian's package of the same name: 0.8 on Debian 11, 1.0 on 12, 2.0 on 13;
# every option below is understood by all three), and installed gzip-compressed
# (cmake/compressed.cmake).
#
#   ttt_install_markdown_manpage(<markdown> <name>.<section> <date>)
#       makes ${CMAKE_BINARY_DIR}/man/<name>.<section> from <markdown> (relative to the current
#       source directory, or absolute), titled <NAME>(<section>) and dated <date> (YYYY-MM-DD),
#       and installs it as usr/share/man/man<section>/<name>.<section>.gz.
#
# The Markdown is written as a manual page. Its level-1 headings (#) are the page's sections, in
# upper case: first NAME, holding the one line "<name> - <what it does>" that whatis and apropos
# read, then SYNOPSIS and the rest; level-2 headings (##) are subsections. A link shows its text
# only (in bold), so it must read without its target; raw HTML is left out; quotes and dashes stay
# as typed.
#
# Run as a script (cmake -P), this file is the build step of one page: lowdown's page, behind a
# first line that asks man for tbl, the table preprocessor, which man runs only for a page that
# asks (lintian, too, formats each page so). That line also carries the encoding that lowdown's
# own first line gave.
if(CMAKE_SCRIPT_MODE_FILE)
    # --nroff-no-groff: traditional man macros, the only form in which lowdown 2.0 honours
    # --nroff-nolinks (otherwise it writes .UR links whose targets, other Markdown pages and
    # anchors in this one, mean nothing in a manual page).
    execute_process(
        COMMAND ${LOWDOWN} -s -Tman --out-no-smarty --nroff-no-groff --nroff-nolinks
                -M title=${TITLE} -M section=${SECTION} -M date=${DATE} -M "source=${SOURCE}"
                -M "volume=User Commands" ${MARKDOWN}
        OUTPUT_VARIABLE page
        RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "lowdown failed on ${MARKDOWN}: ${failed}")
    endif()
    string(REGEX REPLACE "^\\.\\\\\" -\\*-[^\n]*\n" "" page "${page}")
    file(WRITE ${OUTPUT} "'\\\" t -*- coding: utf-8 -*-\n${page}")
    return()
endif()

find_program(LOWDOWN lowdown)
if(NOT LOWDOWN)
    message(FATAL_ERROR "The manual pages are made from their Markdown with lowdown: "
                        "apt-get install lowdown (scripts/setup.sh installs it)")
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man)
set(TTT_MANPAGE_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(ttt_install_markdown_manpage markdown page date)
    get_filename_component(source ${markdown} ABSOLUTE)
    if(NOT page MATCHES "^(.+)\\.([1-9])$")
        message(FATAL_ERROR "ttt_install_markdown_manpage: ${page} is not <name>.<section>")
    endif()
    string(TOUPPER ${CMAKE_MATCH_1} title)
    set(section ${CMAKE_MATCH_2})
    if(NOT date MATCHES "^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
        message(FATAL_ERROR "ttt_install_markdown_manpage: the date of ${page}, '${date}', "
                            "is not YYYY-MM-DD")
    endif()
    set(output ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DLOWDOWN=${LOWDOWN} -DMARKDOWN=${source} -DOUTPUT=${output}
                -DTITLE=${title} -DSECTION=${section} -DDATE=${date}
                "-DSOURCE=${PROJECT_NAME} ${PROJECT_VERSION}" -P ${TTT_MANPAGE_SCRIPT}
        DEPENDS ${source} ${TTT_MANPAGE_SCRIPT}
        COMMENT "Making the manual page ${page} from ${markdown}"
        VERBATIM)
    ttt_install_manpage(${output})
endfunction()
