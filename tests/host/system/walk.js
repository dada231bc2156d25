// tests/host/system/walk.js — walks a subtree with the npm package net-snmp, an SNMP client
// independent of net-snmp's C library, and prints one `OID TYPE VALUE` line per variable: TYPE
// the package's name (Integer, Counter64, ...), VALUE exact (Counter64 through BigInt: a
// JavaScript number loses precision above 2^53). An error or an exception value ends it (status 1);
// so does a bad command line, with the usage below.
'use strict';

const { parseArgs } = require('node:util');
const snmp = require('net-snmp');

const usage = `usage: node walk.js --mode getnext|bulk [--max-repetitions N] --agent HOST:PORT --oid OID
         (--community NAME | --user NAME --auth sha|sha256 --auth-key KEY --priv aes --priv-key KEY)
  --community: SNMPv2c; --user: SNMPv3 at authPriv; --max-repetitions: GETBULK's (default 10)
`;
const fail = (message) => { process.stderr.write(message + '\n'); process.exit(1); };

const options = Object.fromEntries(['mode', 'agent', 'oid', 'community', 'user', 'auth',
  'auth-key', 'priv', 'priv-key'].map((name) => [name, { type: 'string' }]));
options['max-repetitions'] = { type: 'string', default: '10' };
options.help = { type: 'boolean', short: 'h' };
const args = (() => {
  try { return parseArgs({ options }).values; } catch (e) { fail(`${e.message}\n${usage.trimEnd()}`); }
})();
if (args.help) { process.stdout.write(usage); process.exit(0); }

// A Counter64 comes as its BER content octets, big-endian.
function lineOf(varbind) {
  if (snmp.isVarbindError(varbind)) fail(`${varbind.oid}: ${snmp.varbindError(varbind)}`);
  const value = varbind.type === snmp.ObjectType.Counter64
    ? BigInt('0x0' + varbind.value.toString('hex')).toString() : String(varbind.value);
  return `${varbind.oid} ${snmp.ObjectType[varbind.type]} ${value}\n`;
}

const walks = {
  // One GETNEXT per variable until the answer leaves the subtree or the view ends.
  getnext: function walkGetNext(session, oid, out, done) {
    session.getNext([oid], (error, [next] = []) => {
      if (error) return done(error);
      if (next.type === snmp.ObjectType.EndOfMibView || !next.oid.startsWith(args.oid + '.')) {
        return done(null);
      }
      out.push(lineOf(next));
      walkGetNext(session, next.oid, out, done);
    });
  },
  // GETBULKs of --max-repetitions; the package drops what lies past the subtree or the view.
  bulk: (session, oid, out, done) => session.subtree(oid, Number(args['max-repetitions']),
    (varbinds) => varbinds.forEach((v) => out.push(lineOf(v))), done),
};

if (!walks[args.mode] || !args.agent || !args.oid) fail(usage.trimEnd());
const [host, port] = args.agent.split(':');
const common = { port: Number(port), timeout: 5000, retries: 2 };
const session = args.community !== undefined
  ? snmp.createSession(host, args.community, { ...common, version: snmp.Version2c })
  : snmp.createV3Session(host, {
    name: args.user, level: snmp.SecurityLevel.authPriv,
    authProtocol: snmp.AuthProtocols[args.auth], authKey: args['auth-key'],
    privProtocol: snmp.PrivProtocols[args.priv], privKey: args['priv-key'],
  }, common);
const out = [];
walks[args.mode](session, args.oid, out, (error) => {
  session.close();
  if (error) fail(`walk of ${args.oid} at ${args.agent}: ${error.message}`);
  process.stdout.write(out.join(''));
});
