#!/usr/bin/env bash
# Without a usable display the program must end with 1 and tell the operator about
# --headless, rather than let Qt abort.   no_display.sh EXECUTABLE DISPLAY-VALUE
set -uo pipefail
stderr=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY="$2" "$1" /ENGLISH 2>&1 >/dev/null)
rc=$?
echo "$stderr"
[ "$rc" = 1 ] || { echo "FAIL: exit code $rc" >&2; exit 1; }
grep -q -- '--headless' <<<"$stderr" || { echo "FAIL: --headless not named" >&2; exit 1; }
