# Install rules and the Debian package (CPack DEB), built by scripts/package. Included last in the
# top CMakeLists.txt: its final install step strips every file installed before it.
#
# The package puts the tool, its key library and the simulator in one directory,
# /opt/terminal-test-tool (TTT_INSTALL_DIR), with the simulator at quorvel/libClientScreen.so
# beside the executable: the tool loads the device library from ./quorvel/libClientScreen.so
# relative to its working directory, so the launcher /usr/bin/terminal-test-tool starts it there.
# The executable finds libopenssl.so beside itself through its RUNPATH ($ORIGIN), whatever
# directory it is started in.
#
# Packager's settings:
#   PACKAGE_MAINTAINER  the package's Maintainer field and the changelog's signature
#   PACKAGE_REVISION    the Debian revision after the project's version (1.0-1); packaging/
#                       changelog.in must start with that version

# The launcher and the desktop entry are written with file(CONFIGURE), new in CMake 3.18.
if(CMAKE_VERSION VERSION_LESS 3.18)
    message(STATUS "Packaging: off; the install rules and the Debian package need CMake 3.18, "
                   "this is ${CMAKE_VERSION}")
    return()
endif()

set(PACKAGE_MAINTAINER "Terminal Test Tool Maintainers <terminal-test-tool@example.com>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")
set(PACKAGE_REVISION 1 CACHE STRING "Debian revision of the package")

set(TTT_ABSOLUTE_INSTALL_DIR /${TTT_INSTALL_DIR})
set(TTT_DOC_DIR usr/share/doc/terminal-test-tool)
set(TTT_PACKAGE_VERSION ${PROJECT_VERSION}-${PACKAGE_REVISION})

# The changelog's newest entry names this version; its date, YYYY-MM-DD, dates the manual pages,
# so that two builds of one version make the same pages.
file(STRINGS packaging/changelog.in TTT_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT TTT_CHANGELOG_TOP MATCHES "^terminal-test-tool \\(${TTT_PACKAGE_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog.in must start with an entry for version "
                        "${TTT_PACKAGE_VERSION} (the project's version and PACKAGE_REVISION); "
                        "its first line is: ${TTT_CHANGELOG_TOP}")
endif()
file(STRINGS packaging/changelog.in TTT_CHANGELOG_SIGNATURE REGEX "^ -- " LIMIT_COUNT 1)
if(NOT TTT_CHANGELOG_SIGNATURE MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "packaging/changelog.in: its first entry's signature line has no date "
                        "such as 'Tue, 08 Dec 2026': ${TTT_CHANGELOG_SIGNATURE}")
endif()
set(TTT_CHANGELOG_DAY ${CMAKE_MATCH_1})
set(TTT_CHANGELOG_YEAR ${CMAKE_MATCH_3})
set(TTT_MONTHS Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND TTT_MONTHS ${CMAKE_MATCH_2} TTT_CHANGELOG_MONTH)
if(TTT_CHANGELOG_MONTH LESS 0)
    message(FATAL_ERROR "packaging/changelog.in: no month '${CMAKE_MATCH_2}' in "
                        "${TTT_CHANGELOG_SIGNATURE}")
endif()
math(EXPR TTT_CHANGELOG_MONTH "${TTT_CHANGELOG_MONTH} + 1")
if(TTT_CHANGELOG_MONTH LESS 10)
    set(TTT_CHANGELOG_MONTH 0${TTT_CHANGELOG_MONTH})
endif()
set(TTT_RELEASE_DATE ${TTT_CHANGELOG_YEAR}-${TTT_CHANGELOG_MONTH}-${TTT_CHANGELOG_DAY})
include(cmake/manpage.cmake)

install(TARGETS terminal-test-tool RUNTIME DESTINATION ${TTT_INSTALL_DIR})

get_target_property(TTT_KEYLIB_IMPORTED keylib IMPORTED)
if(TTT_KEYLIB_IMPORTED)
    # A vendor key library given at configure time ships in place of the stand-in.
    install(FILES ${KEYLIB_LIBRARY} DESTINATION ${TTT_INSTALL_DIR})
else()
    install(TARGETS keylib LIBRARY DESTINATION ${TTT_INSTALL_DIR})
endif()

install(TARGETS simulator LIBRARY DESTINATION ${TTT_INSTALL_DIR}/quorvel)

# device-check beside the tool, with the library host it starts: it finds libopenssl.so there
# through the same RUNPATH, and the simulator at its default ./quorvel/libClientScreen.so when
# started in that directory. On PATH
# through a link in /usr/bin, absolute as Debian's policy wants a link from one top-level folder
# to another: started through it, the program runs in the caller's working directory, where the
# paths it is given lie, and $ORIGIN is still the folder of the link's target.
install(TARGETS device-check device-check-host RUNTIME DESTINATION ${TTT_INSTALL_DIR})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
file(CREATE_LINK ${TTT_ABSOLUTE_INSTALL_DIR}/device-check ${CMAKE_BINARY_DIR}/packaging/device-check
     SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/packaging/device-check DESTINATION usr/bin)
ttt_install_markdown_manpage(docs/device-check.md device-check.1 ${TTT_RELEASE_DATE})

# The launcher: arguments go on to the tool (Qt options such as -platform).
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool
     CONTENT [[#!/bin/sh
# Starts the terminal test tool in its install directory, where it loads the device library
# from ./quorvel/libClientScreen.so (see terminal-test-tool(1) for using the vendor's library).
cd @TTT_ABSOLUTE_INSTALL_DIR@ || exit 1
exec ./terminal-test-tool "$@"
]] @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool DESTINATION usr/bin)
ttt_install_markdown_manpage(docs/terminal-test-tool.md terminal-test-tool.1 ${TTT_RELEASE_DATE})

file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool.desktop
     CONTENT [[[Desktop Entry]
Type=Application
Name=Terminal Test Tool
Name[zh_CN]=测试工具
Comment=Exercise a terminal device's PIN pad: key pair, main and work key download, PIN entry
Comment[zh_CN]=测试终端设备的密码键盘
Keywords=PIN pad;PIN;terminal;device;key;SM2;SM4;test;
Keywords[zh_CN]=密码键盘;终端;设备;密钥;测试;
Exec=terminal-test-tool
Icon=preferences-desktop-keyboard
Terminal=false
Categories=Utility;
]])
install(FILES ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool.desktop
        DESTINATION usr/share/applications)

# Debian's documentation files, and the one lintian finding the package answers with a reason.
install(FILES packaging/copyright DESTINATION ${TTT_DOC_DIR})
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
ttt_install_gzipped(${CMAKE_BINARY_DIR}/packaging/changelog.Debian ${TTT_DOC_DIR})
install(FILES packaging/lintian-overrides DESTINATION usr/share/lintian/overrides
        RENAME terminal-test-tool)

# Stripped as Debian strips (dh_strip): besides the symbols, the compiler's .comment and the old
# .note section go. CPack's own strip (CPACK_STRIP_FILES) keeps both. Runs after every install
# rule above and in the subdirectories, on each ELF file among them.
install(CODE "set(TTT_STRIP \"${CMAKE_STRIP}\")")
install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
            set(path "$ENV{DESTDIR}${file}")
            if(IS_SYMLINK "${path}" OR NOT EXISTS "${path}")
                continue()
            endif()
            file(READ "${path}" magic LIMIT 4 HEX)
            if(magic STREQUAL "7f454c46")
                execute_process(COMMAND "${TTT_STRIP}" --remove-section=.comment
                                        --remove-section=.note --strip-unneeded "${path}"
                                RESULT_VARIABLE failed)
                if(failed)
                    message(FATAL_ERROR "${TTT_STRIP} failed on ${path}")
                endif()
            endif()
        endforeach()
    endif()
]])

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME terminal-test-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${PACKAGE_REVISION})
set(CPACK_PACKAGE_CONTACT "${PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop test tool for a PIN pad terminal device")
# Lines of 80 columns or fewer, as Debian's policy wants them.
set(CPACK_PACKAGE_DESCRIPTION
    "A Qt 5 window that exercises a terminal device's PIN pad through its\n"
    "device library: request the SM2 key pair, download a main key and a work\n"
    "key, start a PIN entry. It ships a device simulator as the default device\n"
    "library, and a stand-in key library. Beside it, device-check qualifies a\n"
    "device library from the command line, the PIN block verified end to end.\n"
    ".\n"
    "The keys it downloads are fixed test keys: for test devices only.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
# The paths above are relative to the root of the target system.
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)

# The architecture of the binaries, not of the build machine (they differ in a cross build).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

# Library dependencies come from dpkg-shlibdeps (Qt, libssl3, libseccomp2, libstdc++, libc); the
# key library beside the executable is the package's own. Listed besides: Qt's GUI module, which
# draws the window and brings the X11 platform plugin (the linker drops it from the executable's
# needed libraries, as the tool calls it only through the widgets module), a CJK font for the
# Chinese captions, and bubblewrap, whose bwrap device-check runs the device library under.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt5gui5 (>= 5.11) | libqt5gui5-gles (>= 5.11), fonts-wqy-microhei | fonts-noto-cjk, "
    "bubblewrap")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DEPENDS ${CPACK_DEBIAN_PACKAGE_DEPENDS})

include(CPack)
