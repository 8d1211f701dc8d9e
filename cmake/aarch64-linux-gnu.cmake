# Cross-compiles for Linux on 64-bit ARM with Debian's cross toolchain (crossbuild-essential-arm64)
# against the multiarch arm64 libraries under /usr/lib/aarch64-linux-gnu (qtbase5-dev:arm64,
# libssl-dev:arm64). Qt's moc and uic are the host's (qtbase5-dev-tools): the arm64 Qt5Core CMake
# package already points Qt5::moc at /usr/lib/qt5/bin/moc, which is the host binary.
# Tests run under qemu-user through CMAKE_CROSSCOMPILING_EMULATOR; qemu gets no -L prefix, so the
# multiarch loader /lib/ld-linux-aarch64.so.1 (libc6:arm64) loads the binaries and their libraries.
#
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The symbol-table test runs nm on the aarch64 executable. (Checked by hand rather than with
# find_program's REQUIRED, which needs CMake 3.18.)
find_program(CMAKE_NM NAMES aarch64-linux-gnu-nm)
find_program(AARCH64_EMULATOR NAMES qemu-aarch64-static qemu-aarch64)
if(NOT CMAKE_NM OR NOT AARCH64_EMULATOR)
    message(FATAL_ERROR "The aarch64 build needs aarch64-linux-gnu-nm (binutils-aarch64-linux-gnu) "
                        "and qemu-aarch64-static (qemu-user-static); scripts/test-aarch64 installs them")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${AARCH64_EMULATOR}")

# pkg-config (which FindOpenSSL asks first) must describe the arm64 libraries, not the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
