#!/usr/bin/env bash
# Runs the unit-test program in one shard per core at once (GoogleTest's
# GTEST_TOTAL_SHARDS and GTEST_SHARD_INDEX), each through tools/run32.sh,
# and fails when any shard fails. Each shard prints its own failures and
# summary.
#
#   tools/unit-tests.sh PROGRAM [GTEST-ARGUMENT...]
set -uo pipefail

here=${0%/*}
shards=$(nproc)
pids=()
for ((index = 0; index < shards; ++index)); do
    GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$index ASAN_OPTIONS=detect_leaks=0 \
        "$here/run32.sh" "$@" &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
exit $status
