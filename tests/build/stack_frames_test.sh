#!/bin/sh
# Fails when a function of the real-time code (the container, the drivers,
# the platform layers; not tests, tools or benches) has a stack frame above
# LIMIT bytes or of unbounded size, as GCC's -fstack-usage reports them.
# Usage: stack_frames_test.sh BUILD_DIR SOURCE_DIR LIMIT
set -eu
build=$1 source=$2 limit=$3
files=$(find "$build" -name '*.su' | wc -l)
[ "$files" -gt 0 ] || { echo "no .su files in $build: was it built with -fstack-usage?"; exit 1; }
found=$(find "$build" -name '*.su' -exec cat {} + |
  awk -F'\t' -v src="$source/" -v limit="$limit" '
    index($1, src) == 1 {
      path = substr($1, length(src) + 1)
      if (path ~ /^(iohost|mbuslink|canbridge|ecatlink|canport|common|platform)\// && path !~ /\/tests\//)
        if ($2 + 0 > limit || $3 == "dynamic") print $2 " bytes (" $3 ") " $1
    }' | sort -u)
if [ -n "$found" ]; then
  echo "stack frames above $limit bytes, or unbounded, in code the real-time threads run:"
  echo "$found"
  exit 1
fi
echo "every frame of the real-time code is at most $limit bytes ($files files read)"
