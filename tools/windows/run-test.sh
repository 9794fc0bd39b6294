#!/usr/bin/env bash
# Runs a Windows test program under Wine and prints its results: under Wine, a Qt test's own
# output does not reach the Linux side, so it is written to a file and shown from there.
#
#     tools/windows/run-test.sh PROGRAM.exe [ARGUMENTS…]
set -uo pipefail
program=${1:?uso: run-test.sh PROGRAMA.exe [ARGUMENTOS…]}
shift
results=$(mktemp --suffix=.txt)
trap 'rm -f "$results"' EXIT
wine "$program" -o "$(winepath -w "$results")",txt "$@"
status=$?
cat "$results"
exit $status
