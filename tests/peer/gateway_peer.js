'use strict';
// A peer on a net of the network CAN gateway (tools/gateway), speaking the
// gateway's TCP wire protocol (docs/gateway.md, gateway_wire.h), and the
// bridge that hands its frames to and from a node-canopen Device.
//
// Wire format, little-endian throughout:
//   hello (both ways)  16 bytes: magic "ZCGW", version u16, 0 u16, word u32, 0 u32
//                      (word: the net asked for / the gateway's answer status)
//   message            header: payload length u32, type u8, flags u8, 0 u16
//   Frames  (type 1)   n x 16-byte records: id u32, len u8, msg_lost u8, 0 u16, data[8]
//   IdAdd   (type 2)   seq u32, id i32              -> Answer
//   Answer  (type 6)   seq u32, status i32 [, 28-byte status record]
//   Close   (type 7)   empty

const net = require('net');
const { EventEmitter } = require('events');

const MAGIC = 0x5747435a;
const VERSION = 1;
const HELLO_SIZE = 16;
const HEADER_SIZE = 8;
const FRAME_SIZE = 16;
const MAX_FRAMES_PER_MSG = 1024;
const MAX_PAYLOAD = MAX_FRAMES_PER_MSG * FRAME_SIZE;
const RTR = 0x10;
const DLC = 0x0f;

const Type = { FRAMES: 1, ID_ADD: 2, ID_DELETE: 3, BAUD: 4, STATUS: 5, ANSWER: 6, CLOSE: 7 };

function header(payload, type) {
  const h = Buffer.alloc(HEADER_SIZE);
  h.writeUInt32LE(payload, 0);
  h.writeUInt8(type, 4);
  return h;
}

// One CAN frame {id, data} as the 16-byte record of the wire.
function encodeFrame(id, data) {
  if (!Number.isInteger(id) || id < 0 || id > 0x7ff)
    throw new RangeError(`CAN identifier ${id} is not an 11-bit identifier`);
  if (data.length > 8) throw new RangeError(`CAN frame of ${data.length} bytes`);
  const r = Buffer.alloc(FRAME_SIZE);
  r.writeUInt32LE(id, 0);
  r.writeUInt8(data.length, 4);
  Buffer.from(data).copy(r, 8);
  return r;
}

// A 16-byte record as {id, len, rtr, data}; data holds the frame's bytes
// (none for a remote request).
function decodeFrame(rec) {
  const id = rec.readUInt32LE(0);
  const len = rec.readUInt8(4);
  const rtr = (len & RTR) !== 0;
  const n = rtr ? 0 : Math.min(len & DLC, 8);
  return { id, len: n, rtr, data: Buffer.from(rec.subarray(8, 8 + n)) };
}

// One connection to a gateway net, like one handle of the driver: its own
// identifier filter (all off until enable()), frames of the other clients
// and of the gateway's devices, never its own.
// Events: 'frame' {id, len, rtr, data}, 'close', 'error'.
class GatewayPeer extends EventEmitter {
  constructor() {
    super();
    this.socket = null;
    this.rx = Buffer.alloc(0);
    this.seq = 1;
    this.pending = new Map(); // seq -> {resolve, reject}
    this.closed = false;
  }

  // Connects and exchanges the hellos; resolves once the gateway has opened
  // the net for this peer, rejects with the gateway's status otherwise.
  connect(host, port, netNo, timeoutMs = 3000) {
    return new Promise((resolve, reject) => {
      const sock = net.createConnection({ host, port });
      sock.setNoDelay(true);
      let hello = Buffer.alloc(0);
      let done = false;
      const timer = setTimeout(() => finish(new Error('no hello answer from the gateway')), timeoutMs);
      const finish = (err) => {
        if (done) return;
        done = true;
        clearTimeout(timer);
        sock.removeListener('data', onHello);
        if (err) {
          sock.destroy();
          reject(err);
          return;
        }
        this.socket = sock;
        sock.on('data', (chunk) => this._onData(chunk));
        sock.on('close', () => this._onClose());
        sock.on('error', (e) => this.emit('error', e));
        resolve();
      };
      const onHello = (chunk) => {
        hello = Buffer.concat([hello, chunk]);
        if (hello.length < HELLO_SIZE) return;
        const rest = hello.subarray(HELLO_SIZE);
        if (hello.readUInt32LE(0) !== MAGIC) return finish(new Error('peer is not a gateway'));
        if (hello.readUInt16LE(4) !== VERSION)
          return finish(new Error(`gateway speaks version ${hello.readUInt16LE(4)}`));
        const status = hello.readUInt32LE(8);
        if (status !== 0) return finish(new Error(`gateway refused net ${netNo}: status ${status}`));
        finish(null);
        if (rest.length > 0) this._onData(rest);
      };
      sock.on('data', onHello);
      sock.once('error', (e) => finish(e));
      sock.once('connect', () => {
        const h = Buffer.alloc(HELLO_SIZE);
        h.writeUInt32LE(MAGIC, 0);
        h.writeUInt16LE(VERSION, 4);
        h.writeUInt32LE(netNo, 8);
        sock.write(h);
      });
    });
  }

  // Enables identifiers on this peer's filter; resolves when the gateway
  // has answered every one, rejects on the first refusal.
  enable(ids) {
    const answers = [];
    const out = [];
    for (const id of ids) {
      const seq = this.seq++;
      const m = Buffer.alloc(HEADER_SIZE + 8);
      header(8, Type.ID_ADD).copy(m);
      m.writeUInt32LE(seq, HEADER_SIZE);
      m.writeInt32LE(id, HEADER_SIZE + 4);
      out.push(m);
      answers.push(
        new Promise((resolve, reject) => this.pending.set(seq, { resolve, reject })).then((st) => {
          if (st !== 0) throw new Error(`gateway refused identifier 0x${id.toString(16)}: status ${st}`);
        }),
      );
    }
    this.socket.write(Buffer.concat(out));
    return Promise.all(answers);
  }

  // Every 11-bit identifier: the peer hears the whole net, as a node on a
  // real bus does.
  enableAll() {
    return this.enable(Array.from({ length: 0x800 }, (_, i) => i));
  }

  send(frames) {
    if (this.closed || frames.length === 0) return;
    for (let at = 0; at < frames.length; at += MAX_FRAMES_PER_MSG) {
      const part = frames.slice(at, at + MAX_FRAMES_PER_MSG);
      const recs = part.map((f) => encodeFrame(f.id, f.data));
      this.socket.write(Buffer.concat([header(recs.length * FRAME_SIZE, Type.FRAMES), ...recs]));
    }
  }

  close() {
    if (this.closed || !this.socket) return;
    this.closed = true;
    this.socket.end(header(0, Type.CLOSE));
  }

  _onData(chunk) {
    this.rx = this.rx.length ? Buffer.concat([this.rx, chunk]) : chunk;
    let pos = 0;
    while (this.rx.length - pos >= HEADER_SIZE) {
      const len = this.rx.readUInt32LE(pos);
      const type = this.rx.readUInt8(pos + 4);
      if (len > MAX_PAYLOAD) {
        this.emit('error', new Error(`message of ${len} bytes from the gateway`));
        this.socket.destroy();
        return;
      }
      if (this.rx.length - pos < HEADER_SIZE + len) break;
      const p = this.rx.subarray(pos + HEADER_SIZE, pos + HEADER_SIZE + len);
      pos += HEADER_SIZE + len;
      if (type === Type.FRAMES) {
        if (len === 0 || len % FRAME_SIZE !== 0) {
          this.emit('error', new Error(`frames message of ${len} bytes`));
          this.socket.destroy();
          return;
        }
        for (let off = 0; off < len; off += FRAME_SIZE)
          this.emit('frame', decodeFrame(p.subarray(off, off + FRAME_SIZE)));
      } else if (type === Type.ANSWER && len >= 8) {
        const seq = p.readUInt32LE(0);
        const q = this.pending.get(seq);
        if (q) {
          this.pending.delete(seq);
          q.resolve(p.readInt32LE(4));
        }
      }
      // Other types are skipped, as the protocol asks of a receiver.
    }
    this.rx = pos === this.rx.length ? Buffer.alloc(0) : Buffer.from(this.rx.subarray(pos));
  }

  _onClose() {
    this.closed = true;
    for (const q of this.pending.values()) q.reject(new Error('gateway closed the connection'));
    this.pending.clear();
    this.emit('close');
  }
}

// Joins a node-canopen Device to a gateway peer: what the device emits goes
// on the net, data frames of the net go to device.receive(). Remote requests
// are not handed on (node-canopen has no use for them). A frame that makes
// the device throw is reported through onError and delivery goes on.
function bridge(device, peer, onError = () => {}) {
  device.on('message', ({ id, data }) => {
    try {
      peer.send([{ id, data }]);
    } catch (e) {
      onError(e);
    }
  });
  peer.on('frame', (f) => {
    if (f.rtr) return;
    try {
      device.receive({ id: f.id, data: f.data, len: f.len });
    } catch (e) {
      onError(e);
    }
  });
}

// Keeps a node-canopen Device on a gateway net, as a device on a real bus
// stays on it through the gateway's outages: it joins, bridges the device,
// and when the gateway drops the connection (a restart, a reset, the
// program killed) it joins again every retryMs until that works, with the
// device running on meanwhile. What the device emits while it is away is
// lost, as on a bus that is down.
// Events: 'lost' (reason), 'joined' (after a loss), 'error' (a frame the
// device could not take).
class Membership extends EventEmitter {
  constructor(device, { host = '127.0.0.1', port, net: netNo = 0, retryMs = 500 }) {
    super();
    this.device = device;
    this.where = { host, port, netNo };
    this.retryMs = retryMs;
    this.peer = null;
    this.stopped = false;
    this.timer = null;
    device.on('message', ({ id, data }) => {
      if (this.peer && !this.peer.closed) this.peer.send([{ id, data }]);
    });
  }

  // The first join: resolves once the device is on the net, rejects when
  // the gateway cannot be reached.
  start() {
    return this._join();
  }

  stop() {
    this.stopped = true;
    if (this.timer) clearTimeout(this.timer);
    if (this.peer) this.peer.close();
  }

  async _join() {
    const peer = new GatewayPeer();
    // A connection that fails says so by its close; the error itself is
    // only the reason.
    let reason = 'connection closed';
    peer.on('error', (e) => {
      reason = e.message;
    });
    await peer.connect(this.where.host, this.where.port, this.where.netNo);
    peer.on('close', () => {
      if (this.peer === peer) this.peer = null;
      if (this.stopped) return;
      this.emit('lost', reason);
      this._again();
    });
    try {
      await peer.enableAll();
    } catch (e) {
      peer.socket.destroy();
      throw e;
    }
    peer.on('frame', (f) => {
      if (f.rtr) return;
      try {
        this.device.receive({ id: f.id, data: f.data, len: f.len });
      } catch (e) {
        this.emit('error', e);
      }
    });
    this.peer = peer;
  }

  _again() {
    if (this.stopped || this.timer) return;
    this.timer = setTimeout(async () => {
      this.timer = null;
      if (this.stopped || this.peer) return;
      try {
        await this._join();
        this.emit('joined');
      } catch (e) {
        // The close of the failed attempt schedules the next one; a
        // refused connection may close before it connected.
        this._again();
      }
    }, this.retryMs);
  }
}

module.exports = { GatewayPeer, bridge, Membership, encodeFrame, decodeFrame };
