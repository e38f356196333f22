#!/usr/bin/env bash
# Checks that each plug-in exports VSTPluginMain and main and nothing else a
# host could confuse, and that the DLLs need only system libraries.
# Usage: check-exports.sh FILE...   Prints one "ok"/"FAIL" line per file.
set -uo pipefail
status=0
for f in "$@"; do
  case "$f" in
    *.so)
      exports=$(nm -D --defined-only "$f" | awk '{print $3}' | grep -v '^$' | sort | tr '\n' ' ')
      if [ "$exports" = "VSTPluginMain main " ]; then
        echo "ok   $f exports: $exports"
      else
        echo "FAIL $f exports: $exports"; status=1
      fi
      ;;
    *.dll)
      dump=$(x86_64-w64-mingw32-objdump -p "$f")
      exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{t=1;next} t&&/^[ \t]*\[/{print $NF} t&&/^$/{t=0}' | sort | tr '\n' ' ')
      imports=$(echo "$dump" | awk '/DLL Name:/{print tolower($3)}' | sort -u | tr '\n' ' ')
      bad=""
      for dll in $imports; do
        case "$dll" in
          kernel32.dll|user32.dll|advapi32.dll|comctl32.dll|msvcrt.dll|gdi32.dll|api-ms-win-*) ;;
          *) bad="$bad $dll" ;;
        esac
      done
      if [ "$exports" = "VSTPluginMain main " ] && [ -z "$bad" ]; then
        echo "ok   $f exports: $exports imports: $imports"
      else
        echo "FAIL $f exports: $exports imports: $imports${bad:+ (not a system library:$bad)}"; status=1
      fi
      ;;
  esac
done
exit $status
