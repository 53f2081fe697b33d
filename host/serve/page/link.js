// The WebSocket to the host: one binary message per wire frame, bounded
// waits for the socket to open and for the host to say anything, and the
// timers for trying again. Whether and when to try again is the session's
// decision (retryDelayMs is its schedule).

import { WireError, decodeFrame } from './wire.js';

// A socket that has not opened by then is given up: browsers otherwise wait
// for the operating system's TCP timeout, minutes on some phones.
const OPEN_TIMEOUT_MS = 10000;
// The host sends a PING every second on an open connection, so this much
// silence means a link that died without a close (a phone that changed
// networks, a PC that went to sleep).
const SILENCE_TIMEOUT_MS = 10000;

// Lost connections are tried again after 1 s, then 2 s, then every 5 s.
const RETRY_SCHEDULE_MS = [1000, 2000, 5000];

// The delay before attempt |failures| + 1 after |failures| failed ones.
export function retryDelayMs(failures) {
  return RETRY_SCHEDULE_MS[Math.min(Math.max(0, failures), RETRY_SCHEDULE_MS.length - 1)];
}

// The socket's address: the page's own host and port (the host checks the
// Origin against it), ws: beside http: and wss: beside https:.
export function linkUrl(pageLocation, key, secret) {
  const scheme = pageLocation.protocol === 'https:' ? 'wss:' : 'ws:';
  let url = `${scheme}//${pageLocation.host}/link?key=${encodeURIComponent(key)}`;
  if (secret) {
    url += `&secret=${encodeURIComponent(secret)}`;
  }
  return url;
}

// Handlers: onOpen(), onFrame(frame), onClose({opened, heard}). At most one
// socket at a time; every callback comes from the page's one thread.
export class Link {
  #urlFor;
  #handlers;
  #socket = null;
  #retryTimer = 0;
  #watchdog = 0;
  #opened = false;
  #heard = false;

  constructor(urlFor, handlers) {
    this.#urlFor = urlFor;
    this.#handlers = handlers;
  }

  get isOpen() {
    return this.#socket !== null && this.#socket.readyState === WebSocket.OPEN;
  }

  // Opens a socket now, replacing any earlier one (which reports no close).
  connect() {
    this.#drop();
    clearTimeout(this.#retryTimer);
    this.#opened = false;
    this.#heard = false;
    const socket = new WebSocket(this.#urlFor());
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      this.#opened = true;
      this.#arm(SILENCE_TIMEOUT_MS);
      this.#handlers.onOpen();
    };
    socket.onmessage = (event) => this.#onMessage(event.data);
    socket.onclose = () => this.#lost(socket);
    socket.onerror = () => this.#lost(socket);
    this.#socket = socket;
    this.#arm(OPEN_TIMEOUT_MS);
  }

  connectIn(delayMs) {
    clearTimeout(this.#retryTimer);
    this.#retryTimer = setTimeout(() => this.connect(), delayMs);
  }

  // Sends one frame; false when there is no open socket.
  send(frame) {
    if (!this.isOpen) {
      return false;
    }
    this.#socket.send(frame);
    return true;
  }

  // Closes the socket and cancels any retry; no onClose follows.
  disconnect() {
    clearTimeout(this.#retryTimer);
    this.#drop();
  }

  #onMessage(data) {
    if (!(data instanceof ArrayBuffer)) {
      return; // the host sends no text messages
    }
    let frame;
    try {
      frame = decodeFrame(data);
    } catch (error) {
      if (error instanceof WireError) {
        return; // one bad message; the next one is a frame of its own
      }
      throw error;
    }
    this.#heard = true;
    this.#arm(SILENCE_TIMEOUT_MS);
    this.#handlers.onFrame(frame);
  }

  #arm(timeoutMs) {
    clearTimeout(this.#watchdog);
    const socket = this.#socket;
    this.#watchdog = setTimeout(() => this.#lost(socket), timeoutMs);
  }

  // The socket closed, failed or went silent: reported once.
  #lost(socket) {
    if (socket !== this.#socket) {
      return;
    }
    this.#drop();
    this.#handlers.onClose({ opened: this.#opened, heard: this.#heard });
  }

  #drop() {
    clearTimeout(this.#watchdog);
    const socket = this.#socket;
    this.#socket = null;
    if (socket !== null) {
      socket.onopen = socket.onmessage = socket.onclose = socket.onerror = null;
      if (socket.readyState === WebSocket.CONNECTING || socket.readyState === WebSocket.OPEN) {
        socket.close();
      }
    }
  }
}
