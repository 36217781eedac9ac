#!/bin/sh
# Runs the patch_fuzz libFuzzer target for a while.
#
#   run.sh FUZZER HOSTS_DIR WORK_DIR [SECONDS] [libFuzzer options...]
#
# The test host programs in HOSTS_DIR seed WORK_DIR/corpus, which keeps
# growing from run to run. Inputs that crash, hang or exhaust memory are
# written to WORK_DIR/artifacts/. Exits non-zero when libFuzzer found any.
set -eu

if [ $# -lt 3 ]; then
  echo "usage: $0 FUZZER HOSTS_DIR WORK_DIR [SECONDS] [libFuzzer options...]" >&2
  exit 2
fi
fuzzer=$1 hosts=$2 work=$3
seconds=${4:-600}
shift 3
if [ $# -gt 0 ]; then shift; fi

corpus=$work/corpus
artifacts=$work/artifacts
mkdir -p "$corpus" "$artifacts"
seeds=0
for f in "$hosts"/*.exe "$hosts"/*.dll; do
  [ -f "$f" ] || continue
  cp "$f" "$corpus/seed-$(basename "$f")"
  seeds=$((seeds + 1))
done
if [ "$seeds" = 0 ]; then
  echo "$0: no test host programs (*.exe) in $hosts" >&2
  exit 2
fi

# -timeout: one input taking this long is a hang. The memory limit catches
# inputs that make the patcher allocate without bound. UBSan reports end the
# run anyway (-fno-sanitize-recover); this adds their stack.
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export UBSAN_OPTIONS
echo "fuzzing for ${seconds}s; corpus $corpus, crash inputs in $artifacts/"
exec "$fuzzer" \
  -max_total_time="$seconds" \
  -timeout=25 \
  -rss_limit_mb=2048 \
  -print_final_stats=1 \
  -dict="$(dirname "$0")/patch.dict" \
  -artifact_prefix="$artifacts/" \
  "$@" \
  "$corpus"
