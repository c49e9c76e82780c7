# Shared by the run and test commands: installs what is missing and builds.
# Sourced, not run.

DITTOLY_PACKAGES=(g++ cmake ninja-build qt6-base-dev libgl-dev libgtest-dev libgmock-dev xdotool
    xvfb xauth x11-utils openbox imagemagick fonts-dejavu-core fonts-lato fontconfig clang
    libclang-rt-dev g++-mingw-w64-x86-64-posix googletest wine wine64 strace)
# The Windows program on top (scripts/windows.sh): host Qt tools for the cross build, zip
# for the portable folder and jq to read the command line's JSON.
DITTOLY_WINDOWS_PACKAGES=(qt6-base-dev-tools zip jq)

ensure_packages() {
    local missing=() pkg
    for pkg in "${DITTOLY_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# build_tree DIR [cmake options...]
build_tree() {
    local dir=$1
    shift
    cmake -S "$DITTOLY_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
