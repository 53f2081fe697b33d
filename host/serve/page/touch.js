// Pointer events on the canvas as the PC's input: one finger (or the mouse)
// is TOUCH down/move/up at fractions of the picture, two fingers dragging
// are SCROLL. A tap also asks for full screen.

import { nowUs } from './clock.js';
import { MessageType, TouchAction, encodeScroll, encodeTouch } from './wire.js';

// A finger's down waits this long for a second finger before it is sent:
// the PC turns a down into a mouse press, and a press taken back when the
// second finger lands would click wherever the first one touched. Fingers
// of a two-finger gesture land within a few tens of milliseconds.
const SECOND_FINGER_WAIT_MS = 80;
// A finger that moves this far (CSS pixels) is a drag: its down goes at once.
const DRAG_START_PX = 8;
const SECONDARY_BUTTON = 0x2;

export class TouchInput {
  #canvas;
  #screen;
  #send;
  #pointers = new Map(); // pointerId -> {x, y} in client pixels
  #mode = 'idle'; // idle | touch | scroll
  #primary = null; // {id, startX, startY, buttons, downSent}
  #downTimer = 0;
  #scrollAt = null; // last midpoint of two fingers, client pixels

  // |send(type, payload)| sends one message.
  constructor(canvas, screen, send) {
    this.#canvas = canvas;
    this.#screen = screen;
    this.#send = send;
    canvas.addEventListener('pointerdown', (e) => this.#onDown(e));
    canvas.addEventListener('pointermove', (e) => this.#onMove(e));
    canvas.addEventListener('pointerup', (e) => this.#onUp(e, TouchAction.UP));
    canvas.addEventListener('pointercancel', (e) => this.#onUp(e, TouchAction.CANCEL));
    canvas.addEventListener('contextmenu', (e) => e.preventDefault());
  }

  #onDown(e) {
    e.preventDefault();
    this.#canvas.setPointerCapture?.(e.pointerId);
    this.#pointers.set(e.pointerId, { x: e.clientX, y: e.clientY });
    if (this.#mode === 'idle' && this.#pointers.size === 1) {
      this.#mode = 'touch';
      this.#primary = {
        id: e.pointerId, startX: e.clientX, startY: e.clientY, downSent: false,
        buttons: e.pointerType === 'mouse' && e.button === 2 ? SECONDARY_BUTTON : 0,
      };
      if (e.pointerType === 'touch') {
        this.#downTimer = setTimeout(() => this.#sendDown(), SECOND_FINGER_WAIT_MS);
      } else {
        this.#sendDown();
      }
    } else if (this.#pointers.size === 2) {
      this.#startScroll();
    }
  }

  #onMove(e) {
    const pointer = this.#pointers.get(e.pointerId);
    if (!pointer) {
      return; // a mouse hovering: the PC's pointer follows presses only
    }
    pointer.x = e.clientX;
    pointer.y = e.clientY;
    if (this.#mode === 'touch' && e.pointerId === this.#primary.id) {
      if (!this.#primary.downSent) {
        if (Math.hypot(e.clientX - this.#primary.startX, e.clientY - this.#primary.startY) <
            DRAG_START_PX) {
          return;
        }
        this.#sendDown();
      }
      this.#sendTouch(TouchAction.MOVE, pointer);
    } else if (this.#mode === 'scroll') {
      this.#scrollBy();
    }
  }

  #onUp(e, action) {
    const pointer = this.#pointers.get(e.pointerId);
    if (!pointer) {
      return;
    }
    pointer.x = e.clientX;
    pointer.y = e.clientY;
    if (this.#mode === 'touch' && e.pointerId === this.#primary.id) {
      if (!this.#primary.downSent && action === TouchAction.UP) {
        this.#sendDown(); // a tap: its down was still waiting
      }
      if (this.#primary.downSent) {
        this.#sendTouch(action, pointer);
      }
      this.#primary = null;
      this.#screen.enterFullscreen();
    }
    this.#pointers.delete(e.pointerId);
    if (this.#mode === 'scroll' && this.#pointers.size >= 2) {
      this.#scrollAt = this.#midpoint();
    }
    // A scroll lasts until every finger is up: the one left is no touch.
    if (this.#pointers.size === 0) {
      clearTimeout(this.#downTimer);
      this.#mode = 'idle';
      this.#primary = null;
      this.#scrollAt = null;
    }
  }

  #sendDown() {
    clearTimeout(this.#downTimer);
    const primary = this.#primary;
    if (this.#mode !== 'touch' || primary === null || primary.downSent) {
      return;
    }
    primary.downSent = true;
    this.#sendTouch(TouchAction.DOWN, { x: primary.startX, y: primary.startY });
  }

  #startScroll() {
    clearTimeout(this.#downTimer);
    if (this.#mode === 'touch' && this.#primary?.downSent) {
      // Too late to hold the first finger back: release it without moving.
      this.#sendTouch(TouchAction.CANCEL, this.#pointers.get(this.#primary.id));
    }
    this.#mode = 'scroll';
    this.#primary = null;
    this.#scrollAt = this.#midpoint();
  }

  #sendTouch(action, point) {
    const at = this.#screen.toPicture(point.x, point.y);
    if (at === null) {
      return; // no picture yet: nothing on the PC to point at
    }
    const down = action === TouchAction.DOWN || action === TouchAction.MOVE;
    this.#send(MessageType.TOUCH, encodeTouch({
      action, x: at.x, y: at.y, pressure: down ? 1 : 0,
      buttons: this.#primary?.buttons ?? 0, eventTimeUs: nowUs(),
    }));
  }

  // The midpoint of the first two fingers moved: its movement, as fractions
  // of the picture, is the scroll (positive down and right, as the fingers
  // went).
  #scrollBy() {
    const now = this.#midpoint();
    const before = this.#scrollAt;
    this.#scrollAt = now;
    const from = this.#screen.toPicture(before.x, before.y, { clamp: false });
    const to = this.#screen.toPicture(now.x, now.y, { clamp: false });
    if (from === null || to === null || (from.x === to.x && from.y === to.y)) {
      return;
    }
    const at = this.#screen.toPicture(now.x, now.y);
    this.#send(MessageType.SCROLL, encodeScroll({
      dx: to.x - from.x, dy: to.y - from.y, x: at.x, y: at.y, eventTimeUs: nowUs(),
    }));
  }

  #midpoint() {
    const [a, b] = this.#pointers.values();
    return { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
  }
}
