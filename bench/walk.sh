#!/usr/bin/env bash
# bench/walk.sh — CPU cost of a full SNMP walk of the storm-control table, daemon vs baselines.
#
# Usage: bench/walk.sh [BUILD_DIR]   (default build; `make bench-walk` runs it on the Release build)
#
# For each size (WALK_INTERFACES, default "10000 100000" interfaces, 4 rows each) it writes a
# state file, starts the daemon on it and the three baseline agents (walk_iterator_agent,
# walk_container_agent, walk_bare_agent) on free loopback ports, and times WALK_REPEATS (default
# 5) rounds of one `snmpbulkwalk -v2c -Cr50` of the whole table per agent, taking turns, by the
# CPU time each agent process itself spends (utime + stime from /proc/PID/stat, so the client's
# work never counts). Every walk must return all values, and every agent the same bytes. It
# prints the median CPU per walk (with the spread), per walked value and relative to the
# iterator agent, the daemon's resident memory per row above an empty daemon, and, at the
# largest size, the longest time the daemon left a GET unanswered while it reloaded the file
# with one interface changed, beside the same probe over an idle period of equal length. Each
# goal is reported PASS or MISS; the exit status is 0 unless something failed to run (a noisy
# machine misses goals).
# Every process started here is stopped on exit. WALK_DAEMON overrides the daemon binary.
set -euo pipefail

BUILD=${1:-build}
BIN=$BUILD/bin
INTERFACES=(${WALK_INTERFACES:-10000 100000})
REPEATS=${WALK_REPEATS:-5}
READY_TIMEOUT_S=${WALK_READY_TIMEOUT_S:-900}
WALK=(snmpbulkwalk -v2c -c public -Cr50 -On -m "" -t 60 -r 0)

WORK=$(mktemp -d /tmp/walk-bench.XXXXXX)
STARTED=()

cleanup() {
  local pid
  for pid in "${STARTED[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${STARTED[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -n ${WALK_KEEP:-} ]]; then echo "walk.sh: files kept in $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

die() { echo "walk.sh: $*" >&2; exit 1; }

for tool in walk_iterator_agent walk_container_agent walk_bare_agent walk_gap_probe walk_state \
            stormcontrol-oids; do
  [[ -x $BIN/$tool ]] || die "$BIN/$tool is missing: build the bench targets first"
done
eval "$("$BIN/stormcontrol-oids")"  # TABLE_OID, DROPS_OID, ...: the contract's
PROBE_OID=$DROPS_OID.1.0             # drops of (ifIndex 1, class all): never changed here
command -v snmpbulkwalk >/dev/null || die "snmpbulkwalk is missing (Debian package snmp)"
DAEMON=${WALK_DAEMON:-$BIN/stormcontrol-agent}
[[ -x $DAEMON ]] || die "$DAEMON is missing: build the stormcontrol-agent target first"

CLK_TCK=$(getconf CLK_TCK)

# ---------------------------------------------------------------------------------------------
# helpers

# A UDP port on 127.0.0.1 that nothing is bound to.
free_port() {
  local port hex
  while :; do
    port=$((20000 + RANDOM % 40000))
    hex=$(printf '%04X' "$port")
    grep -qi ":$hex " /proc/net/udp /proc/net/udp6 2>/dev/null || { echo "$port"; return; }
  done
}

# CPU seconds (user + system) the process has used so far.
cpu_seconds() {
  local stat rest
  stat=$(<"/proc/$1/stat")
  rest=${stat##*) }                      # the command name may hold blanks: cut after it
  read -r -a fields <<<"$rest"           # fields[0] is the state, field 3 of the line
  awk -v u="${fields[11]}" -v s="${fields[12]}" -v hz="$CLK_TCK" 'BEGIN { printf "%.4f", (u + s) / hz }'
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# Waits until FILE holds COUNT lines containing TEXT while process PID lives.
wait_for_line() {
  local pid=$1 file=$2 text=$3 count=${4:-1} deadline=$((SECONDS + READY_TIMEOUT_S)) seen
  while :; do
    seen=$(grep -cF -- "$text" "$file" 2>/dev/null) || seen=${seen:-0}
    ((seen < count)) || return 0
    kill -0 "$pid" 2>/dev/null || { cat "$file" >&2; die "process $pid ended before '$text'"; }
    (( SECONDS < deadline )) || { cat "$file" >&2; die "no '$text' within ${READY_TIMEOUT_S}s"; }
    sleep 0.1
  done
}

# Writes the state file for N interfaces (bench/walk_state.cpp): the values the baseline agents
# compute; CHANGED names an interface whose "all" drop counter is one higher.
write_state() {
  "$BIN/walk_state" "$2" "${3:-0}" >"$1.tmp"
  mv "$1.tmp" "$1"
}

# Starts COMMAND in the background with its output in LOG; sets PID.
start_process() {
  local log=$1; shift
  "$@" >"$log" 2>&1 &
  PID=$!
  STARTED+=("$PID")
}

stop_process() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# Starts a baseline agent NAME for N interfaces on a free port; sets PID, PORT, LOG.
start_baseline() {
  PORT=$(free_port)
  LOG=$WORK/$1-$2.log
  start_process "$LOG" "$BIN/$1" "$PORT" "$2"
  wait_for_line "$PID" "$LOG" "ready:"
}

# Starts the daemon on STATE on a free port and waits until the state is served; sets PID,
# PORT, LOG.
start_daemon() {
  PORT=$(free_port)
  LOG=$WORK/daemon-$2.log
  start_process "$LOG" "$DAEMON" --listen "udp:127.0.0.1:$PORT" --state "$1" \
    --persistent-dir "$WORK/persist"
  wait_for_line "$PID" "$LOG" "table ready:"
  wait_for_line "$PID" "$LOG" "state applied:"
}

# One walk of the table; prints the number of values. With OUT, keeps the walk's output there.
# (The walk of an agent serving nothing after the table ends with an endOfMibView line.)
walk_once() {
  local port=$1 out=${2:-/dev/null}
  "${WALK[@]}" "127.0.0.1:$port" "$TABLE_OID" | tee "$out" |
    awk -v prefix=".$TABLE_OID.1." 'index($0, prefix) == 1 && !/= No more variables/ { ++n }
                                    END { print n + 0 }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

calc() { awk "BEGIN { printf \"%.${2:-4}f\", $1 }"; }

# NUMERATOR / DENOMINATOR with DIGITS decimals, or n/a when the denominator is 0.
ratio() { awk -v a="$1" -v b="$2" -v d="${3:-3}" 'BEGIN { if (b == 0) print "n/a"; else printf "%.*f", d, a / b }'; }

# One timed walk of AGENT (its process AGENT_PID[AGENT] on AGENT_PORT[AGENT]) serving ROWS rows:
# appends its CPU seconds to SAMPLES[AGENT]; the first walk also sets DIGESTS[AGENT,ROWS], the
# md5 of its output, to compare agents.
timed_walk() {
  local agent=$1 rows=$2 pid=${AGENT_PID[$1]} port=${AGENT_PORT[$1]} before after values
  before=$(cpu_seconds "$pid")
  if [[ -z ${SAMPLES[$agent]:-} ]]; then
    values=$(walk_once "$port" "$WORK/walk.out") || die "$agent: snmpbulkwalk failed"
    # An agent serving nothing past the table ends the walk with endOfMibView, one that does
    # (the daemon's snmpEngine objects) without: only the table's values are compared.
    DIGESTS[$agent,$rows]=$(grep -v '= No more variables' "$WORK/walk.out" | md5sum | cut -d' ' -f1)
    rm -f "$WORK/walk.out"
  else
    values=$(walk_once "$port") || die "$agent: snmpbulkwalk failed"
  fi
  after=$(cpu_seconds "$pid")
  ((values == rows * 3)) || die "$agent: a walk returned $values values, expected $((rows * 3))"
  SAMPLES[$agent]+="$(calc "$after - $before") "
}

# Runs the gap probe against PORT while the command given runs; sets GAP_MS (the longest time
# between two answers), UNANSWERED (requests without an answer) and SPAN_S (the command's time).
probe_during() {
  local port=$1; shift
  local log=$WORK/probe.log probe t0 t1
  start_process "$log" "$BIN/walk_gap_probe" "127.0.0.1:$port" public "$PROBE_OID"
  probe=$PID
  wait_for_line "$probe" "$log" "probe ready"
  sleep 0.3
  t0=$EPOCHREALTIME
  "$@"
  t1=$EPOCHREALTIME
  sleep 0.3
  stop_process "$probe"
  grep -q '^answers ' "$log" || { cat "$log" >&2; die "the gap probe printed no result"; }
  read -r GAP_MS UNANSWERED < <(awk '/^answers / {
      for (i = 1; i < NF; ++i) { if ($i == "longest_gap_ms") g = $(i + 1); if ($i == "errors") e = $(i + 1) }
      print g, e }' "$log")
  SPAN_S=$(calc "$t1 - $t0" 3)
}

# The daemon's scheduler statistics (its SIGUSR1 report): the COUNT-th "scheduler:" line.
scheduler_report() {
  kill -USR1 "${AGENT_PID[daemon]}"
  wait_for_line "${AGENT_PID[daemon]}" "$DAEMON_LOG" "scheduler:" "$1"
  grep -F "scheduler:" "$DAEMON_LOG" | sed -n "$1p"
}

# The reload: the state file replaced (rename) by one with one interface changed.
reload_state() {
  mv "$NEXT_STATE" "$STATE"
  wait_for_line "${AGENT_PID[daemon]}" "$DAEMON_LOG" "state applied:" 2
}

# ---------------------------------------------------------------------------------------------
# runs: per size, every agent serves at once and the walks take turns (one walk of each agent per
# round), so that a change in the machine's load falls on all agents alike.

declare -A CPU SPREAD DIGESTS RSS_KIB AGENT_PID AGENT_PORT SAMPLES
AGENTS=(walk_iterator_agent walk_container_agent walk_bare_agent daemon)
largest=${INTERFACES[-1]}

echo '{"interfaces":{},"status":{}}' >"$WORK/empty.json"
echo "empty daemon" >&2
start_daemon "$WORK/empty.json" empty
EMPTY_RSS_KIB=$(rss_kib "$PID")
stop_process "$PID"

for n in "${INTERFACES[@]}"; do
  rows=$((n * 4))
  STATE=$WORK/state-$n.json
  echo "$rows rows: writing the state file, starting the agents" >&2
  write_state "$STATE" "$n"
  for agent in walk_iterator_agent walk_container_agent walk_bare_agent; do
    start_baseline "$agent" "$n"
    AGENT_PID[$agent]=$PID AGENT_PORT[$agent]=$PORT
  done
  start_daemon "$STATE" "$n"
  AGENT_PID[daemon]=$PID AGENT_PORT[daemon]=$PORT DAEMON_LOG=$LOG
  RSS_KIB[$rows]=$(rss_kib "$PID")

  SAMPLES=()
  for ((round = 1; round <= REPEATS; ++round)); do
    echo "  walk round $round of $REPEATS" >&2
    for agent in "${AGENTS[@]}"; do timed_walk "$agent" "$rows"; done
  done
  for agent in "${AGENTS[@]}"; do
    CPU[$agent,$rows]=$(printf '%s\n' ${SAMPLES[$agent]} | median)
    SPREAD[$agent,$rows]=$(printf '%s\n' ${SAMPLES[$agent]} |
      sort -g | awk 'NR == 1 { low = $1 } { high = $1 } END { printf "%.2f-%.2f", low, high }')
    echo "  $agent: CPU per walk ${SAMPLES[$agent]}s, median ${CPU[$agent,$rows]} s" >&2
  done
  for agent in walk_iterator_agent walk_container_agent walk_bare_agent; do
    stop_process "${AGENT_PID[$agent]}"
  done

  if ((n == largest)); then
    NEXT_STATE=$WORK/next-$n.json
    write_state "$NEXT_STATE" "$n" $((n / 2))
    echo "  daemon: reload with one interface changed, under the gap probe" >&2
    SCHEDULER_BEFORE=$(scheduler_report 1)
    probe_during "${AGENT_PORT[daemon]}" reload_state
    RELOAD_GAP_MS=$GAP_MS RELOAD_ERRORS=$UNANSWERED RELOAD_S=$SPAN_S
    SCHEDULER_AFTER=$(scheduler_report 2)
    echo "  daemon: idle for ${RELOAD_S}s under the gap probe" >&2
    probe_during "${AGENT_PORT[daemon]}" sleep "$RELOAD_S"
    IDLE_GAP_MS=$GAP_MS IDLE_ERRORS=$UNANSWERED
  fi
  stop_process "${AGENT_PID[daemon]}"
done

# ---------------------------------------------------------------------------------------------
# report

# PASS when VALUE is a number no greater than LIMIT, else MISS.
at_most() {
  awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v ~ /^-?[0-9.]+$/ && v + 0 <= limit + 0) }' &&
    echo PASS || echo MISS
}

echo
printf '%-22s %8s %8s %11s %15s %9s %11s\n' agent rows values "CPU s/walk" "(min-max)" "us/value" "x iterator"
for n in "${INTERFACES[@]}"; do
  rows=$((n * 4))
  for agent in "${AGENTS[@]}"; do
    cpu=${CPU[$agent,$rows]}
    printf '%-22s %8d %8d %11.3f %15s %9.3f %11s\n' "$agent" "$rows" $((rows * 3)) "$cpu" \
      "(${SPREAD[$agent,$rows]})" "$(calc "$cpu * 1e6 / ($rows * 3)" 3)" \
      "$(ratio "$cpu" "${CPU[walk_iterator_agent,$rows]}" 2)"
  done
done

echo
same=PASS
for n in "${INTERFACES[@]}"; do
  rows=$((n * 4))
  for agent in "${AGENTS[@]}"; do
    [[ ${DIGESTS[$agent,$rows]} == "${DIGESTS[walk_iterator_agent,$rows]}" ]] || same=MISS
  done
done
echo "$same  every agent's walk is byte-identical to the iterator agent's, at every size"

small=$((INTERFACES[0] * 4))
big=$((largest * 4))
for n in "${INTERFACES[@]}"; do
  rows=$((n * 4))
  times=$(ratio "${CPU[daemon,$rows]}" "${CPU[walk_iterator_agent,$rows]}")
  echo "$(at_most "$times" 1.0)  daemon CPU per walk at $rows rows: ${times}x the iterator agent (goal <= 1.0x)"
done
if ((small != big)); then
  growth=$(ratio "$(calc "${CPU[daemon,$big]} * $small")" "$(calc "${CPU[daemon,$small]} * $big")")
  echo "$(at_most "$growth" 1.1)  daemon CPU per value at $big rows: ${growth}x that at $small rows (goal <= 1.1x)"
fi
per_row=$(calc "(${RSS_KIB[$big]} - $EMPTY_RSS_KIB) * 1024 / $big" 1)
echo "$(at_most "$per_row" 125)  daemon resident memory at $big rows: $per_row bytes per row above an empty daemon (${RSS_KIB[$big]} KiB vs $EMPTY_RSS_KIB KiB; goal <= 125)"
reload_verdict=$(at_most "$RELOAD_GAP_MS" 20)
((RELOAD_ERRORS == 0)) || reload_verdict=MISS
echo "$reload_verdict  longest gap between answers while reloading $big rows with one interface changed: $RELOAD_GAP_MS ms over ${RELOAD_S}s (goal <= 20 ms; unanswered requests: $RELOAD_ERRORS)"
echo "      the same probe while idle for ${RELOAD_S}s: $IDLE_GAP_MS ms (unanswered: $IDLE_ERRORS)"
echo "      the daemon's SIGUSR1 report before the reload: ${SCHEDULER_BEFORE#*scheduler:}"
echo "      and after it:                                  ${SCHEDULER_AFTER#*scheduler:}"
