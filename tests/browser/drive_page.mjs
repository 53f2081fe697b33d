#!/usr/bin/env node
// Drives the page veyra-host serves in headless Chromium, for integration
// tests: one JSON command per line on standard input, one JSON answer per
// line on standard output, in order. Exits when standard input closes.
//
//   node tests/browser/drive_page.mjs --profile DIR [--chromium PATH]
//        [--viewport 412x915] [--scale 2] [--lang en-US]
//
// Each command is an object with "cmd", an optional "id" (echoed) and an
// optional "page" (a name, default "main": several pages share this
// browser and its profile; a second browser is a second driver). Answers
// are {"id", "ok": true, ...} or {"id", "ok": false, "error": text}. Every
// command is bounded by its "timeoutMs" (default 10 s, 20 s for open and
// reload).
//
//   ping                       answers once the browser runs
//   open {url}                 a new page (replacing one of the same name)
//   url                        {url}: the address the page shows now
//   status                     {state, text} of the status line
//   waitState {state}          waits until data-state is |state|; {state, text}
//   pixel {fx, fy}             {rgb: [r, g, b]} of the canvas at fractions of
//                              the picture (of the whole canvas before one)
//   tap {fx, fy}               a touch there through the DevTools input domain
//   type {text}                key presses typing |text|
//   pressKey {name}            one key by its KeyboardEvent.key name ("Enter")
//   screenshot {path}          a PNG of the page
//   stats                      {stats}: window.veyraPage.stats
//   console                    {messages, errors}: console messages and
//                              uncaught errors of the page so far
//   reload                     loads the page again (same address)
//   close                      closes the page
//   quit                       closes the browser; the driver exits

import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';

const DEFAULT_TIMEOUT_MS = 10000;
const OPEN_TIMEOUT_MS = 20000; // for the commands that load a page
const LONG_COMMANDS = new Set(['open', 'reload']);
const BROWSER_CLOSE_MS = 5000;
const POLL_MS = 50;

function parseArgs(argv) {
  const options = { chromium: '/usr/bin/chromium', viewport: '412x915', scale: '2', lang: '' };
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, '');
    if (!(name in options) && name !== 'profile') {
      throw new Error(`unknown option ${argv[i]}`);
    }
    options[name] = argv[i + 1];
  }
  if (!options.profile) {
    throw new Error('--profile DIR is required (a fresh folder per run)');
  }
  const [width, height] = options.viewport.split('x').map(Number);
  return { ...options, width, height, scale: Number(options.scale) };
}

const options = parseArgs(process.argv.slice(2));

function launchArgs() {
  const args = [
    // Tests only: the host's certificate is self-signed.
    '--ignore-certificate-errors',
    '--autoplay-policy=no-user-gesture-required',
    // Software rendering and decoding: the same pictures on every machine.
    '--disable-gpu',
    '--no-first-run',
    '--no-default-browser-check',
    // A page in a background tab keeps its timers at full rate, so two
    // pages of one browser both keep their schedules.
    '--disable-background-timer-throttling',
    '--disable-renderer-backgrounding',
    '--disable-backgrounding-occluded-windows',
  ];
  if (process.getuid?.() === 0) {
    args.push('--no-sandbox');
  }
  if (options.lang) {
    args.push(`--lang=${options.lang}`, `--accept-lang=${options.lang}`);
  }
  return args;
}

const browser = await puppeteer.launch({
  executablePath: options.chromium,
  headless: true,
  userDataDir: options.profile,
  args: launchArgs(),
  // DevTools over a pipe: a driver that dies takes the browser with it.
  pipe: true,
  env: options.lang ? { ...process.env, LANGUAGE: options.lang } : process.env,
  protocolTimeout: DEFAULT_TIMEOUT_MS * 3,
});

const pages = new Map(); // name -> {page, messages, errors}

function withTimeout(promise, timeoutMs, what) {
  let timer;
  const timeout = new Promise((resolve, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${timeoutMs} ms`)),
      timeoutMs);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

function entry(name) {
  const found = pages.get(name);
  if (!found) {
    throw new Error(`no page "${name}"; open one first`);
  }
  return found;
}

async function open(name, url, timeoutMs) {
  if (typeof url !== 'string') {
    throw new Error('open needs a url');
  }
  const previous = pages.get(name);
  if (previous) {
    pages.delete(name);
    await previous.page.close().catch(() => {});
  }
  const page = await browser.newPage();
  const record = { page, messages: [], errors: [] };
  page.on('console', (message) => {
    record.messages.push({ type: message.type(), text: message.text() });
  });
  page.on('pageerror', (error) => record.errors.push(String(error?.message ?? error)));
  await page.setViewport({
    width: options.width, height: options.height, deviceScaleFactor: options.scale,
    isMobile: true, hasTouch: true,
  });
  pages.set(name, record);
  await page.goto(url, { waitUntil: 'load', timeout: timeoutMs });
  return {};
}

async function status(page) {
  return page.$eval('#status', (el) => ({ state: el.dataset.state, text: el.textContent }));
}

async function waitState(page, state, timeoutMs) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const now = await status(page);
    if (now.state === state) {
      return now;
    }
    if (Date.now() >= end) {
      throw new Error(`state still "${now.state}" ("${now.text}") after ${timeoutMs} ms, ` +
        `not "${state}"`);
    }
    await new Promise((resolve) => setTimeout(resolve, POLL_MS));
  }
}

// Where fractions of the picture are: in canvas pixels for reading, in CSS
// pixels of the viewport for touching.
async function pictureSpot(page, fx, fy) {
  if (!(fx >= 0 && fx <= 1 && fy >= 0 && fy <= 1)) {
    throw new Error('fx and fy are fractions, 0 to 1');
  }
  return page.evaluate((x, y) => {
    const canvas = document.getElementById('screen');
    const stats = window.veyraPage?.stats;
    const whole = { x: 0, y: 0, width: canvas.width, height: canvas.height };
    const picture = stats && stats.picture.width > 0 ? stats.picture : whole;
    const px = Math.min(picture.x + Math.floor(x * picture.width), canvas.width - 1);
    const py = Math.min(picture.y + Math.floor(y * picture.height), canvas.height - 1);
    const bounds = canvas.getBoundingClientRect();
    const scale = bounds.width / canvas.width;
    return {
      canvasX: px, canvasY: py,
      clientX: bounds.left + (px + 0.5) * scale, clientY: bounds.top + (py + 0.5) * scale,
    };
  }, fx, fy);
}

async function pixel(page, fx, fy) {
  const spot = await pictureSpot(page, fx, fy);
  const rgb = await page.evaluate((x, y) => {
    // Copied to a canvas of its own: reading back the page's canvas itself
    // would make Chromium warn on the page's console.
    const probe = new OffscreenCanvas(1, 1).getContext('2d', { willReadFrequently: true });
    probe.drawImage(document.getElementById('screen'), x, y, 1, 1, 0, 0, 1, 1);
    const data = probe.getImageData(0, 0, 1, 1).data;
    return [data[0], data[1], data[2]];
  }, spot.canvasX, spot.canvasY);
  return { rgb };
}

async function tap(page, fx, fy) {
  const spot = await pictureSpot(page, fx, fy);
  await page.touchscreen.tap(spot.clientX, spot.clientY);
  return {};
}

const commands = {
  ping: async () => ({}),
  open: (c, t) => open(c.page ?? 'main', c.url, t),
  url: async (c) => ({ url: entry(c.page ?? 'main').page.url() }),
  status: (c) => status(entry(c.page ?? 'main').page),
  waitState: (c, t) => waitState(entry(c.page ?? 'main').page, c.state, t),
  pixel: (c) => pixel(entry(c.page ?? 'main').page, c.fx, c.fy),
  tap: (c) => tap(entry(c.page ?? 'main').page, c.fx, c.fy),
  type: async (c) => {
    await entry(c.page ?? 'main').page.keyboard.type(String(c.text ?? ''));
    return {};
  },
  pressKey: async (c) => {
    await entry(c.page ?? 'main').page.keyboard.press(String(c.name));
    return {};
  },
  screenshot: async (c) => {
    await entry(c.page ?? 'main').page.screenshot({ path: String(c.path) });
    return {};
  },
  stats: async (c) => ({
    stats: await entry(c.page ?? 'main').page.evaluate(() => window.veyraPage?.stats ?? null),
  }),
  console: async (c) => {
    const { messages, errors } = entry(c.page ?? 'main');
    return { messages, errors };
  },
  reload: async (c, t) => {
    await entry(c.page ?? 'main').page.reload({ waitUntil: 'load', timeout: t });
    return {};
  },
  close: async (c) => {
    const name = c.page ?? 'main';
    const { page } = entry(name);
    pages.delete(name);
    await page.close();
    return {};
  },
};

function answer(id, body) {
  process.stdout.write(`${JSON.stringify({ id, ...body })}\n`);
}

async function run(line) {
  let command;
  try {
    command = JSON.parse(line);
  } catch {
    answer(null, { ok: false, error: 'not JSON' });
    return true;
  }
  const id = command?.id ?? null;
  if (command?.cmd === 'quit') {
    answer(id, { ok: true });
    return false;
  }
  const handler = Object.hasOwn(commands, command?.cmd) ? commands[command.cmd] : null;
  if (!handler) {
    answer(id, { ok: false, error: `unknown command ${JSON.stringify(command?.cmd)}` });
    return true;
  }
  const timeoutMs = Number(command.timeoutMs) > 0 ? Number(command.timeoutMs)
    : (LONG_COMMANDS.has(command.cmd) ? OPEN_TIMEOUT_MS : DEFAULT_TIMEOUT_MS);
  try {
    const result = await withTimeout(handler(command, timeoutMs), timeoutMs + 1000, command.cmd);
    answer(id, { ok: true, ...result });
  } catch (error) {
    answer(id, { ok: false, error: String(error?.message ?? error) });
  }
  return true;
}

let closing = false;

async function shutdown(code) {
  closing = true;
  await withTimeout(browser.close(), BROWSER_CLOSE_MS, 'closing the browser').catch(() => {
    browser.process()?.kill('SIGKILL');
  });
  process.exit(code);
}

// Commands run one at a time, in the order they came.
const input = createInterface({ input: process.stdin, crlfDelay: Infinity });
let queue = Promise.resolve(true);
input.on('line', (line) => {
  if (line.trim() === '') {
    return;
  }
  queue = queue.then((going) => (going ? run(line) : false)).then((going) => {
    if (!going) {
      input.close();
    }
    return going;
  });
});
input.on('close', () => {
  queue.then(() => shutdown(0));
});
process.on('SIGTERM', () => shutdown(0));
browser.on('disconnected', () => {
  if (closing) {
    return;
  }
  process.stderr.write('drive_page: the browser went away\n');
  process.exit(1);
});
