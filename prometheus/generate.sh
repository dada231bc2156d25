#!/usr/bin/env bash
# prometheus/generate.sh [--check] IETF_MIB_DIR — makes snmp.yml, the SNMP exporter's module
# `stormcontrol`, from generator.yml with Debian's prometheus-snmp-generator; with --check,
# fails with the difference when the checked-in snmp.yml is not what it makes.
# The generator loads every module of its MIB folders, so it gets a folder holding only our
# module and the ones it needs: then no parse error is tolerated.
set -euo pipefail

check=false
if [[ ${1-} == --check ]]; then
  check=true
  shift
fi
here=$(cd "$(dirname "$0")" && pwd)
generator=prometheus-snmp-generator

command -v "$generator" >/dev/null ||
  { echo "$generator is missing: run \`make deps\`" >&2; exit 1; }
[[ -d $1 ]] ||
  { echo "$1 is missing: run \`make deps\` to install the IETF MIB modules" >&2; exit 1; }
ietf=$(cd "$1" && pwd)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/mibs"
ln -s "$here/../mibs/BRELTA-STORM-CONTROL-MIB.txt" "$scratch/mibs/"
for module in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF SNMPv2-MIB IANAifType-MIB IF-MIB; do
  ln -s "$ietf/$module.mib" "$scratch/mibs/"
done

# The generator reads generator.yml from its working directory.
cp "$here/generator.yml" "$scratch/"
if ! (cd "$scratch" && MIBDIRS=$scratch/mibs "$generator" --fail-on-parse-errors \
  --log.level=warn generate -o snmp.yml); then
  echo "$generator failed" >&2
  exit 1
fi

if ! $check; then
  mv "$scratch/snmp.yml" "$here/snmp.yml"
  exit 0
fi
if ! diff -u "$here/snmp.yml" "$scratch/snmp.yml"; then
  echo "snmp.yml differs from what generator.yml makes: run \`make prometheus-config\`" >&2
  exit 1
fi
