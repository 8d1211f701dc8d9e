# Install rules and the Debian package (CPack DEB), built by scripts/package.
#
# The package puts the tool, its key library and the simulator in one directory,
# /opt/terminal-test-tool, with the simulator at quorvel/libClientScreen.so beside the executable:
# the tool loads the device library from ./quorvel/libClientScreen.so relative to its working
# directory, so the launcher /usr/bin/terminal-test-tool starts it there. The executable finds
# libopenssl.so beside itself through its RPATH ($ORIGIN), whatever directory it is started in.

set(TTT_INSTALL_DIR opt/terminal-test-tool)
set(TTT_ABSOLUTE_INSTALL_DIR /${TTT_INSTALL_DIR})

install(TARGETS terminal-test-tool RUNTIME DESTINATION ${TTT_INSTALL_DIR})

get_target_property(TTT_KEYLIB_IMPORTED keylib IMPORTED)
if(TTT_KEYLIB_IMPORTED)
    # A vendor key library given at configure time ships in place of the stand-in.
    install(FILES ${KEYLIB_LIBRARY} DESTINATION ${TTT_INSTALL_DIR})
else()
    install(TARGETS keylib LIBRARY DESTINATION ${TTT_INSTALL_DIR})
endif()

install(TARGETS simulator LIBRARY DESTINATION ${TTT_INSTALL_DIR}/quorvel)

# The launcher: arguments go on to the tool (Qt options such as -platform).
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool
     CONTENT [[#!/bin/sh
# Starts the terminal test tool in its install directory, where it loads the device library
# from ./quorvel/libClientScreen.so. To use another device library without replacing that file,
# start @TTT_ABSOLUTE_INSTALL_DIR@/terminal-test-tool directly from a directory that holds
# quorvel/libClientScreen.so.
cd @TTT_ABSOLUTE_INSTALL_DIR@ || exit 1
exec ./terminal-test-tool "$@"
]] @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool DESTINATION usr/bin)

file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool.desktop
     CONTENT [[[Desktop Entry]
Type=Application
Name=Terminal Test Tool
Name[zh_CN]=测试工具
Comment=Exercise a terminal device's PIN pad: key pair, main and work key download, PIN entry
Comment[zh_CN]=测试终端设备的密码键盘
Exec=terminal-test-tool
Icon=preferences-desktop-keyboard
Terminal=false
Categories=Utility;
]])
install(FILES ${CMAKE_BINARY_DIR}/packaging/terminal-test-tool.desktop
        DESTINATION usr/share/applications)

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME terminal-test-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "terminal-test-tool maintainers <terminal-test-tool@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop test tool for a PIN pad terminal device")
set(CPACK_PACKAGE_DESCRIPTION
    "A Qt 5 window that exercises a terminal device's PIN pad through the device library:\n"
    "request its SM2 key pair, download a main key and a work key, start a PIN entry.\n"
    "Ships a device simulator as the default device library and a stand-in key library.")
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

# Library dependencies come from dpkg-shlibdeps (Qt, libssl3, libstdc++, libc); the key library
# beside the executable is the package's own. Listed besides: Qt's GUI module, which draws the
# window and brings the X11 platform plugin (the linker drops it from the executable's needed
# libraries, as the tool calls it only through the widgets module), and a CJK font for the
# Chinese captions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt5gui5 (>= 5.11) | libqt5gui5-gles (>= 5.11), fonts-wqy-microhei | fonts-noto-cjk")

include(CPack)
