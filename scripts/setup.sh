# shellcheck shell=bash
# Shared setup for the scripts in this directory (test, run, fuzz, bench, package, ...); source
# it, do not run it.
#
# After sourcing: the working directory is the repository root, REPO_ROOT names it, SETUP_NEEDS
# lists the packages the build needs (a script adds its own before ensure_packages), and these
# functions are defined:
#   setup_log MESSAGE...         print a "[setup]" line on standard error
#   ensure_packages              install (as root) or name (otherwise) the Debian packages in
#                                SETUP_NEEDS
#   configure_and_build DIR ARGS configure DIR as a RelWithDebInfo build (ARGS are extra cmake
#                                arguments, which may override the build type) and build it on
#                                all cores
#   cmake_at_least VERSION       true when the installed CMake is VERSION or newer
#   run_tests DIR [ARGS]         run the tests registered in DIR with CTest (ARGS go to ctest);
#                                with CMake 3.17 or newer a DIR with no tests fails
#   build_and_test DIR ARGS      configure_and_build, then run_tests

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$REPO_ROOT" || return 1

# Each entry is "probe package": the probe is either "cmd:NAME" (a command on PATH) or "pkg"
# (the Debian package itself is installed; a name without ":ARCH" means the native architecture).
#   g++, make, cmake         compiler and build tools
#   nm (binutils)            the symbol-table test reads the executable's dynamic symbols
#   qtbase5-dev              Qt 5 Core/Gui/Widgets/Test headers, CMake packages and moc
#   libssl-dev               OpenSSL libcrypto (1.1.1 or 3): the device library's SHA-256 and the
#                            stand-in key library (SM2/SM4)
#   libseccomp-dev           the filter device-check puts on the library's process
#   xmllint (libxml2-utils)  the tests validate device-check's JUnit reports against a schema
#   bwrap (bubblewrap)       device-check runs the device library under it
#   lowdown                  makes the manual pages from their Markdown in docs/
#   fonts-wqy-microhei       a CJK font, so the Chinese captions render instead of empty boxes
SETUP_NEEDS=(
    "cmd:g++ g++"
    "cmd:make make"
    "cmd:cmake cmake"
    "cmd:nm binutils"
    "pkg qtbase5-dev"
    "pkg libssl-dev"
    "pkg libseccomp-dev"
    "cmd:xmllint libxml2-utils"
    "cmd:bwrap bubblewrap"
    "cmd:lowdown lowdown"
    "pkg fonts-wqy-microhei"
)

setup_log() { printf '[setup] %s\n' "$*" >&2; }

# True when PACKAGE (or PACKAGE:ARCH) is installed. A name without an architecture counts only in the
# native architecture or as an architecture-independent package, so that a foreign-architecture
# copy alone does not satisfy it, and two installed copies (Multi-Arch: same) still do.
package_installed() {
    local pkg=$1 arch status
    if [[ $pkg == *:* ]]; then
        arch=${pkg#*:}
    else
        arch=$(dpkg --print-architecture)
    fi
    status=$(dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$pkg" 2>/dev/null) || return 1
    grep -Eq "^($arch|all) installed\$" <<<"$status"
}

# Prints the packages whose probe fails, one per line.
missing_packages() {
    local entry probe pkg
    for entry in "${SETUP_NEEDS[@]}"; do
        probe=${entry%% *}
        pkg=${entry#* }
        case $probe in
            cmd:*) command -v "${probe#cmd:}" >/dev/null 2>&1 && continue ;;
            pkg)   package_installed "$pkg" && continue ;;
        esac
        printf '%s\n' "$pkg"
    done
}

ensure_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        setup_log "not a Debian system: skipping the package check; the build needs:" \
                  "$(for e in "${SETUP_NEEDS[@]}"; do printf '%s ' "${e#* }"; done)"
        return 0
    fi
    local missing
    mapfile -t missing < <(missing_packages)
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    local install=(apt-get install -y --no-install-recommends "${missing[@]}")
    if [[ $(id -u) -ne 0 ]]; then
        setup_log "missing packages: ${missing[*]}"
        setup_log "run as root, then run this script again:"
        printf '%s\n' "apt-get update && ${install[*]}" >&2
        return 1
    fi
    setup_log "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    "${install[@]}"
    mapfile -t missing < <(missing_packages)
    if ((${#missing[@]} != 0)); then
        setup_log "still missing after apt-get install: ${missing[*]}"
        return 1
    fi
}

configure_and_build() {
    local dir=$1
    shift
    cmake -S "$REPO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
}

# True when the installed CMake is at least version $1.
cmake_at_least() {
    local have
    have=$(cmake --version | sed -n '1s/^cmake version \([0-9.]*\).*/\1/p')
    [[ $(printf '%s\n%s\n' "$1" "$have" | sort -V | head -n 1) == "$1" ]]
}

run_tests() {
    local dir=$1 no_tests=()
    shift
    # A build that registered no test fails rather than passing with nothing run; CTest before
    # 3.17 has no such option.
    if cmake_at_least 3.17; then
        no_tests=(--no-tests=error)
    else
        setup_log "ctest: a run with no tests is not caught; that needs CMake 3.17 (--no-tests=error)"
    fi
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure "${no_tests[@]}" "$@")
}

build_and_test() {
    configure_and_build "$@"
    run_tests "$1"
}
