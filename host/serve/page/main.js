// The page's start: the secret from the address, this browser's identity,
// the decoder probe, then the session with its screen, video and input.

import { VideoPipe, probeMaxDecode } from './decoder.js';
import { loadIdentity } from './identity.js';
import { KeyboardInput } from './keyboard.js';
import { Screen, screenMetrics } from './screen.js';
import { Session } from './session.js';
import { State, StatusLine, languageOf } from './status.js';
import { TouchInput } from './touch.js';

const SECRET_PATTERN = /^[A-Za-z0-9_-]{1,128}$/;
// What DEVICE_INFO claims when the probe cannot tell: the host's default.
const FALLBACK_MAX_DECODE = { width: 1920, height: 1080 };

// Counters for tests, read through window.veyraPage.stats as a frozen copy.
const stats = {
  connectAttempts: 0,
  connections: 0,
  nextRetryMs: 0,
  receivedFrames: 0,
  decodedFrames: 0,
  presentedFrames: 0,
  skippedFrames: 0,
  decoderResets: 0,
  lastFrameId: -1,
  pictureWidth: 0,
  pictureHeight: 0,
  codec: '',
  maxDecodeWidth: 0,
  maxDecodeHeight: 0,
  sent: {}, // message type -> count
  lastError: null,
  videoConfig: null,
  hostStats: null,
};

function exposeStats(screen) {
  const copy = () => Object.freeze({
    ...stats,
    sent: Object.freeze({ ...stats.sent }),
    picture: Object.freeze(screen?.picture ?? { x: 0, y: 0, width: 0, height: 0 }),
  });
  Object.defineProperty(window, 'veyraPage', {
    value: Object.freeze({ get stats() { return copy(); } }),
  });
}

// The one-time secret travels in the address's fragment, which no server
// sees; it is taken out of the address bar (and so out of the history and
// of anything shared from it) and kept in memory only.
function takeSecret() {
  const secret = location.hash.slice(1);
  if (location.hash !== '') {
    history.replaceState(null, '', location.pathname + location.search);
  }
  return SECRET_PATTERN.test(secret) ? secret : null;
}

// "browser", the platform and the browser's name, for this PC's question.
function modelName() {
  const ua = navigator.userAgent;
  const platform = [['Android', /Android/], ['iPhone', /iPhone/], ['iPad', /iPad/],
    ['Windows', /Windows/], ['Mac', /Macintosh/], ['Linux', /Linux/]]
    .find(([, pattern]) => pattern.test(ua))?.[0];
  const browser = [['Samsung Internet', /SamsungBrowser/], ['Edge', /Edg\//],
    ['Firefox', /Firefox\//], ['Chrome', /Chrome\//], ['Safari', /Safari\//]]
    .find(([, pattern]) => pattern.test(ua))?.[0];
  return ['browser', platform, browser].filter(Boolean).join(' ');
}

function storage() {
  try {
    return window.localStorage;
  } catch {
    return null; // storage turned off: the identity lasts for this page
  }
}

async function start() {
  const status = new StatusLine(document.getElementById('status'),
    languageOf(navigator.language));
  status.show(State.CONNECTING);
  const secret = takeSecret();
  if (!window.isSecureContext || !crypto.subtle || typeof VideoDecoder === 'undefined') {
    status.show(State.REFUSED, { textKey: 'unsupported' });
    exposeStats(null);
    return;
  }
  const screen = new Screen(document.getElementById('screen'));
  exposeStats(screen);
  const [identity, maxDecode] = await Promise.all([loadIdentity(storage()), probeMaxDecode()]);
  const decodes = maxDecode ?? FALLBACK_MAX_DECODE;
  stats.maxDecodeWidth = decodes.width;
  stats.maxDecodeHeight = decodes.height;
  const model = modelName();
  const deviceInfo = () => {
    const metrics = screenMetrics();
    return {
      model,
      widthPx: metrics.widthPx,
      heightPx: metrics.heightPx,
      densityDpi: metrics.densityDpi,
      refreshHz: 60,
      h264LowLatency: true,
      hevc: false,
      maxDecodeWidth: decodes.width,
      maxDecodeHeight: decodes.height,
      touch: true,
      folded: false,
      rotation: metrics.rotation,
    };
  };
  const session = new Session({
    identity, secret, status, screen, deviceInfo, stats, pageLocation: location,
  });
  session.video = new VideoPipe({
    screen,
    stats,
    sendAck: (ack) => session.sendFrameAck(ack),
    requestKeyframe: () => session.requestKeyframe(),
  });
  const send = (type, payload) => session.send(type, payload);
  new TouchInput(document.getElementById('screen'), screen, send);
  new KeyboardInput(document.getElementById('keyboard'), document.getElementById('keys'), send);
  screen.onTurn(() => session.onScreenTurned());
  document.addEventListener('visibilitychange', () => {
    const visible = document.visibilityState === 'visible';
    session.onVisibilityChange(visible);
    if (visible) {
      screen.reacquireWakeLock();
    }
  });
  screen.clear();
  session.start();
}

start();
