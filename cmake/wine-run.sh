#!/bin/sh
# Runs a Windows program under Wine for CTest. The first call starts a wine
# server that stays up 30 s after its last program ends, and boots the prefix
# with its standard streams on /dev/null, so that Wine's own background
# processes never hold a test's output pipe open; the test programs that
# follow skip Wine's start-up. The lock keeps parallel first calls in line and
# is not passed on to the processes started under it.
wineserver=${WINESERVER:-wineserver}
wine=${PSP_WINE:-wine}
(
  flock 9
  if "$wineserver" -p30 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"${WINEPREFIX:?}.lock"
exec "$wine" "$@"
