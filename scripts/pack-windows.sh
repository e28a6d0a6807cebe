#!/usr/bin/env bash
# Packs the Windows build into a zip a Windows user unpacks and runs: the
# window and the command line, the Qt DLLs and plugins the window needs and
# the MinGW runtime DLLs, all stripped, with the licences of all of them and
# a short README.txt, in one folder named like the zip. Staged in a temporary
# folder, so nothing beside the zip is touched.
#   usage: scripts/pack-windows.sh ZR9CONFIG.exe ZR9CTL.exe QT_PREFIX OUTPUT.zip
set -euo pipefail

usage="usage: $0 ZR9CONFIG.exe ZR9CTL.exe QT_PREFIX OUTPUT.zip"
window=${1:?$usage}
command_line=${2:?$usage}
qt=${3:?$usage}
zip_path=$(realpath -m "${4:?$usage}")
triplet=x86_64-w64-mingw32
source_dir=$(cd "$(dirname "$0")/.." && pwd)

name=$(basename "$zip_path" .zip)
staging=$(mktemp -d "${TMPDIR:-/tmp}/zr9-pack-XXXXXX")
trap 'rm -rf "$staging"' EXIT
stage=$staging/$name
mkdir -p "$stage/platforms" "$stage/styles" "$stage/licences"

cp "$window" "$command_line" "$stage/"
cp "$qt"/bin/Qt6Core.dll "$qt"/bin/Qt6Gui.dll "$qt"/bin/Qt6Widgets.dll "$stage/"
# Qt looks for its plugins in folders beside the program.
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
# The runtime of the compiler Qt was built with.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  path=$("$triplet-g++-posix" -print-file-name="$dll")
  [ -f "$path" ] || { echo "$0: $dll not found beside $triplet-g++-posix" >&2; exit 1; }
  cp "$path" "$stage/"
done

find "$stage" -name '*.exe' -exec "$triplet-strip" --strip-all {} +
find "$stage" -name '*.dll' -exec "$triplet-strip" --strip-unneeded {} +

# The licences, from the files Debian installs with the packages the DLLs
# come from (the sources of qt6-base, the MinGW-w64 compiler and runtime).
licence() {
  [ -f "$1" ] || { echo "$0: $1 is missing (its package provides the licence)" >&2; exit 1; }
  cp "$1" "$stage/licences/$2"
}
cp "$source_dir/LICENSE" "$stage/LICENSE.txt"
licence /usr/share/common-licenses/LGPL-3 LGPL-3.0.txt
licence /usr/share/common-licenses/GPL-3 GPL-3.0.txt
licence /usr/share/doc/libqt6core6/copyright Qt-copyright.txt
licence /usr/share/doc/gcc-mingw-w64-base/copyright MinGW-GCC-runtime-copyright.txt
licence /usr/share/doc/mingw-w64-common/copyright MinGW-winpthreads-copyright.txt

qt_source=$(dpkg-query -W -f='${source:Package} ${source:Version}' libqt6core6)
qt_options=$(sed -n '/^cmake -S "\$base_src"/,/base-configure.log/p' "$source_dir/scripts/build-qt-mingw.sh" |
  grep -o -- '-D[A-Za-z_]*=[^ ]*' | grep -v -e CMAKE_TOOLCHAIN_FILE -e CMAKE_INSTALL_PREFIX -e QT_HOST_PATH)
[ -n "$qt_options" ] || { echo "$0: no build options found in scripts/build-qt-mingw.sh" >&2; exit 1; }
cat > "$stage/licences/Qt-NOTICE.txt" <<EOF
Qt in this folder
=================

Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll, platforms/qwindows.dll and
styles/qwindowsvistastyle.dll are the Qt toolkit, version 6.4.2, used under
the GNU Lesser General Public License version 3 (LGPL-3.0.txt, which adds to
the GNU General Public License version 3 in GPL-3.0.txt). Qt is (C) The Qt
Company Ltd. and other contributors; Qt-copyright.txt lists the copyright
holders and the licences of every part of its sources, those it bundles
included.

They were built from Debian's source package $qt_source (qtbase
with Debian's patches, as "apt-get source qt6-base=${qt_source#* }" fetches and
unpacks it on Debian 12; also at https://sources.debian.org/src/qt6-base/${qt_source#* }/),
with no change of ours, by Debian's MinGW-w64 cross compiler
(x86_64-w64-mingw32-g++-posix) through zr9config's scripts/build-qt-mingw.sh,
configured with:

$(echo "$qt_options" | sed 's/^/  /')

You may replace these DLLs with your own build of Qt 6.4 with the same
options: zr9config.exe loads them from its own folder.
EOF

# A Windows user's line ends.
sed 's/$/\r/' > "$stage/README.txt" <<'EOF'
zr9config for Windows
=====================

zr9config configures ZR9 Bluetooth-to-UART bridge modules over a serial
(COM) port: device name, own and peer address, password, PIN, role, mode,
handshake, baud rate and parity.

zr9config.exe  the window: start it with a double click. Open the port list,
               pick the module's COM port, type its password, Connect, then
               Read, edit, Write. Ctrl+O and Ctrl+S open and save profiles.
               Ctrl+P opens the production window, which configures modules
               one after another on up to 8 ports and logs each; it also
               opens on its own:  zr9config.exe --production module.zr9
zr9ctl.exe     the command line, for technicians and test benches: run it in
               a Command Prompt or PowerShell, e.g.
                 zr9ctl read COM5 -o module.zr9
                 zr9ctl batch module.zr9 --port COM5 --set "Device Name=Pump {n}"
               "zr9ctl --help" lists its commands.

Nothing is installed: the folder holds everything both need; delete it to
remove them. Neither keeps settings.

Diagnostics: what the user must act on is shown in a message box (window) or
printed (zr9ctl). Failures of the serial port are also written as one line
each to standard error: zr9ctl prints them in its console; for the window,
start it from a Command Prompt as  zr9config.exe 2> zr9config-log.txt

Licences: LICENSE.txt is zr9config's own; the folder licences holds those of
Qt (see licences\Qt-NOTICE.txt for its sources and how to replace its DLLs)
and of the MinGW-w64 runtime DLLs (libstdc++, libgcc_s_seh, libwinpthread).
EOF

rm -f "$zip_path"
(cd "$staging" && zip -q -r -9 "$zip_path" "$name")
echo "$zip_path: $(du -k "$zip_path" | cut -f1) KiB, $(du -sk "$stage" | cut -f1) KiB unpacked"
