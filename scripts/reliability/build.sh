#!/usr/bin/env bash
# Builds what the reliability modes need, natively with AddressSanitizer and
# UndefinedBehaviorSanitizer (the "native" preset's settings), in FOLDER
# (build/reliability-native by default): the host runner, the file holder,
# the plug-in, the TCP transport, the log client, the file server, the
# in-process reliability_test and, for the teardown mode, the transport
# double with the case runner and the suite it runs. The programs land in
# FOLDER/bin.
#   reliability/build.sh [FOLDER]
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/reliability-native}
cd "$root" || exit 1
cmake --preset native -B "$build" >/dev/null &&
  cmake --build "$build" -j2 --target velmora-host velmora-holdfile velmora_plugin \
    velmora_transport_tcp logclient velmora-fileserver reliability_test \
    velmora_transport_double velmora_cases unload_test
