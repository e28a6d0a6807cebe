#!/usr/bin/env bash
# Builds Qt's base modules for 64-bit Windows with Debian's MinGW-w64, from
# Debian's own Qt sources, into a cache outside the work tree. Debian ships no
# Qt for MinGW; the host tools (moc, uic, rcc) come from the Linux Qt of the
# same version. Runs once; later calls find the finished prefix and return.
#   usage: scripts/build-qt-mingw.sh PREFIX
set -euo pipefail

prefix=${1:?usage: $0 PREFIX}
qt_version=6.4.2
jobs=$(nproc)

if [ -f "$prefix/.complete" ]; then
  exit 0
fi

host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || true)
case "$host_version" in
  "$qt_version"*) ;;
  *) echo "$0: the host Qt is '${host_version:-missing}', the sources are $qt_version" >&2; exit 1 ;;
esac

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Debian's source packages come from the same archive as the binary ones.
if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx Sources; then
  sources=/etc/apt/sources.list.d/zr9config-sources.sources
  echo "Adding Debian's source packages ($sources)"
  sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
    | as_root tee "$sources" >/dev/null
  as_root apt-get update -qq
fi

work=$prefix.work
rm -rf "$prefix" "$work"
mkdir -p "$work"
cd "$work"

# The toolchain file lives with the prefix: Qt's CMake files refer to it by path.
toolchain=$prefix/mingw-w64-x86_64.cmake
mkdir -p "$prefix"
cat > "$toolchain" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

echo "Fetching Debian's qt6-base sources"
apt-get source -qq --download-only qt6-base >/dev/null
dpkg-source --no-check -x qt6-base_*.dsc >/dev/null
base_src=$(echo "$work"/qt6-base-*/)

echo "Configuring qtbase for MinGW-w64 (about a minute)"
cmake -S "$base_src" -B base-build -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
  -DFEATURE_printsupport=OFF -DFEATURE_testlib=OFF -DFEATURE_concurrent=OFF \
  -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_directwrite=OFF \
  -DFEATURE_tabletevent=OFF \
  -DINPUT_opengl=desktop > base-configure.log 2>&1 \
  || { tail -n 40 base-configure.log >&2; exit 1; }

echo "Building qtbase for MinGW-w64 (30 to 60 minutes on 2 cores)"
cmake --build base-build --parallel "$jobs" > base-build.log 2>&1 \
  || { tail -n 40 base-build.log >&2; exit 1; }
cmake --install base-build > /dev/null

cd /
rm -rf "$work"
touch "$prefix/.complete"
echo "Qt $qt_version for MinGW-w64 is in $prefix"
