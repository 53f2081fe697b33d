// The wire frames this page exchanges with veyra-host: one frame per
// WebSocket message, a 36-byte header and its payload, all big-endian.
//
//    0       4    6    8  9  10   12       16             24             32      36
//   +-------+----+----+--+--+----+--------+--------------+--------------+-------+-------
//   | VYRA  |ver |type|ch|fl|rsvd|sequence|   frameId    | timestampUs  |length | payload
//   +-------+----+----+--+--+----+--------+--------------+--------------+-------+-------
//
// 64-bit fields are BigInt, so that ids and clocks echo back exactly. Pure
// functions: no DOM, nothing kept between calls.

export const HEADER_BYTES = 36;
export const MAX_PAYLOAD_BYTES = 16 * 1024 * 1024;
const MAGIC = [0x56, 0x59, 0x52, 0x41]; // "VYRA"
const FRAMING_VERSION = 1;

export const MessageType = Object.freeze({
  HELLO: 1,
  HELLO_ACK: 2,
  DEVICE_INFO: 3,
  VIDEO_CONFIG: 4,
  VIDEO_CONFIG_DATA: 5,
  STREAM_START: 6,
  STREAM_STOP: 7,
  STREAM_KEEPALIVE: 8,
  HOST_STATS: 9,
  PAIR_ACCEPTED: 10,
  VISIBILITY: 11,
  VIDEO_FRAME: 16,
  FRAME_ACK: 17,
  TOUCH: 32,
  SCROLL: 33,
  KEY: 34,
  PING: 48,
  PONG: 49,
  SET_BITRATE: 64,
  DISPLAY_CHANGED: 65,
  REQUEST_IDR: 66,
  ERROR: 255,
});

export const FLAG_KEYFRAME = 0x01;

export const TouchAction = Object.freeze({ DOWN: 0, MOVE: 1, UP: 2, CANCEL: 3 });
export const KeyAction = Object.freeze({ DOWN: 0, UP: 1 });

export class WireError extends Error {}

// A whole frame. |payload| is a Uint8Array (or nothing); the header fields
// not given are 0.
export function encodeFrame(type, payload, { channel = 0, flags = 0, sequence = 0,
  frameId = 0n, timestampUs = 0n } = {}) {
  const body = payload ?? new Uint8Array(0);
  if (body.length > MAX_PAYLOAD_BYTES) {
    throw new WireError('payload too large');
  }
  const bytes = new Uint8Array(HEADER_BYTES + body.length);
  const view = new DataView(bytes.buffer);
  bytes.set(MAGIC, 0);
  view.setUint16(4, FRAMING_VERSION);
  view.setUint16(6, type);
  view.setUint8(8, channel);
  view.setUint8(9, flags);
  // Bytes 10 and 11 are reserved and stay 0.
  view.setUint32(12, sequence >>> 0);
  view.setBigUint64(16, BigInt(frameId));
  view.setBigUint64(24, BigInt(timestampUs));
  view.setUint32(32, body.length);
  bytes.set(body, HEADER_BYTES);
  return bytes;
}

// One frame from a WebSocket message (an ArrayBuffer or a Uint8Array). The
// payload is a view into the message, not a copy; bytes after it are ignored.
export function decodeFrame(message) {
  const bytes = message instanceof Uint8Array ? message : new Uint8Array(message);
  if (bytes.length < HEADER_BYTES) {
    throw new WireError('short header');
  }
  for (let i = 0; i < MAGIC.length; i++) {
    if (bytes[i] !== MAGIC[i]) {
      throw new WireError('bad magic');
    }
  }
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.length);
  if (view.getUint16(4) !== FRAMING_VERSION) {
    throw new WireError('bad version');
  }
  const payloadLength = view.getUint32(32);
  if (payloadLength > MAX_PAYLOAD_BYTES) {
    throw new WireError('payload too large');
  }
  if (HEADER_BYTES + payloadLength > bytes.length) {
    throw new WireError('short payload');
  }
  return {
    type: view.getUint16(6),
    channel: view.getUint8(8),
    flags: view.getUint8(9),
    sequence: view.getUint32(12),
    frameId: view.getBigUint64(16),
    timestampUs: view.getBigUint64(24),
    payload: bytes.subarray(HEADER_BYTES, HEADER_BYTES + payloadLength),
  };
}

// Per-channel sequence numbers of the frames this page sends; each starts at
// 0 and wraps at 2^32.
export class SequenceCounters {
  #next = [0, 0, 0];

  draw(channel) {
    const i = channel < this.#next.length ? channel : 0;
    const value = this.#next[i];
    this.#next[i] = (value + 1) >>> 0;
    return value;
  }
}

// --- JSON payloads -----------------------------------------------------------

const textEncoder = new TextEncoder();
const textDecoder = new TextDecoder('utf-8', { fatal: false });

export function encodeJson(object) {
  return textEncoder.encode(JSON.stringify(object));
}

// The object of a JSON payload; anything that is not a JSON object gives {}
// (the host's messages are read key by key with defaults).
export function decodeJson(payload) {
  try {
    const value = JSON.parse(textDecoder.decode(payload));
    return value !== null && typeof value === 'object' && !Array.isArray(value) ? value : {};
  } catch {
    return {};
  }
}

// --- binary payloads ---------------------------------------------------------

function payloadOf(size, fill) {
  const bytes = new Uint8Array(size);
  fill(new DataView(bytes.buffer));
  return bytes;
}

// TOUCH, 28 bytes: action, pointerId, pointerCount u16, x f32, y f32,
// pressure f32, buttons u32, eventTimeUs u64.
export function encodeTouch({ action, pointerId = 0, pointerCount = 1, x, y, pressure = 1,
  buttons = 0, eventTimeUs = 0n }) {
  return payloadOf(28, (v) => {
    v.setUint8(0, action);
    v.setUint8(1, pointerId);
    v.setUint16(2, pointerCount);
    v.setFloat32(4, x);
    v.setFloat32(8, y);
    v.setFloat32(12, pressure);
    v.setUint32(16, buttons);
    v.setBigUint64(20, BigInt(eventTimeUs));
  });
}

// SCROLL, 24 bytes: dx, dy, x, y as f32 fractions of the picture, then
// eventTimeUs u64.
export function encodeScroll({ dx, dy, x, y, eventTimeUs = 0n }) {
  return payloadOf(24, (v) => {
    v.setFloat32(0, dx);
    v.setFloat32(4, dy);
    v.setFloat32(8, x);
    v.setFloat32(12, y);
    v.setBigUint64(16, BigInt(eventTimeUs));
  });
}

// KEY, 16 bytes: HID usage u32, action u8, modifier bits u8, 2 reserved,
// eventTimeUs u64.
export function encodeKey({ usage, action, modifiers = 0, eventTimeUs = 0n }) {
  return payloadOf(16, (v) => {
    v.setUint32(0, usage);
    v.setUint8(4, action);
    v.setUint8(5, modifiers);
    v.setBigUint64(8, BigInt(eventTimeUs));
  });
}

// FRAME_ACK, 36 bytes: frameId, receivedUs, decodedUs, presentedUs (u64
// each), then 4 bytes the host keeps but does not read.
export function encodeFrameAck({ frameId, receivedUs, decodedUs, presentedUs }) {
  return payloadOf(36, (v) => {
    v.setBigUint64(0, BigInt(frameId));
    v.setBigUint64(8, BigInt(receivedUs));
    v.setBigUint64(16, BigInt(decodedUs));
    v.setBigUint64(24, BigInt(presentedUs));
  });
}

// PING and PONG, 24 bytes: pingId, originUs, replyUs.
export function encodePing({ pingId, originUs, replyUs = 0n }) {
  return payloadOf(24, (v) => {
    v.setBigUint64(0, BigInt(pingId));
    v.setBigUint64(8, BigInt(originUs));
    v.setBigUint64(16, BigInt(replyUs));
  });
}

export function decodePing(payload) {
  if (payload.length < 24) {
    throw new WireError('short PING');
  }
  const v = new DataView(payload.buffer, payload.byteOffset, payload.length);
  return { pingId: v.getBigUint64(0), originUs: v.getBigUint64(8), replyUs: v.getBigUint64(16) };
}
