#!/usr/bin/env bash
# Instructions per entry of each listing loop, counted by callgrind (stable
# on a loaded machine). Usage: bench/count.sh BUILD_DIR [FORMAT...]
set -euo pipefail
bin=$1/bench/count_list
shift
formats=("${@:-newc odc bin}")
readers="mem bounded blocks512 blocks4096 blocks65536 floor"
"$bin" newc libarchive >/dev/null 2>&1 && readers="$readers libarchive"
for f in ${formats[@]}; do
    for r in $readers; do
        out=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect=measured_loop "$bin" "$f" "$r" 2>&1)
        entries=$(printf '%s\n' "$out" | sed -n 's/^\([0-9]*\) entries.*/\1/p')
        total=$(printf '%s\n' "$out" | sed -n 's/.*Collected : \([0-9]*\).*/\1/p')
        printf '%s\t%s\t%s\n' "$f" "$r" "$(awk -v t="$total" -v n="$entries" 'BEGIN { printf "%.1f", t / n }')"
    done
done
