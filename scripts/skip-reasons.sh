#!/usr/bin/env bash
# skip-reasons.sh BUILD: after a ctest run in BUILD, names each skipped test with the reason it
# gave (its GTEST_SKIP message), so that a summary's "(Skipped)" says why.
log=${1:-build}/Testing/Temporary/LastTest.log
[ -f "$log" ] || exit 0
awk '
  /: Skipped$/ { if ((getline reason) <= 0 || reason == "") reason = "(no reason given)"; next }
  /^\[  SKIPPED \] [^ ]+ \([0-9]+ ms\)$/ {
    if (!shown++) print "Skipped tests, and why:"
    print "  " $4 ": " (reason == "" ? "(no reason given)" : reason)
    reason = ""
  }
' "$log"
