#!/usr/bin/env bash
# Checks Windows extension modules (.pyd) before they are tested or shipped:
#   - the only export is PyInit_<module name>;
#   - the interpreter is reached through python3.dll alone (the stable ABI), and abi3audit finds nothing outside
#     the stable ABI of 3.10;
#   - every other imported DLL is the bundled libusb (by its own name) or a DLL that every Windows has.
# Usage: check-modules.sh MODULE.pyd... LIBUSB_DLL_NAME   (expects windows_prepare's WIN_TOOLS in the environment,
# or build/windows/tools)
set -euo pipefail
args=("$@")
libusb="${args[-1]}"
unset 'args[-1]'
tools="${WIN_TOOLS:-$(cd "$(dirname "$0")/../.." && pwd)/build/windows/tools}"
# System DLLs: the Win32 API and the C runtime that every Windows ships (mingw-w64 links msvcrt.dll).
system_dlls="kernel32.dll msvcrt.dll winmm.dll advapi32.dll user32.dll ws2_32.dll"
status=0
for pyd in "${args[@]}"; do
  name=$(basename "$pyd" .pyd)
  dump=$(x86_64-w64-mingw32-objdump -p "$pyd")
  exports=$(awk '/Ordinal\/Name Pointer/ {t=1; next} t && /^[ \t]*\[/ {print $NF} t && /^[ \t]*$/ {t=0}' <<<"$dump")
  if [ "$exports" != "PyInit_$name" ]; then
    echo "$pyd: exports $(echo $exports), not PyInit_$name alone" >&2
    status=1
  fi
  dlls=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
  for dll in $dlls; do
    lower=$(tr 'A-Z' 'a-z' <<<"$dll")
    case " python3.dll $(tr 'A-Z' 'a-z' <<<"$libusb") $system_dlls " in
      *" $lower "*) ;;
      *) echo "$pyd: imports $dll, which is neither bundled nor part of Windows" >&2; status=1 ;;
    esac
  done
  grep -qx python3.dll <<<"$dlls" || { echo "$pyd: does not import python3.dll" >&2; status=1; }
  if ! "$tools/bin/abi3audit" --strict --assume-minimum-abi3 3.10 --report -o "$pyd.abi3audit.json" "$pyd" \
         >/dev/null 2>&1 ||
     ! "$tools/bin/python" - "$pyd.abi3audit.json" <<'PY'
import json, sys
(spec,) = json.load(open(sys.argv[1]))["specs"].values()
r = spec["object"]["result"]
assert r["is_abi3"] and r["baseline"] == "3.10" and r["computed"] <= "3.10", r
assert not r["non_abi3_symbols"] and not r["future_abi3_objects"], r
PY
  then
    echo "$pyd: abi3audit found symbols outside the stable ABI of 3.10 (report: $pyd.abi3audit.json)" >&2
    status=1
  fi
  echo "  $(basename "$pyd"): exports PyInit_$name; imports $(echo $dlls | tr ' ' ','); abi3audit: stable ABI 3.10"
done
exit $status
