#!/usr/bin/env bash
# Checks the Windows zip: every DLL that its programs and its DLLs (the Qt
# plugins included) import is in the zip or is part of Windows, the window
# carries its icon, zr9ctl.exe is a console program, and the licences and
# the README a redistributed Qt and a Windows user need are there.
#   usage: scripts/check-windows-zip.sh ZIP
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
ctl=$(find "$unpacked" -name zr9ctl.exe | head -n 1)
if [ -z "$ctl" ]; then
  echo "$zip_path holds no zr9ctl.exe" >&2
  status=1
elif [[ $("$objdump" -p "$ctl") != *"(Windows CUI)"* ]]; then
  echo "zr9ctl.exe is not a console program" >&2
  status=1
fi
folder=$(dirname "${exe:-$unpacked/none/x}")
for file in LICENSE.txt README.txt licences/LGPL-3.0.txt licences/GPL-3.0.txt licences/Qt-copyright.txt \
            licences/Qt-NOTICE.txt licences/MinGW-GCC-runtime-copyright.txt licences/MinGW-winpthreads-copyright.txt; do
  if [ ! -s "$folder/$file" ]; then
    echo "$zip_path lacks $file beside zr9config.exe" >&2
    status=1
  fi
done
grep -q "GNU LESSER GENERAL PUBLIC LICENSE" "$folder/licences/LGPL-3.0.txt" 2>/dev/null &&
  grep -q "GCC RUNTIME LIBRARY EXCEPTION" "$folder/licences/MinGW-GCC-runtime-copyright.txt" 2>/dev/null &&
  grep -q "winpthreads" "$folder/licences/MinGW-winpthreads-copyright.txt" 2>/dev/null &&
  grep -q "qt6-base 6.4.2" "$folder/licences/Qt-NOTICE.txt" 2>/dev/null ||
  { echo "$zip_path: a licence file does not hold what it should" >&2; status=1; }
[ "$status" = 0 ] && echo "$zip_path: the imports of its $programs programs and DLLs are all there; the icon, zr9ctl.exe and the licences too"
exit "$status"
