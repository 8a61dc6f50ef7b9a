#!/bin/sh
# Compiler and linker launcher for plug-in DLLs: runs the win32-thread
# variant of the MinGW-w64 compiler instead of the -posix one CMake chose.
# A DLL linked with the posix variant carries winpthreads, which takes a
# TLS slot every time the DLL is loaded and never gives it back; hosts load
# plug-ins around every call, and after about a thousand loads the process
# runs out of slots and aborts.
compiler=$1
shift
case "$compiler" in
  *-posix) compiler="${compiler%-posix}-win32" ;;
esac
exec "$compiler" "$@"
