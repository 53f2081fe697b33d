// One browser's conversation with this PC, across connections: HELLO and
// DEVICE_INFO first, the answer to HELLO_ACK, the host's errors as states of
// the status line, PING answered, video handed to the decoder, visibility
// and screen turns reported, and whether to connect again after a loss.

import { nowUs } from './clock.js';
import { newPairToken } from './identity.js';
import { Link, linkUrl, retryDelayMs } from './link.js';
import { State } from './status.js';
import {
  FLAG_KEYFRAME, MessageType, SequenceCounters, decodeJson, decodePing, encodeFrame,
  encodeFrameAck, encodeJson, encodePing,
} from './wire.js';

export const APP_VERSION = 'page 0.1.0';
const PROTOCOL_VERSION = 1;
const BUSY_RETRY_MS = 5000;
// The longest host message shown on the status line.
const MESSAGE_CHARS = 200;

// What the host's ERROR means for this page.
export const ErrorOutcome = Object.freeze({
  APPROVAL: 'approval', // waiting for this PC's user: show the code
  INVALID: 'invalid', // the link is used or expired: stop
  REFUSED: 'refused', // this PC said no: stop
  BUSY: 'busy', // another phone streams: try again in 5 s
  SHOW: 'show', // anything else: show the text, carry on
});

export function errorOutcome(code, message) {
  if (code === 'NO_DISPLAY' && message === 'waiting for approval on the PC') {
    return ErrorOutcome.APPROVAL;
  }
  if (code === 'PERMISSION_DENIED') {
    return message === 'no valid link: open the address this PC shows now'
      ? ErrorOutcome.INVALID : ErrorOutcome.REFUSED;
  }
  if (code === 'BUSY') {
    return ErrorOutcome.BUSY;
  }
  return ErrorOutcome.SHOW;
}

const text = (value) => (typeof value === 'string' ? value : '');

export class Session {
  #identity;
  #status;
  #screen;
  #video;
  #deviceInfo;
  #stats;
  #link;
  #counters = new SequenceCounters();
  #secret;
  #secretSent = false;
  #failures = 0;
  #stopped = false; // refused or invalid: no more connections
  #busy = false;
  #lastDeviceInfo = '';

  // |deviceInfo()| gives DEVICE_INFO's object as the screen is now; |video|
  // is a VideoPipe whose acknowledgements and keyframe requests come back
  // through sendFrameAck and requestKeyframe.
  constructor({ identity, secret, status, screen, deviceInfo, stats, pageLocation }) {
    this.#identity = identity;
    this.#secret = secret;
    this.#status = status;
    this.#screen = screen;
    this.#deviceInfo = deviceInfo;
    this.#stats = stats;
    this.#link = new Link(() => {
      this.#stats.connectAttempts++;
      this.#secretSent = this.#secret !== null;
      return linkUrl(pageLocation, identity.key, this.#secret);
    }, {
      onOpen: () => this.#onOpen(),
      onFrame: (frame) => this.#onFrame(frame),
      onClose: (how) => this.#onClose(how),
    });
  }

  set video(pipe) {
    this.#video = pipe;
  }

  start() {
    this.#status.show(State.CONNECTING);
    this.#link.connect();
  }

  // Sends one message now; dropped when there is no open connection (input
  // made while the link is down means nothing once it is back).
  send(type, payload) {
    const sent = this.#link.send(encodeFrame(type, payload, {
      sequence: this.#counters.draw(0),
      timestampUs: nowUs(),
    }));
    if (sent) {
      const counts = this.#stats.sent;
      counts[type] = (counts[type] ?? 0) + 1;
    }
    return sent;
  }

  sendFrameAck(ack) {
    this.send(MessageType.FRAME_ACK, encodeFrameAck(ack));
  }

  requestKeyframe() {
    this.send(MessageType.REQUEST_IDR, null);
  }

  onVisibilityChange(visible) {
    this.send(MessageType.VISIBILITY, encodeJson({
      visible,
      reason: visible ? 'page shown' : 'page hidden',
      atUs: Number(nowUs()),
    }));
  }

  // The screen turned or changed size: the host takes DEVICE_INFO again.
  onScreenTurned() {
    const info = JSON.stringify(this.#deviceInfo());
    if (info !== this.#lastDeviceInfo && this.#link.isOpen) {
      this.#sendDeviceInfo();
    }
  }

  #sendDeviceInfo() {
    const info = this.#deviceInfo();
    this.#lastDeviceInfo = JSON.stringify(info);
    this.send(MessageType.DEVICE_INFO, encodeJson(info));
  }

  #onOpen() {
    this.#stats.connections++;
    if (this.#status.state === State.LOST) {
      this.#status.show(State.CONNECTING);
    }
    this.send(MessageType.HELLO, encodeJson({
      protocolVersion: PROTOCOL_VERSION,
      deviceId: this.#identity.deviceId,
      appVersion: APP_VERSION,
    }));
    this.#sendDeviceInfo();
  }

  #onClose({ heard }) {
    this.#video.close();
    this.#screen.keepAwake(false);
    if (this.#stopped) {
      return;
    }
    if (this.#busy) {
      this.#busy = false;
      this.#link.connectIn(BUSY_RETRY_MS);
      return;
    }
    // A connection the host answered on starts the schedule over.
    if (heard) {
      this.#failures = 0;
    }
    const delayMs = retryDelayMs(this.#failures++);
    this.#stats.nextRetryMs = delayMs;
    this.#status.show(State.LOST);
    this.#link.connectIn(delayMs);
  }

  #onFrame(frame) {
    switch (frame.type) {
      case MessageType.HELLO_ACK:
        this.#onHelloAck(decodeJson(frame.payload));
        break;
      case MessageType.VIDEO_CONFIG:
        this.#stats.videoConfig = decodeJson(frame.payload);
        break;
      case MessageType.VIDEO_CONFIG_DATA:
        this.#video.configure(frame.payload);
        break;
      case MessageType.STREAM_START:
        this.#onStreamStart();
        break;
      case MessageType.VIDEO_FRAME:
        this.#video.push(frame.frameId, (frame.flags & FLAG_KEYFRAME) !== 0, frame.payload, nowUs());
        break;
      case MessageType.HOST_STATS:
        this.#stats.hostStats = decodeJson(frame.payload);
        break;
      case MessageType.PING:
        this.#onPing(frame.payload);
        break;
      case MessageType.ERROR:
        this.#onError(decodeJson(frame.payload));
        break;
      default:
        // STREAM_KEEPALIVE, PONG and anything newer: nothing to do.
        break;
    }
  }

  #onHelloAck(ack) {
    // "" asks this browser for a token, which the PC keeps once its user
    // says yes; a token means this PC knows this browser already.
    if (text(ack.token) === '') {
      this.send(MessageType.PAIR_ACCEPTED, encodeJson({ token: newPairToken() }));
    }
  }

  #onStreamStart() {
    // The secret is one-time: once a connection that carried it streams,
    // this browser's key is what the PC knows it by.
    if (this.#secretSent) {
      this.#secret = null;
    }
    this.#busy = false;
    this.#status.show(State.STREAMING);
    this.#screen.keepAwake(true);
  }

  #onPing(payload) {
    let ping;
    try {
      ping = decodePing(payload);
    } catch {
      return;
    }
    this.send(MessageType.PONG, encodePing({ ...ping, replyUs: nowUs() }));
  }

  #onError(error) {
    const code = text(error.code);
    const message = text(error.message);
    this.#stats.lastError = { code, message };
    switch (errorOutcome(code, message)) {
      case ErrorOutcome.APPROVAL:
        this.#status.show(State.APPROVAL, { code: this.#identity.code });
        break;
      case ErrorOutcome.INVALID:
        this.#stop(State.INVALID);
        break;
      case ErrorOutcome.REFUSED:
        this.#stop(State.REFUSED);
        break;
      case ErrorOutcome.BUSY:
        this.#busy = true;
        this.#status.show(State.BUSY);
        // The host closes the connection; closing it here as well means
        // the retry does not wait on a host that does not.
        this.#link.disconnect();
        this.#onClose({ heard: true });
        break;
      default:
        if (message !== '') {
          this.#status.show(this.#status.state, { message: message.slice(0, MESSAGE_CHARS) });
        }
        break;
    }
  }

  #stop(state) {
    this.#stopped = true;
    this.#link.disconnect();
    this.#video.close();
    this.#screen.keepAwake(false);
    this.#status.show(state);
  }
}
