#!/bin/sh
# Checks a built deskvid.dll: it exports exactly the five functions under
# their plain names, and imports from system DLLs only (the C and C++
# runtimes of the compiler are linked in; our FFmpeg's random seed calls
# bcrypt.dll; Direct3D, where used, is loaded at run time).
# check-dll.sh OBJDUMP DLL
set -eu
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll")

exports=$(printf '%s\n' "$dump" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
expected="qmCreateInstance qmDestroyInstance qmGetInterfaceName qmInitialize qmUninitialize "
if [ "$exports" != "$expected" ]; then
  echo "exports: '$exports'" >&2
  echo "expected: '$expected'" >&2
  exit 1
fi

status=0
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
for name in $imports; do
  case $(printf '%s' "$name" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | ole32.dll | oleaut32.dll | \
      bcrypt.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-crt-*.dll) ;;
    *)
      echo "imports from a non-system DLL: $name" >&2
      status=1
      ;;
  esac
done
[ -n "$imports" ] || { echo "no imports found" >&2; status=1; }
[ $status -eq 0 ] && echo "exports: $exports; imports: $(printf "%s " $imports)"
exit $status
