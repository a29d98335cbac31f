#!/bin/sh
# Runs a Windows test program under Wine in a prefix of its own, on the
# display and audio server of the scripts/session it runs in: the prefix's
# wineserver is ended before (it may belong to another display) and after.
#   in-session.sh PREFIX PROGRAM [ARGS...]
prefix=$1
shift
export DESKVID_WINEPREFIX=$prefix
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
"$(dirname "$0")/../../cmake/wine-run.sh" "$@"
status=$?
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
exit $status
