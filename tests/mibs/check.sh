#!/usr/bin/env bash
# tests/mibs/check.sh — checks of the MIB module, one per ctest entry.
#   check.sh lint      MIB_DIR IETF_MIB_DIR        smilint at level 6 prints nothing at all
#   check.sh translate MIB_DIR IETF_MIB_DIR OIDS   snmptranslate names the OIDs the contract
#                                                  states (OIDS: the stormcontrol-oids program)
# IETF_MIB_DIR holds the standard modules the module imports (installed by `make deps`).
set -euo pipefail

check=$1
mibDir=$2
ietfDir=$3
module=BRELTA-STORM-CONTROL-MIB

if [[ ! -d $ietfDir ]]; then
  echo "$ietfDir is missing: run \`make deps\` to install the IETF MIB modules" >&2
  exit 1
fi

# Runs "$@" and fails unless it exits 0 and prints exactly $expected (nothing on stderr).
expectOutput() {
  local expected=$1
  shift
  local out
  if ! out=$("$@" 2>&1); then
    printf '%s failed:\n%s\n' "$*" "$out" >&2
    return 1
  fi
  if [[ $out != "$expected" ]]; then
    printf '%s printed:\n%s\nexpected:\n%s\n' "$*" "$out" "$expected" >&2
    return 1
  fi
}

case $check in
  lint)
    SMIPATH=$ietfDir expectOutput "" smilint -l 6 "$mibDir/$module.txt"
    ;;
  translate)
    eval "$("$4")"
    translate=(snmptranslate -M "$mibDir:$ietfDir" -m "$module")
    expectOutput "$module::breltaStormControlIfTable" "${translate[@]}" "$TABLE_OID"
    expectOutput "$module::breltaStormControlIfDrops" "${translate[@]}" "$DROPS_OID"
    expectOutput "$module::breltaStormControlDropsRising" "${translate[@]}" "$DROPS_RISING_OID"
    expectOutput "$module::breltaStormControlNotifyTrafficClass.0" "${translate[@]}" \
      "$NOTIFY_CLASS_OID"
    expectOutput "$module::breltaStormControlAgent" "${translate[@]}" "$AGENT_OID"
    ;;
  *)
    echo "unknown check: $check" >&2
    exit 2
    ;;
esac
