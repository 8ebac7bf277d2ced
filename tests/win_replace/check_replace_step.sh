#!/bin/bash
# The program links the real replace step and no stand-in; the failure-state
# test program links the stand-in.
#   check_replace_step.sh <nm> <Quorvane.exe> <failure-state test program>
set -u
nm=$1 exe=$2 tests=$3
export LC_ALL=C
fail=0
symbols() { "$nm" -C "$1" 2>/dev/null; }
if ! symbols "$exe" | grep -q ' T PlatformReplaceStep('; then
    echo "FAIL: $exe has no replace step"; fail=1
fi
if symbols "$exe" | grep -q 'StandIn'; then
    echo "FAIL: $exe contains the replace step's stand-in"; fail=1
fi
if ! symbols "$tests" | grep -q ' T StandIn()'; then
    echo "FAIL: $tests does not contain the stand-in"; fail=1
fi
[ "$fail" -eq 0 ] && echo "ok: the program has the real replace step, the tests the stand-in"
exit "$fail"
