#!/usr/bin/env bash
# Packs the Windows build of the window into a zip a Windows user unpacks and
# runs: the program, the Qt DLLs and plugins it needs and the MinGW runtime
# DLLs, all stripped, in one folder named like the zip.
#   usage: tools/pack-windows.sh PROGRAM.exe QT_PREFIX OUTPUT.zip
set -euo pipefail

program=${1:?usage: $0 PROGRAM.exe QT_PREFIX OUTPUT.zip}
qt=${2:?usage: $0 PROGRAM.exe QT_PREFIX OUTPUT.zip}
zip_path=$(realpath -m "${3:?usage: $0 PROGRAM.exe QT_PREFIX OUTPUT.zip}")
triplet=x86_64-w64-mingw32

name=$(basename "$zip_path" .zip)
stage=$(dirname "$zip_path")/$name
rm -rf "$stage" "$zip_path"
mkdir -p "$stage/platforms" "$stage/styles"

cp "$program" "$stage/"
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

(cd "$(dirname "$stage")" && zip -q -r -9 "$zip_path" "$name")
echo "$zip_path: $(du -k "$zip_path" | cut -f1) KiB, $(du -sk "$stage" | cut -f1) KiB unpacked"
