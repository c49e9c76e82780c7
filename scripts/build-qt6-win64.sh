#!/usr/bin/env bash
# Builds Qt 6.4.2 (Core, Gui, Widgets, the Windows platform plugin, the native style and
# the image-format plugins) for 64-bit Windows with MinGW-w64, from Debian 12's own
# qt6-base source package. scripts/windows.sh runs it when no ready build is at hand.
# Usage: build-qt6-win64.sh PREFIX [WORKDIR]   (about an hour on 2 cores, once)
set -euo pipefail
DITTOLY_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=$(realpath -m "${1:?usage: $0 PREFIX [WORKDIR]}")
work=$(realpath -m "${2:-$(mktemp -d)}")
jobs=${JOBS:-$(nproc)}
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# The source package comes through apt, so its source lists must be on.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    $sudo tee /etc/apt/sources.list.d/deb-src-bookworm.sources >/dev/null <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
$sudo apt-get update -qq
# The cross compilers, and the host Qt whose moc, rcc and uic the cross build runs.
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends dpkg-dev \
    cmake ninja-build g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix qt6-base-dev \
    qt6-base-dev-tools xz-utils >/dev/null

mkdir -p "$work" && cd "$work"
# The same version as the host tools (Debian 12: 6.4.2), whatever its Debian revision.
[ -f qt6-base_6.4.2+dfsg.orig.tar.xz ] || apt-get source --download-only qt6-base
rm -rf qtbase-everywhere-src-6.4.2 && tar xf qt6-base_6.4.2+dfsg.orig.tar.xz
src=$work/qtbase-everywhere-src-6.4.2

# Debian's source leaves out the WinTab headers (their licence), so tablet input through
# WinTab is built out of the Windows plugin; mouse, touch and pen through the system's
# pointer messages stay.
win=$src/src/plugins/platforms/windows
sed -i 's/QT_CONFIG(tabletevent)/0/' "$win/qwindowscontext.cpp" "$win/qwindowspointerhandler.cpp" \
    "$win/qwindowspointerhandler.h"
sed -i 's/CONDITION QT_FEATURE_tabletevent$/CONDITION QT_FEATURE_tabletevent AND EXISTS ${QtBase_SOURCE_DIR}\/src\/3rdparty\/wintab\/wintab.h/' \
    "$win/CMakeLists.txt"
# With OpenGL off, the dynamic-GL branch must not be compiled either.
sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' "$win/qwindowswindow.cpp"
# The DirectWrite font database is built only with Direct2D, which is off: the plugin keeps
# the GDI font database (the default of this Qt version anyway).
sed -i 's/^#if QT_CONFIG(directwrite3)$/#if QT_CONFIG(directwrite3) \&\& QT_CONFIG(direct2d)/' \
    "$win/qwindowsintegration.cpp"

cmake -S "$src" -B build -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$DITTOLY_ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_testlib=OFF \
    -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
    -DFEATURE_opengl=OFF -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF -DINPUT_openssl=no
cmake --build build --parallel "$jobs"
cmake --install build --strip

# The MinGW run-time that every program built with these compilers needs beside it.
for f in libstdc++-6.dll libgcc_s_seh-1.dll; do
    cp "$(x86_64-w64-mingw32-g++-posix -print-file-name=$f)" "$prefix/bin/"
done
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$prefix/bin/"
x86_64-w64-mingw32-strip --strip-unneeded "$prefix"/bin/lib*.dll
cp "$DITTOLY_ROOT/cmake/mingw-w64-x86_64.cmake" "$prefix/mingw-w64.cmake"
# Qt's own toolchain wrapper finds the MinGW toolchain beside it, wherever the folder goes.
sed -i 's#^set(__qt_initially_configured_toolchain_file ".*")$#set(__qt_initially_configured_toolchain_file "${CMAKE_CURRENT_LIST_DIR}/../../../mingw-w64.cmake")#' \
    "$prefix/lib/cmake/Qt6/qt.toolchain.cmake"
echo "Qt for Windows installed in $prefix"
