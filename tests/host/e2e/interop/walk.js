// tests/host/e2e/interop/walk.js — walks a subtree with the npm package net-snmp, an SNMP
// client independent of net-snmp's C library, and prints what it got in a canonical form.
//
// Usage:
//   node walk.js --mode getnext|bulk [--max-repetitions N] --agent HOST:PORT --oid OID
//                (--community NAME | --user NAME --auth sha|sha256 --auth-key KEY
//                                    --priv aes --priv-key KEY)
//
// A community means SNMPv2c; a user means SNMPv3 at authPriv. `getnext` walks with one GETNEXT
// per variable, `bulk` with GETBULKs of N repetitions (default 10). Each variable of the
// subtree prints as one line, in walk order:
//
//   OID TYPE VALUE      e.g. 1.3.6.1.4.1.32473.3.35.1.1.1.4.2.0 Counter64 18446744073709551615
//
// OID is dotted decimal without a leading dot, TYPE the package's name of the value's type
// (Integer, Counter, Gauge, TimeTicks, Counter64, OctetString, OID, IpAddress, ...), VALUE the
// exact decimal for the integer types (Counter64 through BigInt, as a JavaScript number loses
// precision above 2^53), hex for strings. An error or an exception value (noSuchObject,
// noSuchInstance) ends the script with a message on standard error and status 1.
'use strict';

const { parseArgs } = require('node:util');
const snmp = require('net-snmp');

const { values: args } = parseArgs({
  options: {
    mode: { type: 'string' },
    'max-repetitions': { type: 'string', default: '10' },
    agent: { type: 'string' },
    oid: { type: 'string' },
    community: { type: 'string' },
    user: { type: 'string' },
    auth: { type: 'string' },
    'auth-key': { type: 'string' },
    priv: { type: 'string' },
    'priv-key': { type: 'string' },
  },
});

function fail(message) {
  process.stderr.write(message + '\n');
  process.exit(1);
}

const authProtocols = { sha: snmp.AuthProtocols.sha, sha256: snmp.AuthProtocols.sha256 };
const privProtocols = { aes: snmp.PrivProtocols.aes };

function openSession() {
  const [host, port] = args.agent.split(':');
  const options = { port: Number(port), timeout: 5000, retries: 2 };
  if (args.community !== undefined) {
    return snmp.createSession(host, args.community,
                              { ...options, version: snmp.Version2c });
  }
  const user = {
    name: args.user,
    level: snmp.SecurityLevel.authPriv,
    authProtocol: authProtocols[args.auth],
    authKey: args['auth-key'],
    privProtocol: privProtocols[args.priv],
    privKey: args['priv-key'],
  };
  if (!user.authProtocol || !user.privProtocol) fail('unknown --auth or --priv protocol');
  return snmp.createV3Session(host, user, options);
}

// The decimal value of a Counter64: the package hands over the BER content octets (up to nine,
// big-endian, with a leading zero octet when the top bit is set).
function counter64Text(octets) {
  return octets.length === 0 ? '0' : BigInt('0x' + octets.toString('hex')).toString();
}

function valueText(varbind) {
  switch (varbind.type) {
    case snmp.ObjectType.Counter64:
      return counter64Text(varbind.value);
    case snmp.ObjectType.OctetString:
    case snmp.ObjectType.Opaque:
      return varbind.value.toString('hex');
    default:
      return String(varbind.value);
  }
}

function lineOf(varbind) {
  if (snmp.isVarbindError(varbind)) fail(`${varbind.oid}: ${snmp.varbindError(varbind)}`);
  return `${varbind.oid} ${snmp.ObjectType[varbind.type]} ${valueText(varbind)}`;
}

function inSubtree(oid) {
  return oid === args.oid || oid.startsWith(args.oid + '.');
}

// One GETNEXT per variable until the answer leaves the subtree or the view ends.
function walkGetNext(session, oid, lines, done) {
  session.getNext([oid], (error, varbinds) => {
    if (error) return done(error);
    const varbind = varbinds[0];
    if (varbind.type === snmp.ObjectType.EndOfMibView || !inSubtree(varbind.oid)) {
      return done(null);
    }
    lines.push(lineOf(varbind));
    walkGetNext(session, varbind.oid, lines, done);
  });
}

// GETBULKs of --max-repetitions; the package drops what lies past the subtree or the view.
function walkBulk(session, lines, done) {
  const repetitions = Number(args['max-repetitions']);
  session.subtree(args.oid, repetitions, (varbinds) => {
    for (const varbind of varbinds) lines.push(lineOf(varbind));
  }, done);
}

function main() {
  if (!args.agent || !args.oid) fail('--agent and --oid are required');
  const walk = { getnext: (session, lines, done) => walkGetNext(session, args.oid, lines, done),
                 bulk: walkBulk }[args.mode];
  if (!walk) fail('--mode must be getnext or bulk');
  const session = openSession();
  const lines = [];
  walk(session, lines, (error) => {
    session.close();
    if (error) fail(`walk of ${args.oid} at ${args.agent}: ${error.message}`);
    process.stdout.write(lines.map((line) => line + '\n').join(''));
  });
}

main();
