#!/bin/sh
# spiprobe.exe and the shipped plug-ins must need nothing but system DLLs:
# the C and C++ runtimes are linked in.
status=0
for file in "$@"; do
  [ -f "$file" ] || { echo "$file is missing"; status=1; continue; }
  # Each binary is read by the objdump of its own kind.
  case $(x86_64-w64-mingw32-objdump -f "$file" | sed -n 's/.*file format //p') in
    pei-x86-64) objdump=x86_64-w64-mingw32-objdump ;;
    *) objdump=i686-w64-mingw32-objdump ;;
  esac
  dlls=$($objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'a-z' 'A-Z')
  for dll in $dlls; do
    case "$dll" in
      KERNEL32.DLL|MSVCRT.DLL|USER32.DLL|ADVAPI32.DLL|GDI32.DLL|SHELL32.DLL|COMCTL32.DLL) ;;
      *) echo "$(basename "$file") needs $dll"; status=1 ;;
    esac
  done
  echo "$(basename "$file"):" $dlls
done
exit $status
