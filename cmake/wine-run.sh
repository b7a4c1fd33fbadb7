#!/bin/sh
# Runs a Windows program under Wine for CTest. The first call starts a wine
# server that stays up 30 s after its last program ends, so the test programs
# that follow skip Wine's start-up; later calls find it running (a no-op).
"${WINESERVER:-wineserver}" -p30 </dev/null >/dev/null 2>&1 || true
exec "${PSP_WINE:-wine}" "$@"
