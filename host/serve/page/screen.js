// The phone's screen: the canvas the PC's picture is drawn on (letterboxed,
// aspect kept), full screen, the wake lock while streaming, and the screen's
// shape for DEVICE_INFO when it turns.

// The largest rectangle of the picture's aspect that fits the view, centred;
// all in the same pixels. An empty picture or view gives an empty rectangle.
export function fitPicture(viewWidth, viewHeight, pictureWidth, pictureHeight) {
  if (!(viewWidth > 0 && viewHeight > 0 && pictureWidth > 0 && pictureHeight > 0)) {
    return { x: 0, y: 0, width: 0, height: 0 };
  }
  const scale = Math.min(viewWidth / pictureWidth, viewHeight / pictureHeight);
  const width = Math.round(pictureWidth * scale);
  const height = Math.round(pictureHeight * scale);
  return {
    x: Math.floor((viewWidth - width) / 2),
    y: Math.floor((viewHeight - height) / 2),
    width,
    height,
  };
}

const clamp01 = (v) => Math.min(1, Math.max(0, v));

// A point of the view as fractions of |rect| (the picture), clamped to 0..1
// unless |clamp| is false: a touch on the black bars lands on the picture's
// nearest edge. null for an empty picture.
export function pointInPicture(px, py, rect, { clamp = true } = {}) {
  if (!(rect.width > 0 && rect.height > 0)) {
    return null;
  }
  const x = (px - rect.x) / rect.width;
  const y = (py - rect.y) / rect.height;
  return clamp ? { x: clamp01(x), y: clamp01(y) } : { x, y };
}

const TURN_SETTLE_MS = 300;

export class Screen {
  #canvas;
  #context;
  #picture = { x: 0, y: 0, width: 0, height: 0 }; // in canvas pixels
  #wakeLock = null;
  #wantWakeLock = false;
  #turnTimer = 0;

  constructor(canvas) {
    this.#canvas = canvas;
    this.#context = canvas.getContext('2d', { alpha: false, desynchronized: true });
    this.#resizeCanvas();
  }

  // Where the picture is, in canvas pixels (empty before the first one).
  get picture() {
    return { ...this.#picture };
  }

  // A client (CSS pixel) point as fractions of the picture (see
  // pointInPicture), or null while there is no picture.
  toPicture(clientX, clientY, options) {
    const bounds = this.#canvas.getBoundingClientRect();
    const scale = bounds.width > 0 ? this.#canvas.width / bounds.width : 1;
    return pointInPicture((clientX - bounds.left) * scale, (clientY - bounds.top) * scale,
      this.#picture, options);
  }

  // Draws a decoded picture at once, letterboxed. The caller closes |frame|.
  draw(frame) {
    this.#resizeCanvas();
    const { width, height } = this.#canvas;
    const fit = fitPicture(width, height, frame.displayWidth, frame.displayHeight);
    const moved = fit.x !== this.#picture.x || fit.y !== this.#picture.y ||
      fit.width !== this.#picture.width || fit.height !== this.#picture.height;
    if (moved) {
      // The bars only need painting when the picture's place changes.
      this.#context.fillStyle = '#000';
      this.#context.fillRect(0, 0, width, height);
      this.#picture = fit;
    }
    this.#context.drawImage(frame, fit.x, fit.y, fit.width, fit.height);
  }

  clear() {
    this.#resizeCanvas();
    this.#context.fillStyle = '#000';
    this.#context.fillRect(0, 0, this.#canvas.width, this.#canvas.height);
    this.#picture = { x: 0, y: 0, width: 0, height: 0 };
  }

  // The canvas keeps one pixel per device pixel, so the picture is not
  // scaled twice. Resizing a canvas clears it, so only on a real change.
  #resizeCanvas() {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(this.#canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(this.#canvas.clientHeight * ratio));
    if (this.#canvas.width !== width || this.#canvas.height !== height) {
      this.#canvas.width = width;
      this.#canvas.height = height;
      this.#picture = { x: 0, y: 0, width: 0, height: 0 };
    }
  }

  enterFullscreen() {
    const root = document.documentElement;
    if (document.fullscreenElement || !root.requestFullscreen) {
      return;
    }
    // Refused without a user gesture or on browsers without it; the page
    // works the same, with the browser's bars.
    root.requestFullscreen({ navigationUI: 'hide' }).catch(() => {});
  }

  // The Screen Wake Lock keeps the phone from dimming while the PC's
  // picture shows. The browser drops it when the page is hidden; it is
  // taken again when the page shows (see reacquireWakeLock).
  keepAwake(on) {
    this.#wantWakeLock = on;
    if (on) {
      this.reacquireWakeLock();
    } else if (this.#wakeLock) {
      this.#wakeLock.release().catch(() => {});
      this.#wakeLock = null;
    }
  }

  reacquireWakeLock() {
    if (!this.#wantWakeLock || !navigator.wakeLock || document.visibilityState !== 'visible') {
      return;
    }
    if (this.#wakeLock && !this.#wakeLock.released) {
      return;
    }
    navigator.wakeLock.request('screen').then((lock) => {
      this.#wakeLock = lock;
    }, () => {
      this.#wakeLock = null;
    });
  }

  // Calls |listener| once the screen has settled after a turn or a resize.
  onTurn(listener) {
    const settle = () => {
      clearTimeout(this.#turnTimer);
      this.#turnTimer = setTimeout(listener, TURN_SETTLE_MS);
    };
    window.addEventListener('resize', settle);
    screen.orientation?.addEventListener('change', settle);
  }
}

// The screen as DEVICE_INFO reports it: device pixels, density and turn.
export function screenMetrics() {
  const ratio = window.devicePixelRatio || 1;
  return {
    widthPx: Math.round(screen.width * ratio),
    heightPx: Math.round(screen.height * ratio),
    densityDpi: Math.round(160 * ratio),
    rotation: screen.orientation?.angle ?? 0,
  };
}
