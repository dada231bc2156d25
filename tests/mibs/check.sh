#!/usr/bin/env bash
# tests/mibs/check.sh — checks of the MIB module, one per ctest entry.
#   check.sh lint      MIB_DIR IETF_MIB_DIR   smilint at level 6 prints nothing at all
#   check.sh translate MIB_DIR IETF_MIB_DIR   snmptranslate names the served OIDs exactly
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
    translate=(snmptranslate -M "$mibDir:$ietfDir" -m "$module")
    expectOutput "$module::breltaStormControlIfDrops" \
      "${translate[@]}" 1.3.6.1.4.1.32473.3.35.1.1.1.4
    expectOutput "$module::breltaStormControlDropsRising" \
      "${translate[@]}" 1.3.6.1.4.1.32473.3.35.0.1
    ;;
  *)
    echo "unknown check: $check" >&2
    exit 2
    ;;
esac
