#!/usr/bin/env bash
# The benchmark command: the leftover sweep and the tree removal against their peers, under Wine.
#
#   bash scripts/bench.sh [--rounds N] [--limit SECONDS] [--depths "LEVELS..."]
#                         [--pending "P:D..."] [SIZE...]
#
# Builds the benchmark program (bench preset, optimised), then for each tree size (default 20000
# and 100000 entries) builds the planned tree once, and for each round (default 3) makes fresh
# copies of it with cp -a (not timed) and runs every variant once, in one program run, on its own
# copy. A slow peer (the cmd variants, the one-open walk) still running after the limit (default
# 30 s) is stopped and not run again at that size. Then times the tree removal of an in-memory
# chain of directories at each of the depths (default 2000 and 20000 levels) through the
# file-system call table, where no path limit applies, for its cost per entry. With --pending,
# for each case P:D and each round, times the tree removal of a folder of P files and D empty
# folders twice: with nobody holding the files, and with a second process holding them open (so
# that under Wine their names stay listed while the removal runs); given without SIZE, only this
# part runs. Prints the tables with the machine.
# The copies live in $VOXTREL_BENCH_SCRATCH (default /dev/shm, a RAM disk, so the disk's
# write-back does not blur the figures). With VOXTREL_BENCH_EXE set, that program is used as is
# (CTest does this); with VOXTREL_TEMPLATE_PREFIX set, that booted prefix is copied.
set -euo pipefail
source "$(dirname "$0")/lib/fixed-layout.sh"
cd "$(dirname "$0")/.."
source scripts/lib/wine.sh

rounds=3
limit=30
sizes=()
depths=(2000 20000)
pending=()
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --limit) limit=$2; shift 2 ;;
    --depths) read -ra depths <<<"$2"; shift 2 ;;
    --pending) read -ra pending <<<"$2"; shift 2 ;;
    -h | --help) sed -n '2,20p' "$0"; exit 0 ;;
    *) sizes+=("$1"); shift ;;
  esac
done
if ((${#pending[@]})); then
  ((${#sizes[@]})) || depths=()
else
  ((${#sizes[@]})) || sizes=(20000 100000)
fi
if ((rounds < 3)); then
  echo "bench.sh: a median needs at least 3 rounds" >&2
  exit 2
fi

exe=${VOXTREL_BENCH_EXE:-}
if [ -z "$exe" ]; then
  scripts/install-deps.sh
  cmake --preset bench >/dev/null
  cmake --build --preset bench
  exe=build/bench/bench/voxtrel-bench.exe
fi

scratch_parent=${VOXTREL_BENCH_SCRATCH:-/dev/shm}
[ -d "$scratch_parent" ] && [ -w "$scratch_parent" ] || scratch_parent=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$scratch_parent/voxtrel-bench.XXXXXX")
prefix=$(mktemp -d "${TMPDIR:-/tmp}/voxtrel-bench-prefix.XXXXXX")
cleanup() {
  wine_stop_prefix "$prefix"
  rm -rf "$scratch" "$prefix"
}
trap cleanup EXIT

export WINEPREFIX=$prefix
if [ -n "${VOXTREL_TEMPLATE_PREFIX:-}" ]; then
  wine_copy_prefix "$VOXTREL_TEMPLATE_PREFIX" "$prefix"
else
  wine_boot_prefix "$prefix"
fi
wine_start_prefix "$prefix"

bench() { wine "$exe" "$@"; }
results=$scratch/results.tsv
: >"$results"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

for size in "${sizes[@]}"; do
  master=$scratch/master
  echo "Building the tree of $size entries..."
  bench generate "$(unix_to_windows "$master")" "$size"
  for ((round = 1; round <= rounds; round++)); do
    copies=$scratch/copies
    mkdir "$copies"
    for copy in listing remove-tree remove-tree-progress remove-all cmd-rmdir naive; do
      cp -a "$master" "$copies/$copy"
    done
    bench round "$size" "$round" "$(unix_to_windows "$copies")" \
      "$(unix_to_windows "$results")" "$limit"
    rm -rf "$copies"
  done
  rm -rf "$master"
done

if ((${#depths[@]})); then
  echo
  echo "Tree removal of a chain of directories, through the call table (3 runs per depth):"
  for depth in "${depths[@]}"; do bench depth "$depth" "$depth" "$depth"; done
fi

if ((${#pending[@]})); then
  echo
  echo "Tree removal with files pending deletion (P:D = ${pending[*]}):"
  for ((round = 1; round <= rounds; round++)); do
    trees=$scratch/pending
    mkdir "$trees"
    bench pending "$round" "$(unix_to_windows "$trees")" "$(unix_to_windows "$results")" \
      "${pending[@]}"
    rm -rf "$trees"
  done
fi

echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')," \
  "$(wine --version 2>/dev/null), scratch on $(df --output=fstype "$scratch" | tail -1)," \
  "load average $load_before at the start and $(cut -d' ' -f1-3 /proc/loadavg) at the end."
# The report ends with 1 when a variant did not do the whole job. A peer that cannot is a finding
# of the comparison, shown in its table (std::filesystem::remove_all deletes no read-only file,
# which the removal copies keep where the extended disposition is accepted: Wine 10, Windows);
# the tool's own variants and the references must do it.
status=0
bench report "$(unix_to_windows "$results")" || status=$?
if ((status == 1)); then
  short=$(tr -d '\r' <"$results" | awk -F'\t' 'NF == 6 && $4 == "incomplete" { print $2 }' | sort -u)
  if [ -n "$short" ] && ! grep -qvxE 'remove-all|cmd-rmdir|cmd-dir|one-open' <<<"$short"; then
    echo "Peers that did not do the whole job here: $(tr '\n' ' ' <<<"$short")(not the tool's, not a reference)."
    status=0
  fi
fi
exit "$status"
