#!/usr/bin/env bash
# Checks the Windows zip: every DLL that its program and its DLLs (the Qt
# plugins included) import is in the zip or is part of Windows, and the
# program carries its icon.
#   usage: tools/check-windows-zip.sh ZIP
set -euo pipefail

zip_path=${1:?usage: $0 ZIP}
objdump=x86_64-w64-mingw32-objdump

# DLLs of Windows itself (10 or later, 64-bit), and its API sets api-ms-win-*.
system_dlls=" advapi32.dll authz.dll comdlg32.dll d3d11.dll d3d9.dll dwmapi.dll dxgi.dll gdi32.dll
  imm32.dll kernel32.dll mpr.dll msvcrt.dll netapi32.dll ole32.dll oleaut32.dll setupapi.dll shcore.dll
  shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll version.dll winmm.dll ws2_32.dll
  wtsapi32.dll "
system_dlls=" $(echo $system_dlls) "

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip_path" -d "$unpacked"

present=" "
while IFS= read -r file; do
  present+="$(basename "$file" | tr '[:upper:]' '[:lower:]') "
done < <(find "$unpacked" -iname '*.dll')

status=0
programs=0
while IFS= read -r file; do
  programs=$((programs + 1))
  while read -r dll; do
    dll=$(echo "$dll" | tr '[:upper:]' '[:lower:]')
    case "$present$system_dlls" in
      *" $dll "*) ;;
      *) case "$dll" in
           api-ms-win-*) ;;
           *) echo "${file#"$unpacked"/} imports $dll, which is neither in the zip nor part of Windows" >&2
              status=1 ;;
         esac ;;
    esac
  done < <("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$unpacked" -iname '*.exe' -o -iname '*.dll')

exe=$(find "$unpacked" -name zr9config.exe | head -n 1)
if [ -z "$exe" ]; then
  echo "$zip_path holds no zr9config.exe" >&2
  status=1
elif ! wrestool -l --type=group_icon "$exe" | grep -q .; then
  echo "zr9config.exe carries no icon" >&2
  status=1
fi
[ "$status" = 0 ] && echo "$zip_path: the imports of its $programs programs and DLLs are all there; the icon too"
exit "$status"
