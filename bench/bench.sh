#!/usr/bin/env bash
# Times velkor-dpapi's protect and unprotect on random secrets of 1 MiB, 4 MiB and 16 MiB less
# 4 KiB, against two common pipelines on the same hex input:
#   xxd -r -p | xxd -p     decodes and encodes hex, in two processes
#   cat | cat              only moves the bytes
# Every command is fed and drained through pipes, as the wallet drives the tool:
#   cat INPUT | COMMAND | cat > /dev/null
# Prints the median wall time (hyperfine), the time per secret byte, the peak resident memory of
# the command's largest process (/usr/bin/time), and the tool's time over each peer's.
# Then many small secrets: 200 unseals of 32-byte secrets through one `session`, against 200
# one-shot `unprotect` calls and against one, side by side. Last, what the Node client's check of
# a pinned executable adds (bench/client_check.mjs): the read and SHA-256 of the release's
# executables alone, and one-shot calls and session starts with and without it. The native build
# runs on a fresh temporary HOME, so it makes a key of its own; the Windows build runs under Wine,
# in the Windows build folder's own prefix. Run after the README's build:
#
#   bash bench/bench.sh       # RUNS=15 timed runs of each command, in ROUNDS=3 interleaved rounds;
#                             # SESSION_RUNS=6 of each in the session comparison
#   SKIP_WINE=1 bash bench/bench.sh     # the native build alone
#   ONLY=session bash bench/bench.sh    # the session comparison alone
#   ONLY=client bash bench/bench.sh     # the client's check alone (CLIENT_RUNS=30 of each)
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-15}
rounds=${ROUNDS:-3}
per_round=$(((runs + rounds - 1) / rounds))
session_runs=${SESSION_RUNS:-6}
session_per_round=$(((session_runs + rounds - 1) / rounds))
native=build/native/velkor-dpapi
windows=build/windows/velkor-dpapi.exe

if command -v dpkg-query >/dev/null; then
  bash tools/install-deps.sh hyperfine xxd time
fi
for tool in hyperfine xxd python3 /usr/bin/time; do
  command -v "$tool" >/dev/null ||
    { echo "bench: $tool is missing (packages hyperfine xxd time python3)" >&2; exit 1; }
done
[ -x "$native" ] || { echo "bench: build $native first (see README)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velkor-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/home"
: >"$work/figures"
: >"$work/session-figures"

# Peak resident memory in KiB of the largest process of a pipeline of stages, each run under
# /usr/bin/time: the largest value seen over three runs.
peak_kib() {  # input stage...
  local input=$1 pipeline="" stage peak=0 value
  shift
  for stage in "$@"; do
    pipeline+="${pipeline:+ | }/usr/bin/time -f %M -a -o $work/rss $stage"
  done
  for _ in 1 2 3; do
    : >"$work/rss"
    sh -c "cat $input | $pipeline | cat > /dev/null"
    while read -r value; do
      if [ "$value" -gt "$peak" ]; then peak=$value; fi
    done <"$work/rss"
  done
  echo "$peak"
}

# Median wall time of command NAME over hyperfine's JSON exports, all rounds merged.
median_s() {  # name json...
  python3 -c '
import json, statistics, sys
name, files = sys.argv[1], sys.argv[2:]
times = [t for f in files for r in json.load(open(f))["results"] if r["command"] == name
         for t in r["times"]]
print(statistics.median(times))
' "$@"
}

# One group: the tool and both peers on one input, timed in interleaved rounds so that any other
# load on the machine falls on all three alike. Appends a line of raw figures to $work/figures.
measure() {  # build command secret_bytes input tool_stage
  local build=$1 command=$2 bytes=$3 input=$4 tool_stage=$5 round exports=()
  for ((round = 1; round <= rounds; round++)); do
    exports+=("$work/round$round.json")
    hyperfine --warmup 1 --runs "$per_round" --export-json "$work/round$round.json" \
      -n tool "cat $input | $tool_stage | cat > /dev/null" \
      -n xxd "cat $input | xxd -r -p | xxd -p | cat > /dev/null" \
      -n cat "cat $input | cat | cat | cat > /dev/null" >"$work/hyperfine.log" 2>&1 ||
      { cat "$work/hyperfine.log" >&2; exit 1; }
  done
  printf '%s\t' "$build" "$command" "$bytes" \
    "$(median_s tool "${exports[@]}")" "$(median_s xxd "${exports[@]}")" \
    "$(median_s cat "${exports[@]}")" "$(peak_kib "$input" "$tool_stage")" \
    "$(peak_kib "$input" "xxd -r -p" "xxd -p")" "$(peak_kib "$input" cat cat)" >>"$work/figures"
  echo >>"$work/figures"
  echo "measured: $build $command, $bytes secret bytes" >&2
}

# Seals and opens the secret once, checking the round trip; leaves the blob for unprotect.
check_round_trip() {  # hex blob runner...
  local hex=$1 blob=$2
  shift 2
  cat "$hex" | "$@" protect | cat >"$blob"
  cat "$blob" | "$@" unprotect | cat >"$work/opened"
  cmp -s <(tr -d '\r\n' <"$work/opened") <(tr -d '\n' <"$hex") ||
    { echo "bench: $* did not round-trip the secret" >&2; exit 1; }
}

# Opens every blob of a file, one a line, with a run of its own of the tool (the rest of the
# command line), its input through a here-string.
cat >"$work/one-shots.sh" <<'SCRIPT'
blobs=$1
shift
while read -r blob; do "$@" unprotect <<<"$blob"; done <"$blobs"
SCRIPT

# 200 unseals of 32-byte secrets: through one session, as 200 one-shot calls, and one one-shot
# call, timed in interleaved rounds. Appends a line of raw figures to $work/session-figures.
measure_session() {  # build runner...
  local build=$1 tag round exports=()
  shift
  tag=$(echo "$build" | tr -cd 'a-z')
  sed 's/^/protect /' "$work/secrets-32.hex" | "$@" session | cat >"$work/$tag-sealed"
  grep -c '^ok [0-9a-f]*.$' "$work/$tag-sealed" | grep -qx 200 ||
    { echo "bench: $* session did not seal 200 secrets" >&2; exit 1; }
  sed 's/^ok //; s/\r$//' "$work/$tag-sealed" >"$work/$tag-blobs"
  sed 's/^/unprotect /' "$work/$tag-blobs" >"$work/$tag-requests"
  head -n 1 "$work/$tag-blobs" >"$work/$tag-blob"
  cmp -s <("$@" session <"$work/$tag-requests" | tr -d '\r') <(sed 's/^/ok /' "$work/secrets-32.hex") &&
    cmp -s <(bash "$work/one-shots.sh" "$work/$tag-blobs" "$@" | tr -d '\r') "$work/secrets-32.hex" ||
    { echo "bench: $* did not open the 200 secrets" >&2; exit 1; }
  for ((round = 1; round <= rounds; round++)); do
    exports+=("$work/session$round.json")
    hyperfine --warmup 1 --runs "$session_per_round" --export-json "$work/session$round.json" \
      -n session "cat $work/$tag-requests | $* session | cat > /dev/null" \
      -n calls "bash $work/one-shots.sh $work/$tag-blobs $* | cat > /dev/null" \
      -n call "cat $work/$tag-blob | $* unprotect | cat > /dev/null" >"$work/hyperfine.log" 2>&1 ||
      { cat "$work/hyperfine.log" >&2; exit 1; }
  done
  printf '%s\t' "$build" "$(median_s session "${exports[@]}")" \
    "$(median_s calls "${exports[@]}")" "$(median_s call "${exports[@]}")" >>"$work/session-figures"
  echo >>"$work/session-figures"
  echo "measured: $build, 200 secrets through a session and one-shot calls" >&2
}

head -c 6400 /dev/urandom | xxd -p -c 32 >"$work/secrets-32.hex"
if [ "${ONLY:-}" != client ]; then HOME=$work/home measure_session native "$native"; fi

sizes=(1048576 4194304 16773120)
if [ -n "${ONLY:-}" ]; then sizes=(); fi
for bytes in "${sizes[@]}"; do
  head -c "$bytes" /dev/urandom | xxd -p -c 0 >"$work/secret-$bytes.hex"
done

for bytes in "${sizes[@]}"; do
  hex=$work/secret-$bytes.hex blob=$work/native-blob-$bytes.hex
  HOME=$work/home check_round_trip "$hex" "$blob" "$native"
  HOME=$work/home measure native protect "$bytes" "$hex" "$native protect"
  HOME=$work/home measure native unprotect "$bytes" "$blob" "$native unprotect"
done

wine_note=""
if [ -n "${SKIP_WINE:-}" ]; then
  wine_note="The Windows build was not measured (SKIP_WINE)."
elif [ -f "$windows" ] && command -v wine >/dev/null; then
  # Quiet Wine in the build folder's own prefix, made first; the .exe writes to a pipe, never
  # straight to /dev/null.
  source tools/wine-env.sh
  if [ "${ONLY:-}" != client ]; then measure_session "windows (Wine)" wine "$windows"; fi
  for bytes in "${sizes[@]}"; do
    hex=$work/secret-$bytes.hex blob=$work/windows-blob-$bytes.hex
    check_round_trip "$hex" "$blob" wine "$windows"
    measure "windows (Wine)" protect "$bytes" "$hex" "wine $windows protect"
    measure "windows (Wine)" unprotect "$bytes" "$blob" "wine $windows unprotect"
  done
else
  wine_note="The Windows build was not measured: build $windows and install wine first."
fi

cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
echo
echo "velkor-dpapi, $(date -u '+%Y-%m-%d'), $(nproc) cores, ${cpu:-unknown CPU}," \
  "median of $((per_round * rounds)) runs in $rounds rounds" \
  "($((session_per_round * rounds)) for the session comparison)"
[ -s "$work/figures" ] && python3 - "$work/figures" <<'PYTHON'
import sys


def size(n):
    mib, rest = divmod(n, 1 << 20)
    return "%d MiB" % mib if rest == 0 else "%d MiB - %d KiB" % (mib + 1, ((1 << 20) - rest) >> 10)


def mib(kib):
    return "%.1f" % (kib / 1024)


print()
print("| Build | Command | Secret | Time (s) | ns per secret byte | Peak RSS (MiB) "
      "| xxd -r -p \\| xxd -p (s) | its peak (MiB) | cat \\| cat (s) | its peak (MiB) "
      "| Time / xxd | Time / cat |")
print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
rows = {}
for line in open(sys.argv[1]):
    build, command, n, t, x, c, tk, xk, ck = line.rstrip("\t\n").split("\t")
    n, t, x, c, tk, xk, ck = int(n), float(t), float(x), float(c), int(tk), int(xk), int(ck)
    rows[build, command, n] = (t, x, tk)
    print("| %s | %s | %s | %.3f | %.2f | %s | %.3f | %s | %.3f | %s | %.2f | %.2f |" % (
        build, command, size(n), t, t * 1e9 / n, mib(tk), x, mib(xk), c, mib(ck), t / x, t / c))

largest = max(n for _, _, n in rows)
print()
print("Targets on the native build, secret of %s:" % size(largest))
for command in ("protect", "unprotect"):
    t, x, _ = rows["native", command, largest]
    print("- %s: time / xxd %.3f, at most 0.5: %s" % (
        command, t / x, "met" if t / x <= 0.5 else "NOT met"))
peak = rows["native", "protect", largest][2]
print("- protect: peak RSS %s MiB, at most 52: %s" % (
    mib(peak), "met" if peak <= 52 * 1024 else "NOT met"))
# Linear cost: the extra time per extra byte from each size to the next, free of the fixed cost
# of starting the pipeline, stays the same.
sizes = sorted({n for _, _, n in rows})
for command in ("protect", "unprotect"):
    steps = ["%s to %s: %.2f" % (size(a), size(b), (rows["native", command, b][0] -
                                                  rows["native", command, a][0]) * 1e9 / (b - a))
             for a, b in zip(sizes, sizes[1:])]
    print("- %s: ns per extra secret byte, %s" % (command, "; ".join(steps)))
PYTHON
[ -s "$work/session-figures" ] && python3 - "$work/session-figures" <<'PYTHON'
import sys

print()
print("200 unseals of 32-byte secrets:")
print()
print("| Build | 200 through one session (s) | 200 one-shot calls (s) | one one-shot call (s) "
      "| Session / one call | 200 calls / session |")
print("|---|---:|---:|---:|---:|---:|")
rows = []
for line in open(sys.argv[1]):
    build, session, calls, call = line.rstrip("\t\n").split("\t")
    session, calls, call = float(session), float(calls), float(call)
    rows.append((build, session, calls, call))
    print("| %s | %.3f | %.3f | %.3f | %.2f | %.1f |" % (
        build, session, calls, call, session / call, calls / session))
print()
print("Targets: the session at most 2x one call, and at least 20x less than 200 calls:")
for build, session, calls, call in rows:
    print("- %s: %.2fx one call, %s; %.1fx less than 200 calls, %s" % (
        build, session / call, "met" if session <= 2 * call else "NOT met", calls / session,
        "met" if calls >= 20 * session else "NOT met"))
PYTHON
[ -z "$wine_note" ] || { echo; echo "$wine_note"; }

# The Node client's check of a pinned executable, beside the process start it precedes.
if command -v node >/dev/null; then
  exes=()
  for exe in "$windows" build/windows-arm64/velkor-dpapi.exe; do
    if [ -f "$exe" ]; then exes+=("$exe"); fi
  done
  builds=(-- native "$PWD/$native")
  if [ -z "$wine_note" ]; then builds+=(-- "windows (Wine)" "$PWD/$windows" "$(command -v wine)"); fi
  echo
  echo "The Node client's check of a pinned executable:"
  echo
  HOME=$work/home node bench/client_check.mjs "${CLIENT_RUNS:-30}" "${exes[@]}" "${builds[@]}"
else
  echo
  echo "The Node client's check was not measured: node is missing."
fi
