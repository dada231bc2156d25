#!/usr/bin/env bash
# tests/package/check.sh BUILD_DIR — the Debian package built from BUILD_DIR (cpack, into a
# scratch directory): Debian's lintian finds no error or warning in it (a manual page, copyright
# and changelog included); its metadata (dependencies from dpkg-shlibdeps, conffiles, maintainer
# scripts), its systemd unit, and the daemon installed from it. The package is extracted into a
# scratch root and the daemon started there with the unit's command line and the package's
# configuration (only the listening address changed, to a free port): without LD_LIBRARY_PATH it
# must load its libraries and plug-in from that root, tell a NOTIFY_SOCKET of the test's READY=1
# with the row count once it serves the whole table, and serve the example state file.
set -euo pipefail

build=$1
deadline=600  # tenths of a second, for each wait

for tool in cpack dpkg-deb dpkg-shlibdeps lintian socat snmpbulkwalk setpriv; do
  command -v "$tool" >/dev/null || { echo "$tool is missing: run \`make deps\`" >&2; exit 1; }
done

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' TERM INT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Starts "$@" in the background, killed with the test whichever way it ends.
spawn() {
  setpriv --pdeathsig KILL -- "$@" &
  pids+=($!)
}

# Waits until `grep -q PATTERN FILE` succeeds; fails if process PID ends first.
waitFor() {
  local pattern=$1 file=$2 pid=$3
  for ((i = 0; i < deadline; i++)); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || fail "process $pid ended before '$pattern' in $file"
    sleep 0.1
  done
  fail "no '$pattern' in $file"
}

### The package and its metadata.
if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log" >&2
  fail "cpack"
fi
debs=("$scratch"/out/*.deb)
((${#debs[@]} == 1)) || fail "cpack made ${#debs[@]} packages"
deb=${debs[0]}
[[ $(dpkg-deb -f "$deb" Package) == stormcontrol-agent ]] || fail "package name"
version=$(dpkg-deb -f "$deb" Version)
# Run as root, lintian says so on standard error, beside what it finds.
complaints=$(lintian --fail-on error,warning "$deb" 2>/dev/null) || fail "lintian: $complaints"

# dpkg-shlibdeps found the libraries from Debian; adduser is for postinst.
depends=",$(dpkg-deb -f "$deb" Depends | tr -d ' '),"
for dependency in adduser libc6 libfmt9 libsimdjson14 libsnmp40 libstdc++6 libsystemd0; do
  [[ $depends == *",$dependency"[,\(]* ]] || fail "Depends lacks $dependency: $depends"
done
[[ $depends != *Pondo* && $depends != *StormControl* ]] || fail "Depends on own libraries"

dpkg-deb -e "$deb" "$scratch/control"
expected=$'/etc/stormcontrol-agent/stormcontrol-agent.conf\n/etc/stormcontrol-agent/state.json\n/etc/default/stormcontrol-agent'
[[ $(cat "$scratch/control/conffiles") == "$expected" ]] ||
  fail "conffiles: $(cat "$scratch/control/conffiles")"
for script in postinst prerm postrm; do
  [[ -x $scratch/control/$script ]] || fail "$script is not executable"
  sh -n "$scratch/control/$script" || fail "$script: syntax error"
  ! grep -nE '@[A-Z_]+@' "$scratch/control/$script" || fail "$script: unsubstituted @VARIABLE@"
done

### The installed files.
root=$scratch/root
dpkg -x "$deb" "$root"
[[ ! -d $root/usr/local ]] ||
  fail "installed below /usr/local: the prefix is /usr only in a build directory configured anew"
libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/stormcontrol-agent
for file in /usr/share/snmp/mibs/BRELTA-STORM-CONTROL-MIB.txt \
  /usr/share/stormcontrol-agent/prometheus/{snmp,generator,rules,prometheus}.yml; do
  [[ -f $root$file ]] || fail "$file is not installed"
done
[[ $("$root/usr/sbin/stormcontrol-agent" --version) == "stormcontrol-agent $version" ]] ||
  fail "--version differs from the package's $version"

### The unit.
unit=$root/usr/lib/systemd/system/stormcontrol-agent.service
for line in Type=notify WatchdogSec=30s Restart=on-failure User=stormcontrol Group=stormcontrol \
  'ExecReload=/bin/kill -HUP $MAINPID' EnvironmentFile=-/etc/default/stormcontrol-agent \
  StateDirectory=stormcontrol-agent NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=yes \
  'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6' WantedBy=multi-user.target; do
  grep -qxF -- "$line" "$unit" || fail "the unit lacks $line"
done
! grep -nE '@[A-Z_]+@' "$unit" "$root/etc/default/stormcontrol-agent" || fail "unsubstituted @VARIABLE@"
execStart=$(sed -n 's/^ExecStart=//p' "$unit")
# systemd-analyze checks the unit without a running systemd, but wants its programs where the
# unit names them: a copy whose paths lead into the scratch root. Any complaint fails.
if command -v systemd-analyze >/dev/null; then
  sed -e "s|=/usr/|=$root/usr/|" -e "s| /etc/| $root/etc/|" -e "s|=-/etc/|=-$root/etc/|" \
    "$unit" >"$scratch/stormcontrol-agent.service"
  complaints=$(systemd-analyze verify "$scratch/stormcontrol-agent.service" 2>&1) ||
    fail "systemd-analyze verify: $complaints"
  [[ -z $complaints ]] || fail "systemd-analyze verify: $complaints"
fi

### The installed daemon, as the service starts it.
# ExecStart with the options file's $STORMCONTROL_AGENT_OPTS, every absolute path in the root.
STORMCONTROL_AGENT_OPTS=
# shellcheck source=/dev/null
. "$root/etc/default/stormcontrol-agent"
command=()
for word in ${execStart//\$STORMCONTROL_AGENT_OPTS/$STORMCONTROL_AGENT_OPTS}; do
  [[ $word == /* ]] && word=$root$word
  command+=("$word")
done
sed -i 's/^agentaddress .*/agentaddress udp:127.0.0.1:0/' \
  "$root/etc/stormcontrol-agent/stormcontrol-agent.conf"

# As root, the daemon runs as nobody, as the service runs unprivileged.
chmod 755 "$scratch"
mkdir -m 700 "$scratch/state"
runAs=()
if ((EUID == 0)); then
  chown nobody "$scratch/state"
  runAs=(setpriv --reuid nobody --regid nogroup --clear-groups --)
fi

spawn socat -u UNIX-RECV:"$scratch/notify",mode=666 OPEN:"$scratch/notify.log",creat,append
for ((i = 0; i < deadline; i++)); do [[ -S $scratch/notify ]] && break || sleep 0.1; done
[[ -S $scratch/notify ]] || fail "socat made no notification socket"
spawn "${runAs[@]}" env -i PATH=/usr/bin:/bin NOTIFY_SOCKET="$scratch/notify" \
  STATE_DIRECTORY="$scratch/state" "${command[@]}" >"$scratch/agent.log" 2>&1
agent=${pids[-1]}
waitFor READY=1 "$scratch/notify.log" "$agent"
# READY comes with the complete table's row count: three interfaces with a status, four rows each.
[[ $(head -2 "$scratch/notify.log") == $'READY=1\nSTATUS=serving 12 rows'* ]] ||
  fail "notification: $(cat "$scratch/notify.log")"

# The libraries and the plug-in came from the root.
for library in libPondo.so libStormControlSnmp.so; do
  grep -q " $root$libdir/$library\$" "/proc/$agent/maps" || fail "$library not loaded from $root"
done

# The port the kernel chose: the daemon's UDP socket, found by its inode among its sockets'.
inodes=" $(find "/proc/$agent/fd" -lname 'socket:*' -printf '%l ' | tr -dc '0-9 ') "
portHex=$(awk -v inodes="$inodes" 'index(inodes, " " $10 " ") { split($2, a, ":"); print a[2] }' \
  /proc/net/udp)
[[ -n $portHex ]] || fail "no UDP socket of the daemon"
eval "$("$build/bin/stormcontrol-oids")"  # TABLE_OID, DROPS_OID: the contract's
walk=$(snmpbulkwalk -v2c -c public -On "127.0.0.1:$((16#$portHex))" "$TABLE_OID")
(($(wc -l <<<"$walk") == 36)) || fail "walk: $walk"
grep -qxF ".$DROPS_OID.1002.1 = Counter64: 42" <<<"$walk" ||
  fail "walk lacks the broadcast drops of ifIndex 1002: $walk"

kill -TERM "$agent"
wait "$agent" || fail "exit status $? after SIGTERM: $(cat "$scratch/agent.log")"
grep -q STOPPING=1 "$scratch/notify.log" || fail "no STOPPING=1: $(cat "$scratch/notify.log")"
echo "package $(basename "$deb"): checked"
