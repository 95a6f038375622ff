#!/bin/sh
# Retrains the network with the command recorded in tools/train-ombrel/README.md
# into a temporary folder, reports how long it took, and checks that the four
# weight files equal the committed data/lw1.wei ... data/lw4.wei byte for byte.
#
#   bench/digits/reproduce_weights.sh [BUILD_DIR]     (from the repository root; default: build)
set -eu
bin="${1:-build}/bin"
[ -x "$bin/train-ombrel" ] || { echo "reproduce_weights.sh: $bin/train-ombrel is not built" >&2; exit 1; }
[ -f data/train-images-idx3-ubyte ] && [ -f data/train-labels-idx1-ubyte ] || "$bin/fetch-digits"
options=$(sed -n 's|^    build/bin/train-ombrel ||p' tools/train-ombrel/README.md)
[ -n "$options" ] || { echo "reproduce_weights.sh: no command in tools/train-ombrel/README.md" >&2; exit 1; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
start=$(date +%s.%N)
# shellcheck disable=SC2086 # the options are words
"$bin/train-ombrel" $options --out "$out" | tail -n 2
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "training took %.0f s\n", e - s }'
status=0
for file in lw1.wei lw2.wei lw3.wei lw4.wei; do
  if cmp -s "$out/$file" "data/$file"; then echo "$file: same as committed"; else echo "$file: DIFFERS from committed"; status=1; fi
done
exit $status
