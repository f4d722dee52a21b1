#!/usr/bin/env node
'use strict';
// node-canopen devices and an SDO client on a net of the network CAN
// gateway, for the peer tests (peer_test.cpp) and for trying things by hand.
//
//   node peer.js '<json configuration>'
//
// Configuration:
//   { "host": "127.0.0.1", "port": 2209, "net": 0,
//     "devices": [ { "id": 12, "name": "NCAN", "hw": "...", "sw": "...",
//                    "heartbeat": 100,              // ms, 0: no heartbeat
//                    "objects": [ { "index": 8193, "type": "u16", "value": 4660 } ],
//                    "tpdo": [ { "cobId": 396, "type": 254, "objects": [8193] } ],
//                    "rpdo": [ { "cobId": 524, "objects": [8196] } ] } ],
//     "client":  { "id": 127, "servers": [5, 32], "timeout": 1000 } }
//
// Every device and the client has a connection of its own to the gateway
// net (one node, one handle) and hears every identifier. A device has its
// identity objects 0x1008, 0x1009, 0x100A, an SDO server on 0x600 + id /
// 0x580 + id, an emergency producer on 0x80 + id, a heartbeat producer, and
// node-canopen's NMT slave behaviour, and read-only objects of its own
// ("objects", types u8, u16, u32, i32, r32, text and domain, a domain's value
// in hex; read-only, or read-write with "access": "rw"), and PDOs mapping
// them: "tpdo" with their transmission type (254/255 event-driven, 1-240
// every n-th SYNC) and "rpdo".
//
// Commands, one per line on standard input:
//   emcy ID CODE REG [BYTE...] device ID sets its error register 0x1001 to
//                              REG and sends an emergency with CODE and up to
//                              5 bytes of manufacturer data (numbers in C
//                              notation)
//   state ID                   prints "state ID N" with the device's NMT state
//   download SERVER INDEX SUB HEX [block]  the client writes the bytes HEX
//                              into an object (by SDO block transfer with
//                              "block"); prints "download SERVER INDEX SUB ok"
//                              or "... abort 0xCODE" or "... error TEXT"
//   value ID INDEX SUB         prints "value ID INDEX SUB HEX": what device
//                              ID's own dictionary holds for the object
//   upload SERVER INDEX SUB [block]  the client reads an object (by SDO
//                              block transfer with "block"); prints
//                              "upload SERVER INDEX SUB ok HEX" or
//                              "upload SERVER INDEX SUB abort 0xCODE" or
//                              "upload SERVER INDEX SUB error TEXT"
//   set ID INDEX VALUE         device ID's application sets an object (an
//                              event-driven TPDO mapping it goes out)
//   quit                       leaves the net and ends (so does the end of input)
// Events on standard output:
//   ready                      every connection is up and every device started
//   state ID N                 device ID entered NMT state N
//   bootup ID                  device ID sent its boot-up frame
//   lost ID                    the gateway dropped node ID's connection; it joins again
//   joined ID                  node ID is on the net again
//   error TEXT                 something went wrong (also on standard error)

const readline = require('readline');
const { AccessType, DataType, Device, NmtState, SdoError } = require('canopen');
const { Membership } = require('./gateway_peer');

function say(line) {
  process.stdout.write(line + '\n');
}

function fail(text) {
  say(`error ${text}`);
  process.stderr.write(`peer.js: ${text}\n`);
}

function num(s) {
  const v = Number(s);
  if (!Number.isInteger(v)) throw new Error(`not a number: ${s}`);
  return v;
}

function hex(n, width) {
  return '0x' + n.toString(16).toUpperCase().padStart(width, '0');
}

const OBJECT_TYPES = {
  u8: DataType.UNSIGNED8,
  u16: DataType.UNSIGNED16,
  u32: DataType.UNSIGNED32,
  i32: DataType.INTEGER32,
  r32: DataType.REAL32,
  text: DataType.VISIBLE_STRING,
  domain: DataType.DOMAIN,
};

// A node-canopen device with the objects listed above. node-canopen resets
// the object dictionary to its defaults on an NMT reset, so every value is
// saved as its default.
function makeDevice(entry) {
  const d = new Device({ id: entry.id });
  const keep = { saveDefault: true };
  d.eds.setDeviceName(entry.name || '', keep);
  d.eds.setHardwareVersion(entry.hw || '', keep);
  d.eds.setSoftwareVersion(entry.sw || '', keep);
  d.eds.addSdoServerParameter(0, 0x580 + entry.id, 0x600 + entry.id, keep);
  d.eds.setEmcyCobId(0x80 + entry.id, keep);
  if (entry.heartbeat) d.eds.setHeartbeatProducerTime(entry.heartbeat, keep);
  for (const o of entry.objects || []) {
    const dataType = OBJECT_TYPES[o.type];
    if (dataType === undefined) throw new Error(`object type ${o.type}`);
    d.eds.addEntry(o.index, {
      parameterName: `Test object ${hex(o.index, 4)}`,
      dataType,
      accessType: o.access === 'rw' ? AccessType.READ_WRITE : AccessType.READ_ONLY,
      // A domain's value is hex text.
      defaultValue: o.type === 'domain' ? Buffer.from(o.value || '', 'hex') : o.value,
    });
  }

  const objects = (list) => list.map((i) => {
    const e = d.eds.getEntry(i);
    if (!e) throw new Error(`PDO maps ${hex(i, 4)}, which device ${entry.id} lacks`);
    return e;
  });
  // A device with synchronous PDOs consumes SYNC on 0x080.
  if ((entry.tpdo || []).some((t) => t.type >= 1 && t.type <= 240)) d.eds.setSyncCobId(0x80, keep);
  for (const t of entry.tpdo || [])
    d.eds.addTransmitPdo({ cobId: t.cobId, transmissionType: t.type, dataObjects: objects(t.objects) });
  for (const r of entry.rpdo || []) d.eds.addReceivePdo({ cobId: r.cobId, dataObjects: objects(r.objects) });

  // node-canopen 6.2.1 announces no boot-up itself; as the device's
  // application the bridge sends it whenever the device comes out of
  // initialisation into pre-operational (start, and after every reset).
  let last = NmtState.INITIALIZING;
  d.nmt.on('changeState', (state) => {
    const from = last;
    last = state;
    if (state === NmtState.PRE_OPERATIONAL && from === NmtState.INITIALIZING) {
      d.emit('message', { id: 0x700 + entry.id, data: Buffer.from([0]) });
      say(`bootup ${entry.id}`);
    }
    say(`state ${entry.id} ${state}`);
  });
  return d;
}

function makeClient(entry) {
  const c = new Device({ id: entry.id || 0x7f });
  for (const s of entry.servers || []) c.eds.addSdoClientParameter(s, 0x600 + s, 0x580 + s);
  return c;
}

// Every node keeps its place on the net: when the gateway drops the
// connection it joins again ("lost ID", then "joined ID").
async function join(cfg, device) {
  const m = new Membership(device, { host: cfg.host || '127.0.0.1', port: cfg.port, net: cfg.net || 0 });
  await m.start();
  m.on('error', (e) => fail(`device ${device.id}: ${e.message}`));
  m.on('lost', () => say(`lost ${device.id}`));
  m.on('joined', () => say(`joined ${device.id}`));
  return m;
}

let stopping = false;
const devices = new Map();
const peers = [];
let client = null;
let clientTimeout = 1000;

function stop(code) {
  if (stopping) return;
  stopping = true;
  for (const d of devices.values()) d.stop();
  if (client) client.stop();
  for (const p of peers) p.stop();
  // Let the goodbyes go out, then end even if a socket lingers.
  setTimeout(() => process.exit(code), 50).unref();
  setTimeout(() => process.exit(code), 1000);
}

async function upload(server, index, sub, block) {
  const tag = `upload ${server} ${hex(index, 4)} ${sub}`;
  if (!client) return say(`${tag} error no client configured`);
  try {
    const data = await client.sdo.upload({
      serverId: server,
      index,
      subIndex: sub,
      timeout: clientTimeout,
      blockTransfer: block,
    });
    say(`${tag} ok ${Buffer.from(data).toString('hex').toUpperCase()}`);
  } catch (e) {
    if (e instanceof SdoError || typeof e.code === 'number') say(`${tag} abort ${hex(e.code >>> 0, 8)}`);
    else say(`${tag} error ${e.message}`);
  }
}

async function download(server, index, sub, bytes, block) {
  const tag = `download ${server} ${hex(index, 4)} ${sub}`;
  if (!client) return say(`${tag} error no client configured`);
  try {
    await client.sdo.download({
      serverId: server,
      index,
      subIndex: sub,
      data: Buffer.from(bytes, 'hex'),
      timeout: clientTimeout,
      blockTransfer: block,
    });
    say(`${tag} ok`);
  } catch (e) {
    if (e instanceof SdoError || typeof e.code === 'number') say(`${tag} abort ${hex(e.code >>> 0, 8)}`);
    else say(`${tag} error ${e.message}`);
  }
}

function command(line) {
  const w = line.trim().split(/\s+/).filter((x) => x);
  if (w.length === 0) return;
  try {
    switch (w[0]) {
      case 'emcy': {
        const d = devices.get(num(w[1]));
        if (!d) throw new Error(`no device ${w[1]}`);
        const info = Buffer.from(w.slice(4).map(num));
        d.eds.setErrorRegister(num(w[3]));
        d.emcy.write(num(w[2]), info);
        break;
      }
      case 'state': {
        const d = devices.get(num(w[1]));
        if (!d) throw new Error(`no device ${w[1]}`);
        say(`state ${d.id} ${d.state}`);
        break;
      }
      case 'upload':
        upload(num(w[1]), num(w[2]), num(w[3] || '0'), w[4] === 'block');
        break;
      case 'download':
        download(num(w[1]), num(w[2]), num(w[3]), w[4] || '', w[5] === 'block');
        break;
      case 'value': {
        const d = devices.get(num(w[1]));
        if (!d) throw new Error(`no device ${w[1]}`);
        const index = num(w[2]);
        const sub = num(w[3] || '0');
        const entry = sub === 0 ? d.eds.getEntry(index) : d.eds.getSubEntry(index, sub);
        if (!entry) throw new Error(`device ${w[1]} has no object ${hex(index, 4)} ${sub}`);
        say(`value ${d.id} ${hex(index, 4)} ${sub} ${Buffer.from(entry.raw).toString('hex').toUpperCase()}`);
        break;
      }
      case 'set': {
        const d = devices.get(num(w[1]));
        if (!d) throw new Error(`no device ${w[1]}`);
        d.setValue(num(w[2]), Number(w[3]));
        say(`set ${d.id} ${hex(num(w[2]), 4)} ok`);
        break;
      }
      case 'quit':
        stop(0);
        break;
      default:
        throw new Error(`unknown command: ${w[0]}`);
    }
  } catch (e) {
    fail(e.message);
  }
}

async function main() {
  let cfg;
  try {
    cfg = JSON.parse(process.argv[2] || '');
  } catch (e) {
    process.stderr.write(`usage: node peer.js '<json configuration>' (${e.message})\n`);
    process.exit(2);
  }
  for (const entry of cfg.devices || []) devices.set(entry.id, makeDevice(entry));
  if (cfg.client) {
    client = makeClient(cfg.client);
    clientTimeout = cfg.client.timeout || 1000;
  }
  // Every node joins the net before any starts, so each hears the others'
  // boot-up frames.
  const nodes = [...devices.values()];
  if (client) nodes.push(client);
  for (const n of nodes) peers.push(await join(cfg, n));
  for (const n of nodes) n.start();
  say('ready');

  const rl = readline.createInterface({ input: process.stdin });
  rl.on('line', command);
  rl.on('close', () => stop(0));
}

process.on('SIGTERM', () => stop(0));
main().catch((e) => {
  fail(e.message);
  process.exit(1);
});
