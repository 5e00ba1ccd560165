#!/usr/bin/env bash
# Reliability runs: the host runner drives the plug-in, the TCP transport and
# the file server (echo, operation 6) under load, with the file server killed
# and restarted during load, across repeated load-to-unload cycles, and in a
# hostile setting (no transport library, no log folder, the log file held by
# another process, a log client that declines every line, settings files that
# cannot be read or hold garbage). Every answer must arrive exactly once and
# in its session's order, and every command is counted: answered, or logged
# by the plug-in as dropped, one line each (answers + dropped = sent). The
# host must never see a failure: no crash, no hang, no sanitizer report.
# Each run prints one RESULT line (or more) with its figures.
#
# This script only picks the file that does the job:
#   reliability.sh all       reliability/all.sh: builds and runs every mode,
#                            then the fuzz runs (REL_QUICK=1: short versions;
#                            FUZZ_SECONDS=N per fuzz target)
#   reliability.sh fuzz      fuzz.sh: builds the fuzz preset, runs the targets
#   reliability.sh teardown BUILD_FOLDER [CYCLES]
#                            reliability/teardown.sh: late and in-flight transport
#                            callbacks and the unload-time release, 1,000 cycles
#                            each, from a build folder's test programs
#   reliability.sh --bin DIR --fileserver FILE --work DIR [--wine] [options] MODE
#                            reliability/MODE.sh with the other arguments; the
#                            shared command line is in lib/reliability-run.sh
# Modes: load, memory, faults, cycles, churn, flood, notransport, nologdir,
# heldlog, logclient, badsettings.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

[ "${1:-}" = teardown ] && { shift; exec bash "$here/reliability/teardown.sh" "$@"; }
mode= arguments=()
while [ $# -gt 0 ]; do
  case $1 in
    --wine) arguments+=("$1"); shift ;;
    --*) arguments+=("$1" "${2:-}"); shift; [ $# -gt 0 ] && shift ;;
    *) [ -z "$mode" ] || { echo "reliability: two modes given, $mode and $1" >&2; exit 1; }
       mode=$1; shift ;;
  esac
done
case $mode in
  all) exec bash "$here/reliability/all.sh" ;;
  fuzz) exec bash "$here/fuzz.sh" ;;
  load|memory|faults|cycles|churn|flood|notransport|nologdir|heldlog|logclient|badsettings)
    exec bash "$here/reliability/$mode.sh" "${arguments[@]}" ;;
  "") echo "usage: reliability.sh all | fuzz | --bin DIR --fileserver FILE --work DIR [--wine] [options] MODE" >&2
      exit 1 ;;
  *) echo "reliability: unknown mode $mode" >&2; exit 1 ;;
esac
