# Hardening flags for our own targets, as Debian's dpkg-buildflags gives them with hardening=+all,
# plus the two it leaves out on Debian 12 (stack clash and control-flow protection). Each target
# of ours links the INTERFACE target `hardening`:
#
#   target_link_libraries(<target> PRIVATE hardening)
#
# Third-party code (Qt, libcrypto) is untouched. The sanitizer and fuzz builds configure with
# -DHARDENING=OFF: _FORTIFY_SOURCE's checked functions bypass the sanitizers' interceptors.
# HARDENING_BIND_NOW=OFF drops -z now alone, for a build that weighs what immediate binding costs.

option(HARDENING "Build our targets with Debian's hardening flags" ON)
option(HARDENING_BIND_NOW "Resolve every symbol at load time (-z now) in hardened builds" ON)

add_library(hardening INTERFACE)
# Every target of ours links this one, so it brings the warning flags along (cmake/warnings.cmake),
# with hardening on or off.
target_link_libraries(hardening INTERFACE warnings)

if(HARDENING)
    # Executables are position-independent (with CMAKE_POSITION_INDEPENDENT_CODE) only when the
    # toolchain is known to link them so. CMake before 3.14 has no such check and compiles them
    # with -fPIE but links them without -pie, so the flag is given here.
    include(CheckPIESupported OPTIONAL RESULT_VARIABLE TTT_PIE_CHECK)
    if(TTT_PIE_CHECK)
        check_pie_supported()
    else()
        target_link_options(hardening INTERFACE
            $<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:-pie>)
    endif()

    target_compile_options(hardening INTERFACE
        -fstack-protector-strong
        -fstack-clash-protection
        -Wformat
        -Werror=format-security)
    # _FORTIFY_SOURCE works only with optimisation; without it glibc warns and checks nothing.
    target_compile_definitions(hardening INTERFACE
        $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
        target_compile_options(hardening INTERFACE -fcf-protection)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
        target_compile_options(hardening INTERFACE -mbranch-protection=standard)
    endif()

    target_link_options(hardening INTERFACE "LINKER:-z,relro")
    if(HARDENING_BIND_NOW)
        target_link_options(hardening INTERFACE "LINKER:-z,now")
    endif()
    message(STATUS "Hardening: on (-z now: ${HARDENING_BIND_NOW})")
else()
    message(STATUS "Hardening: off")
endif()
