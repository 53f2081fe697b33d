// The page's pure functions under Node's test runner: the wire bytes the
// host writes and reads, the codec string of a real SPS, the letterbox's
// point mapping, key strokes, the code both sides show, and what the host's
// errors and lost connections make the page do.
//
// The page's files are plain browser modules (.js with import/export) in a
// folder without a package.json, which Node would load as CommonJS; they
// are copied beside a package.json that says "module".

import assert from 'node:assert/strict';
import { cpSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { webcrypto } from 'node:crypto';

// Node 18 has no global crypto; the page uses the Web Crypto API.
globalThis.crypto ??= webcrypto;

const pageDir = join(dirname(fileURLToPath(import.meta.url)), '..', '..', 'host', 'serve', 'page');
const copyDir = mkdtempSync(join(tmpdir(), 'veyra-page-'));
cpSync(pageDir, copyDir, { recursive: true });
writeFileSync(join(copyDir, 'package.json'), '{"type": "module"}\n');
after(() => rmSync(copyDir, { recursive: true, force: true }));
const load = (name) => import(pathToFileURL(join(copyDir, name)).href);

const wire = await load('wire.js');
const h264 = await load('h264.js');
const screen = await load('screen.js');
const keyboard = await load('keyboard.js');
const identity = await load('identity.js');
const session = await load('session.js');
const link = await load('link.js');

const hex = (bytes) => Buffer.from(bytes).toString('hex');
const bytes = (text) => new Uint8Array(Buffer.from(text.replace(/\s+/g, ''), 'hex'));

test('frames match the host codec byte for byte', () => {
  const ping = wire.encodeFrame(wire.MessageType.PING,
    wire.encodePing({ pingId: 1n, originUs: 2n, replyUs: 3n }),
    { sequence: 7, timestampUs: 0x0102030405060708n });
  assert.equal(hex(ping),
    '56595241' + // VYRA
    '0001' + '0030' + // version 1, type 48 (PING)
    '00' + '00' + '0000' + // channel, flags, reserved
    '00000007' + // sequence
    '0000000000000000' + // frameId
    '0102030405060708' + // timestampUs
    '00000018' + // payload length 24
    '0000000000000001' + '0000000000000002' + '0000000000000003');
  // TOUCH down at (0.25, 0.75), pressure 1, as the receiver sends it.
  const touch = wire.encodeTouch({ action: wire.TouchAction.DOWN, x: 0.25, y: 0.75,
    eventTimeUs: 0x10n });
  assert.equal(hex(touch), '000000013e8000003f4000003f800000000000000000000000000010');
  // KEY Left Shift down with its own modifier bit.
  assert.equal(hex(wire.encodeKey({ usage: 225, action: 0, modifiers: 2 })),
    '000000e1000200000000000000000000');
});

test('a host video frame decodes with its 64-bit id exact', () => {
  // channel 1, flags 0x05 (keyframe, access unit), sequence 9, frameId
  // 2^53 + 1, timestampUs 5, six payload bytes.
  const frame = wire.decodeFrame(bytes(`56595241 0001 0010 01 05 0000 00000009
    0020000000000001 0000000000000005 00000006 000000016588`).buffer);
  assert.equal(frame.type, wire.MessageType.VIDEO_FRAME);
  assert.equal(frame.channel, 1);
  assert.equal(frame.flags & wire.FLAG_KEYFRAME, wire.FLAG_KEYFRAME);
  assert.equal(frame.sequence, 9);
  assert.equal(frame.frameId, 2n ** 53n + 1n);
  assert.equal(frame.timestampUs, 5n);
  assert.equal(hex(frame.payload), '000000016588');
  // And back: the same header re-encoded.
  const again = wire.encodeFrame(frame.type, frame.payload, frame);
  assert.equal(hex(again), hex(bytes(`56595241 0001 0010 01 05 0000 00000009
    0020000000000001 0000000000000005 00000006 000000016588`)));
});

test('broken frames are refused with the host codec reasons', () => {
  const good = wire.encodeFrame(wire.MessageType.PONG, new Uint8Array(24));
  const broken = (offset, value) => {
    const copy = good.slice();
    copy[offset] = value;
    return copy;
  };
  const tooLarge = good.slice();
  new DataView(tooLarge.buffer).setUint32(32, 16 * 1024 * 1024 + 1);
  for (const [message, reason] of [
    [good.subarray(0, 35), 'short header'],
    [broken(0, 0x57), 'bad magic'],
    [broken(5, 2), 'bad version'],
    [tooLarge, 'payload too large'],
    [good.subarray(0, 36 + 23), 'short payload'],
  ]) {
    assert.throws(() => wire.decodeFrame(message), { name: 'Error', message: reason }, reason);
  }
});

test('the codec string comes from a real SPS', () => {
  // x264's High profile level 4.0 configuration for 1920x1080, as the host
  // sends it in VIDEO_CONFIG_DATA: SPS then PPS.
  const config = bytes(`00000001 6764 0028 acd9 4078 0227 e5c0 4400 0003 0004 0000 0300 f03c 60c6 58
    00000001 68eb e3cb 22c0`);
  assert.equal(h264.codecFromConfig(config), 'avc1.640028');
  assert.deepEqual(h264.nalTypes(config), [h264.NAL_SPS, h264.NAL_PPS]);
  assert.equal(h264.codecFromConfig(bytes('00000001 68eb e3cb 22c0')), null);
  assert.equal(h264.codecFromConfig(bytes('000001 6742')), null); // too short to name one
});

test('letterboxing maps points to picture fractions, clamped on the bars', () => {
  // A 1920x1080 picture on a 1080x2400 portrait screen: 1080x608 in the middle.
  const rect = screen.fitPicture(1080, 2400, 1920, 1080);
  assert.deepEqual(rect, { x: 0, y: 896, width: 1080, height: 608 });
  assert.deepEqual(screen.pointInPicture(540, 1200, rect), { x: 0.5, y: 0.5 });
  assert.deepEqual(screen.pointInPicture(270, 896 + 152, rect), { x: 0.25, y: 0.25 });
  assert.deepEqual(screen.pointInPicture(1080, 100, rect), { x: 1, y: 0 }); // on the top bar
  assert.deepEqual(screen.pointInPicture(540, 288, rect, { clamp: false }),
    { x: 0.5, y: -1 });
  assert.equal(screen.pointInPicture(1, 1, screen.fitPicture(100, 100, 0, 0)), null);
});

test('keys become HID usages, upper case and symbols inside Left Shift', () => {
  const { DOWN, UP } = wire.KeyAction;
  const events = (text) => keyboard.strokesForText(text).flatMap((s) => keyboard.keyEvents(s));
  assert.deepEqual(events('a'), [[4, DOWN], [4, UP]]);
  assert.deepEqual(events('Z'), [[225, DOWN], [29, DOWN], [29, UP], [225, UP]]);
  assert.deepEqual(events('!'), [[225, DOWN], [30, DOWN], [30, UP], [225, UP]]);
  assert.deepEqual(events('0 \n'), [[39, DOWN], [39, UP], [44, DOWN], [44, UP], [40, DOWN],
    [40, UP]]);
  assert.deepEqual(events('é한'), []); // no key on a US keyboard
  assert.deepEqual(['ArrowRight', 'ArrowLeft', 'ArrowDown', 'ArrowUp', 'Escape', 'Backspace', 'Tab']
    .map((key) => keyboard.strokeForKey(key).usage), [79, 80, 81, 82, 41, 42, 43]);
  assert.equal(keyboard.strokeForKey('Unidentified'), null);
  assert.deepEqual(keyboard.keyEvents(keyboard.strokeForKey('C'), { ctrl: true }),
    [[224, DOWN], [225, DOWN], [6, DOWN], [6, UP], [225, UP], [224, UP]]);
});

test('the identity is made once, kept, and shows the code of its key', async () => {
  const kept = new Map();
  const storage = { getItem: (k) => kept.get(k) ?? null, setItem: (k, v) => kept.set(k, v) };
  const first = await identity.loadIdentity(storage);
  assert.match(first.deviceId, /^browser-[0-9a-f]{16}$/);
  assert.match(first.key, /^[A-Za-z0-9_-]{43}$/);
  assert.deepEqual(await identity.loadIdentity(storage), first);
  // The code is SHA-256 of the 32 raw key bytes: all-zero bytes give 66687AAD...
  kept.set('veyra.key', 'A'.repeat(43));
  const zero = await identity.loadIdentity(storage);
  assert.equal(zero.code, '6668-7AAD-F862-BD77');
  kept.set('veyra.key', 'not a key');
  assert.notEqual((await identity.loadIdentity(storage)).key, 'not a key');
  // A storage that refuses still gives an identity, for this page only.
  const refusing = { getItem() { throw new Error('denied'); }, setItem() { throw new Error('denied'); } };
  assert.match((await identity.loadIdentity(refusing)).key, /^[A-Za-z0-9_-]{43}$/);
});

test('host errors decide what the page does next', () => {
  const { ErrorOutcome, errorOutcome } = session;
  for (const [code, message, outcome] of [
    ['NO_DISPLAY', 'waiting for approval on the PC', ErrorOutcome.APPROVAL],
    ['NO_DISPLAY', 'the PC is locked; the desktop will appear when it is unlocked',
      ErrorOutcome.SHOW],
    ['NO_DISPLAY', "protected content on the PC's screen is shown black", ErrorOutcome.SHOW],
    ['PERMISSION_DENIED', 'no valid link: open the address this PC shows now',
      ErrorOutcome.INVALID],
    ['PERMISSION_DENIED', 'not allowed on this PC', ErrorOutcome.REFUSED],
    ['PERMISSION_DENIED', 'no answer on this PC', ErrorOutcome.REFUSED],
    ['BUSY', "another phone is showing this PC's screen", ErrorOutcome.BUSY],
    ['INTERNAL', 'capture failed; recovering', ErrorOutcome.SHOW],
  ]) {
    assert.equal(errorOutcome(code, message), outcome, `${code}: ${message}`);
  }
  // Lost connections: 1 s, 2 s, then every 5 s.
  assert.deepEqual([0, 1, 2, 3, 9].map(link.retryDelayMs), [1000, 2000, 5000, 5000, 5000]);
  assert.equal(link.linkUrl({ protocol: 'https:', host: '192.168.1.20:47820' }, 'KEY', 'S-_1'),
    'wss://192.168.1.20:47820/link?key=KEY&secret=S-_1');
  assert.equal(link.linkUrl({ protocol: 'http:', host: 'localhost:47820' }, 'KEY', null),
    'ws://localhost:47820/link?key=KEY');
});
