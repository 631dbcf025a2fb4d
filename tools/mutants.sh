#!/usr/bin/env bash
# Mutation check: puts one known fault at a time into a scratch copy of the tree, rebuilds it and
# runs the tests that should notice, to show which real faults the tests catch.
# The faults are the rows of tools/mutants.tsv (see the header of that file and docs/testing.md).
#
# Usage: tools/mutants.sh [-j N] [--all] [--list] [--check] [--markdown] [--timeout S]
#                         [--no-baseline] [--random SEED COUNT] [MUTANT_ID...]
#   -j N           parallel build jobs (default 1)
#   --random SEED COUNT
#                  mutants drawn at random over src/ with that seed (tools/mutants-draw.py) instead of
#                  the list, run against every test until COUNT of them have compiled; one that does
#                  not compile is passed over and the next one drawn; a run stopped part way
#                  goes on where it stopped if the tracked files are as they were
#   --all          run every test for each mutant, not only the ones its row names
#   --list         print the mutants and stop
#   --check        only tell, for each mutant, whether its text occurs once in its file (no build)
#   --markdown     print the table in Markdown
#   --timeout S    seconds a mutant's tests may take before it counts as killed by timeout (600)
#   --no-baseline  skip the run of the chosen tests on the unchanged tree
# The mutants run in the order of the list. SCRATCH (default build-mutants) holds the copy
# (src-tree), its build and the logs; it is kept between runs, so later runs rebuild only what
# changed. MUTANTS names another list.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list=${MUTANTS:-$root/tools/mutants.tsv}
scratch=$(mkdir -p "${SCRATCH:-$root/build-mutants}" && cd "${SCRATCH:-$root/build-mutants}" && pwd)
tree=$scratch/src-tree build=$scratch/build logs=$scratch/logs
jobs=1 all=0 listonly=0 checkonly=0 markdown=0 timeout=600 baseline=1 seed="" wanted_count=0
wanted=()
while [ $# -gt 0 ]; do
  case $1 in
    -j) jobs=$2; shift ;;
    -j*) jobs=${1#-j} ;;
    --all) all=1 ;;
    --list) listonly=1 ;;
    --check) checkonly=1 ;;
    --markdown) markdown=1 ;;
    --timeout) timeout=$2; shift ;;
    --no-baseline) baseline=0 ;;
    --random) seed=$2 wanted_count=$3 all=1; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) wanted+=("$1") ;;
  esac
  shift
done

# Texts in the list may hold \t, \n and \\ so that one row can replace several lines.
unescape() {
  local s=${1//\\\\/$'\x01'}
  s=${s//\\t/$'\t'}
  s=${s//\\n/$'\n'}
  printf '%s' "${s//$'\x01'/\\}"
}

# Random mutants: drawn four times over, since many do not compile.
if [ -n "$seed" ]; then
  command -v python3 >/dev/null || "$root/tools/install-packages.sh" python3
  list=$scratch/random-$seed.tsv
  python3 "$root/tools/mutants-draw.py" "$seed" $((wanted_count * 4)) --root "$root" >"$list"
fi

# Reads the list into arrays; the tabs become \x1f first because read would merge empty columns.
ids=() files=() froms=() tos=() tests=() descs=()
while IFS= read -r line || [ -n "$line" ]; do
  case $line in '#'* | '') continue ;; esac
  IFS=$'\x1f' read -r id file from to test desc <<<"${line//$'\t'/$'\x1f'}"
  if [ ${#wanted[@]} -gt 0 ] && [[ " ${wanted[*]} " != *" $id "* ]]; then continue; fi
  ids+=("$id") files+=("$file") froms+=("$(unescape "$from")") tos+=("$(unescape "$to")")
  tests+=("$test") descs+=("$desc")
done <"$list"
for w in "${wanted[@]}"; do
  [[ " ${ids[*]} " == *" $w "* ]] || { echo "no mutant named $w in $list" >&2; exit 2; }
done

if [ $listonly = 1 ]; then
  for i in "${!ids[@]}"; do
    printf '%-24s %-46s %-22s %s\n' "${ids[$i]}" "${files[$i]}" "${tests[$i]:-(all)}" "${descs[$i]}"
  done
  exit 0
fi

# Whether the text $2 occurs exactly once in the file $1; if not, $why says so. $content keeps the file.
applies() {
  why=""
  [ -f "$1" ] || { why="no such file"; return 1; }
  content=$(cat "$1"; printf x) && content=${content%x}
  local rest=${content//"$2"/}
  local count=$(( ${#2} ? (${#content} - ${#rest}) / ${#2} : 0 ))
  [ "$count" = 1 ] && return 0
  [ "$count" = 0 ] && why="text not found" || why="text not unique"
  return 1
}

if [ $checkonly = 1 ]; then
  failed=0
  for i in "${!ids[@]}"; do
    applies "$root/${files[$i]}" "${froms[$i]}" || { echo "BAD ($why): ${ids[$i]} ${files[$i]}"; failed=1; }
  done
  [ $failed = 0 ] && echo "all ${#ids[@]} mutants apply"
  exit $failed
fi

row() { # id file result seconds
  if [ $markdown = 1 ]; then printf '| %s | `%s` | %s | %s |\n' "$@"
  else printf '%-24s %-46s %-40s %6s\n' "$@"; fi
}

# Scratch copy of the tracked files as they are in the working tree. No times are copied: a file
# whose content changed gets a new time and is rebuilt, one left as it was keeps its time.
command -v rsync >/dev/null || "$root/tools/install-packages.sh" rsync
mkdir -p "$tree" "$logs"
(cd "$root" && git ls-files -z) >"$scratch/files.lst"
rsync -rlp --checksum --ignore-missing-args --from0 --files-from="$scratch/files.lst" "$root/" "$tree/"
# Files no longer tracked would still be picked up by the build's globs.
(cd "$tree" && find . -type f -printf '%P\n' | sort) >"$scratch/have.lst"
tr '\0' '\n' <"$scratch/files.lst" | sort | comm -23 "$scratch/have.lst" - | (cd "$tree" && xargs -r -d '\n' rm -f)

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
if [ ! -f "$build/CMakeCache.txt" ]; then
  config=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  command -v ninja >/dev/null && config+=(-G Ninja)
  command -v ccache >/dev/null && config+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$tree" -B "$build" "${config[@]}" >"$logs/configure.log" 2>&1 ||
    { echo "configure failed, see $logs/configure.log" >&2; exit 1; }
fi
echo "building the unchanged tree in $build ..." >&2
cmake --build "$build" -j "$jobs" >"$logs/build.log" 2>&1 ||
  { echo "the unchanged tree does not build, see $logs/build.log" >&2; exit 1; }

# (Not a pipe into grep -q: with pipefail, ctest killed by the closed pipe would fail the test.)
stop_flag=()
[[ $(ctest --help) == *--stop-on-failure* ]] && stop_flag=(--stop-on-failure)

# Runs the tests matching $1 (empty: all), stopping at the first failure; prints the first
# failing test and its kind of failure, or nothing when all passed. Output goes to $2.
run_tests() {
  local regex=$1 out=$2 rc=0 select=()
  [ -n "$regex" ] && select=(-R "$regex")
  : >"$out"
  if [ ${#stop_flag[@]} -gt 0 ] && [ -z "$regex" ]; then
    # Every test: the quick ones first, the crash program's long parts only if they all pass.
    timeout -k 10 "$timeout" ctest --test-dir "$build" -j "$jobs" -E '^crash_' "${stop_flag[@]}" >"$out" 2>&1 || rc=$?
    [ $rc = 0 ] &&
      { timeout -k 10 "$timeout" ctest --test-dir "$build" -j "$jobs" -R '^crash_' "${stop_flag[@]}" >>"$out" 2>&1 || rc=$?; }
  elif [ ${#stop_flag[@]} -gt 0 ]; then
    timeout -k 10 "$timeout" ctest --test-dir "$build" "${select[@]}" "${stop_flag[@]}" >"$out" 2>&1 || rc=$?
  else # one at a time, in ctest's order, stopping at the first failure
    local names t
    names=$(ctest --test-dir "$build" -N "${select[@]}" | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p')
    for t in $names; do
      timeout -k 10 "$timeout" ctest --test-dir "$build" -R "^$t\$" >>"$out" 2>&1 || { rc=$?; break; }
    done
  fi
  if [ $rc = 124 ] || [ $rc = 137 ]; then echo "timeout after ${timeout} s"; return; fi
  grep -q 'No tests were found' "$out" && { echo "NO TEST MATCHES"; return; }
  [ $rc = 0 ] && return
  sed -nE 's/.*Test +#[0-9]+: ([^ ]+) \.*[^*]*\*+([A-Za-z]+(: [A-Za-z]+)?).*/\1 (\2)/p' "$out" | head -1 | grep . ||
    echo "ctest failed (exit $rc)"
}

regex_of() { [ $all = 1 ] && return; printf '%s' "${tests[$1]}"; }

# A drawn mutant runs the tests whose programs link the code of its file (tools/mutants-tests.py;
# a test that never runs that code cannot notice the fault), the quick ones first and the crash
# program's parts only if those all pass; prints the result as run_tests does.
run_linked() { # file log
  local sel=() rc=0
  mapfile -t sel < <(python3 "$root/tools/mutants-tests.py" "$build" "$1")
  if [ -z "${sel[0]:-}" ] && [ -z "${sel[1]:-}" ]; then echo ""; return; fi
  : >"$2"
  if [ -n "${sel[0]:-}" ]; then
    timeout -k 10 "$timeout" ctest --test-dir "$build" -j "$jobs" -R "${sel[0]}" "${stop_flag[@]}" >>"$2" 2>&1 || rc=$?
  fi
  if [ $rc = 0 ] && [ -n "${sel[1]:-}" ]; then
    timeout -k 10 "$timeout" ctest --test-dir "$build" -j "$jobs" -R "${sel[1]}" "${stop_flag[@]}" >>"$2" 2>&1 || rc=$?
  fi
  if [ $rc = 124 ] || [ $rc = 137 ]; then echo "timeout after ${timeout} s"; return; fi
  [ $rc = 0 ] && return
  sed -nE 's/.*Test +#[0-9]+: ([^ ]+) \.*[^*]*\*+([A-Za-z]+(: [A-Za-z]+)?).*/\1 (\2)/p' "$2" | head -1 | grep . ||
    echo "ctest failed (exit $rc)"
}

# The names of the tests that the regex $1 selects.
tests_of() {
  ctest --test-dir "$build" -N -R "$1" | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p'
}

resuming=0
if [ -n "$seed" ]; then
  results=$logs/random-$seed.results
  digest=$(cd "$tree" && tr '\n' '\0' <"$scratch/have.lst" | xargs -0 sha1sum | sha1sum | cut -c1-16)
  [ "$(head -n1 "$results" 2>/dev/null)" = "# files $digest" ] && resuming=1
fi

if [ $baseline = 1 ] && [ $resuming = 0 ]; then
  # The union as one group of names: ctest's regexes allow only a few groups. An empty regex
  # (or --all) means every test.
  union="" names=() everything=0
  for i in "${!ids[@]}"; do
    [ -n "$(regex_of "$i")" ] || { everything=1; break; }
  done
  if [ $everything = 0 ]; then
    while IFS= read -r r; do
      names+=($(tests_of "$r"))
    done < <(for i in "${!ids[@]}"; do regex_of "$i"; echo; done | sort -u)
    union="^($(printf '%s\n' "${names[@]}" | sort -u | paste -sd '|'))\$"
  fi
  echo "baseline: running ${union:-all tests} on the unchanged tree ..." >&2
  failed=$(run_tests "$union" "$logs/baseline.log")
  [ -z "$failed" ] || { echo "baseline fails: $failed, see $logs/baseline.log" >&2; exit 1; }
fi

# The file being mutated is put back whatever happens, with a new time so the next build
# compiles it again.
current=""
restore() { [ -n "$current" ] && cp "$scratch/saved" "$tree/$current" && touch "$tree/$current"; current=""; }
trap 'restore' EXIT
trap 'restore; exit 130' INT TERM

# A random run keeps its results under a digest of the tracked files, written once the baseline
# has passed: run again on the same files, it reports the mutants already run as they were and
# goes on with the rest.
declare -A earlier=()
if [ -n "$seed" ]; then
  if [ $resuming = 1 ]; then
    while IFS=$'\t' read -r id result _; do earlier[$id]=$result; done < <(tail -n +2 "$results")
  else
    echo "# files $digest" >"$results"
  fi
fi

[ $markdown = 1 ] && printf '| Mutant | File | Killed by | Seconds |\n|---|---|---|---:|\n'
[ $markdown = 1 ] || row MUTANT FILE "KILLED BY" SECONDS
killed=0 total=0 survivors=() bad=() uncompiled=0
for i in "${!ids[@]}"; do
  [ -n "$seed" ] && [ $total -ge "$wanted_count" ] && break
  id=${ids[$i]} file=${files[$i]} from=${froms[$i]} to=${tos[$i]} start=$SECONDS
  if [ -n "${earlier[$id]:-}" ]; then
    result=${earlier[$id]} total=$((total + 1))
    case $result in SURVIVED) survivors+=("$id") ;; "NO TEST MATCHES") total=$((total - 1)) ;; *) killed=$((killed + 1)) ;; esac
    row "$id" "$file" "$result" "(earlier)"
    continue
  fi
  if ! applies "$tree/$file" "$from"; then row "$id" "$file" "BAD ($why)" 0; bad+=("$id"); continue; fi
  cp -p "$tree/$file" "$scratch/saved" && current=$file
  printf '%s' "${content/"$from"/"$to"}" >"$tree/$file"
  total=$((total + 1))
  if ! cmake --build "$build" -j "$jobs" >"$logs/$id.build.log" 2>&1; then
    if [ -n "$seed" ]; then # drawn again: the next row takes its place
      restore
      total=$((total - 1)) uncompiled=$((uncompiled + 1))
      continue
    fi
    result="BUILD FAILS (killed by the compiler)"
  else
    if [ -n "$seed" ]; then
      result=$(run_linked "$file" "$logs/$id.test.log")
    else
      result=$(run_tests "$(regex_of "$i")" "$logs/$id.test.log")
    fi
    [ -z "$result" ] && result=SURVIVED
  fi
  restore
  case $result in
    SURVIVED) survivors+=("$id") ;;
    "NO TEST MATCHES") bad+=("$id"); total=$((total - 1)) ;;
    *) killed=$((killed + 1)) ;;
  esac
  row "$id" "$file" "$result" $((SECONDS - start))
  [ -n "$seed" ] && printf '%s\t%s\t%s\n' "$id" "$result" "${descs[$i]}" >>"$results"
done

echo
echo "killed: $killed / $total${survivors:+; survived: ${survivors[*]}}${bad:+; not applied: ${bad[*]}}"
[ -n "$seed" ] && echo "drawn with seed $seed: $uncompiled did not compile and were drawn again"
echo "logs: $logs"
[ ${#survivors[@]} = 0 ] && [ ${#bad[@]} = 0 ]
