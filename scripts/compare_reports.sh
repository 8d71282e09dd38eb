#!/usr/bin/env bash
# Runs two clipwalk binaries on every fixture at the same command lines and compares their
# standard output and exit status (not standard error): seeks 0, 1.3, 2.04, 99 and -1 s,
# 60 steps, budgets 0, 1 and 256 MiB, each run bounded by a timeout (status 124 when it hits).
# Prints one line per run that differs, followed by a short unified diff of the reports (or
# the two statuses), then "N runs, M differ"; exits 0 when nothing differs, 1 otherwise.
#
#   scripts/compare_reports.sh OLD_BINARY NEW_BINARY FIXTURE_DIR [OUT_DIR]
#
# FIXTURE_DIR is what scripts/make_fixtures.sh wrote (build/fixtures after
# ./scripts/test.sh --quick). Every file in it is run, damaged ones included, except hidden
# files and lists (.txt, .json, .csv, .log). OUT_DIR (default: a new mktemp directory) gets
# old/ and new/, holding each run's raw stdout, stderr and status as FIXTURE/SEEK_BUDGET.*.
# Runs have an empty scratch directory as their working directory and cache home, so nothing
# lands in the repository; no PPM path is given, so the tool writes no picture.
#
# The only field filtered before comparing is the prescan's time ("prescan   : N frames in
# 0.02s"): it is a wall-clock measurement and differs from run to run. Everything else the
# report prints (stamps, counts, PASS/FAIL, mismatch and last-error lines) is compared as is.
#
# CLIPWALK_OLD_CACHE=DIR keeps the old binary's raw outputs in DIR and reuses them on later
# runs, so a newer binary can be compared again without running the old one: an entry is
# reused while the old binary and the fixture have the same SHA-256 as when it was made
# (a different old binary is refused). CLIPWALK_COMPARE_TIMEOUT sets the timeout in seconds
# (default 120).
set -euo pipefail

if [[ $# -lt 3 || $# -gt 4 ]]; then
  echo "usage: $0 OLD_BINARY NEW_BINARY FIXTURE_DIR [OUT_DIR]" >&2
  exit 2
fi
old_bin=$(realpath -m "$1")
new_bin=$(realpath -m "$2")
fixtures=$(realpath -m "$3")
timeout_s=${CLIPWALK_COMPARE_TIMEOUT:-120}
old_cache=${CLIPWALK_OLD_CACHE:-}

for bin in "$old_bin" "$new_bin"; do
  if [[ ! -x $bin ]]; then
    echo "not an executable: $bin" >&2
    exit 2
  fi
done
if [[ ! -d $fixtures ]]; then
  echo "not a directory: $fixtures" >&2
  exit 2
fi

seeks=(0 1.3 2.04 99 -1)
budgets=(0 1 256)
steps=60

scratch=$(mktemp -d "${TMPDIR:-/tmp}/compare_reports_cwd.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# The old binary's outputs go to the cache when one is named; OUT_DIR/old then points at it.
if [[ -n $old_cache ]]; then
  old_sum=$(sha256sum "$old_bin" | cut -d' ' -f1)
  if [[ -e $old_cache/binary.sha256 && $(cat "$old_cache/binary.sha256") != "$old_sum" ]]; then
    echo "$old_cache holds the outputs of another old binary; name an empty folder" >&2
    exit 2
  fi
fi
out=${4:-$(mktemp -d "${TMPDIR:-/tmp}/compare_reports.XXXXXX")}
mkdir -p "$out"
out=$(realpath "$out")
if [[ -n $old_cache ]]; then
  mkdir -p "$old_cache"
  old_cache=$(realpath "$old_cache")
  echo "$old_sum" >"$old_cache/binary.sha256"
  echo "$old_bin" >"$old_cache/binary.path"
  if [[ ! -e $out/old ]]; then ln -s "$old_cache" "$out/old"; fi
  old_dir=$old_cache
else
  old_dir=$out/old
fi
new_dir=$out/new

# run BINARY DIR FIXTURE SEEK BUDGET: one run into DIR/FIXTURE/SEEK_BUDGET.{out,err,rc}.
run() {
  local bin=$1 dir=$2 name=$3 seek=$4 budget=$5
  local base="$dir/$name/${seek}_$budget" status=0
  mkdir -p "$dir/$name"
  (cd "$scratch" && HOME=$scratch XDG_CACHE_HOME=$scratch/cache \
    timeout -k 5 "$timeout_s" "$bin" "$fixtures/$name" "$seek" "$steps" "$budget" \
    >"$base.out" 2>"$base.err" </dev/null) || status=$?
  echo "$status" >"$base.rc"
  local left
  left=$(find "$scratch" -mindepth 1 -maxdepth 1 -printf '%f ')
  if [[ -n $left ]]; then
    echo "warning: $bin left files in its working directory on $name $seek $budget: $left" >&2
    find "$scratch" -mindepth 1 -delete
  fi
}

# The report with its wall-clock field blanked.
filtered() { sed -E 's/^(prescan   : [0-9]+ frames in )[0-9.]+s /\1*s /' "$1"; }

names=()
while IFS= read -r -d '' path; do
  name=${path##*/}
  case $name in
    .* | *.txt | *.json | *.csv | *.log) continue ;;
  esac
  names+=("$name")
done < <(find "$fixtures" -maxdepth 1 -type f -print0 | sort -z)
if [[ ${#names[@]} -eq 0 ]]; then
  echo "no fixtures in $fixtures" >&2
  exit 2
fi

started=$SECONDS
runs=0
differ=0
for name in "${names[@]}"; do
  if [[ -n $old_cache ]]; then
    sum=$(sha256sum "$fixtures/$name" | cut -d' ' -f1)
    if [[ ! -e $old_dir/$name/fixture.sha256 || $(cat "$old_dir/$name/fixture.sha256") != "$sum" ]]; then
      rm -rf "${old_dir:?}/$name"
      mkdir -p "$old_dir/$name"
      echo "$sum" >"$old_dir/$name/fixture.sha256"
    fi
  fi
  for seek in "${seeks[@]}"; do
    for budget in "${budgets[@]}"; do
      base="${seek}_$budget"
      if [[ -z $old_cache || ! -e $old_dir/$name/$base.rc ]]; then
        run "$old_bin" "$old_dir" "$name" "$seek" "$budget"
      fi
      run "$new_bin" "$new_dir" "$name" "$seek" "$budget"
      runs=$((runs + 1))
      old_rc=$(cat "$old_dir/$name/$base.rc")
      new_rc=$(cat "$new_dir/$name/$base.rc")
      report_diff=$(diff -U1 --label old --label new <(filtered "$old_dir/$name/$base.out") \
        <(filtered "$new_dir/$name/$base.out") || true)
      if [[ $old_rc != "$new_rc" || -n $report_diff ]]; then
        differ=$((differ + 1))
        what="status $old_rc -> $new_rc"
        [[ $old_rc == "$new_rc" ]] && what="status $old_rc in both"
        [[ -n $report_diff ]] && what="$what, stdout differs"
        echo "DIFFERS $name seek=$seek budget=${budget}MiB: $what"
        if [[ -n $report_diff ]]; then
          tail -n +3 <<<"$report_diff" | head -n 16 | sed 's/^/    /'
        fi
      fi
    done
  done
done

echo "outputs in $out ($((SECONDS - started)) s)"
echo "$runs runs, $differ differ"
[[ $differ -eq 0 ]]
