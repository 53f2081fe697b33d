// This browser's identity, kept in localStorage: a device id, a 32-byte key
// sent on every connection, and the code both sides show, so that this PC's
// user can tell the browser asking is the one in their hand.

const DEVICE_ID_KEY = 'veyra.deviceId';
const KEY_KEY = 'veyra.key';
const DEVICE_ID_PATTERN = /^browser-[0-9a-f]{16}$/;
const KEY_PATTERN = /^[A-Za-z0-9_-]{43}$/;

export function hexOf(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
}

export function base64UrlOf(bytes) {
  const binary = String.fromCharCode(...bytes);
  return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

export function bytesOfBase64Url(text) {
  const binary = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

// "ABCD-0123-4567-89EF": the first 8 bytes of a SHA-256 digest in upper-case
// hex, a dash after every second byte.
export function codeOfDigest(digest) {
  const hex = hexOf(new Uint8Array(digest).subarray(0, 8)).toUpperCase();
  return hex.match(/.{4}/g).join('-');
}

export function randomBytes(count) {
  return crypto.getRandomValues(new Uint8Array(count));
}

// A storage that may refuse (private modes, disabled storage): reads give
// null and writes are dropped, so the identity lasts for this page only.
function readStored(storage, name) {
  try {
    return storage?.getItem(name) ?? null;
  } catch {
    return null;
  }
}

function store(storage, name, value) {
  try {
    storage?.setItem(name, value);
  } catch {
    // Kept in memory only.
  }
}

// {deviceId, key, code}; made and stored on the first visit, read back on
// later ones. A stored value of the wrong shape is replaced.
export async function loadIdentity(storage) {
  let deviceId = readStored(storage, DEVICE_ID_KEY);
  if (deviceId === null || !DEVICE_ID_PATTERN.test(deviceId)) {
    deviceId = `browser-${hexOf(randomBytes(8))}`;
    store(storage, DEVICE_ID_KEY, deviceId);
  }
  let key = readStored(storage, KEY_KEY);
  if (key === null || !KEY_PATTERN.test(key)) {
    key = base64UrlOf(randomBytes(32));
    store(storage, KEY_KEY, key);
  }
  const digest = await crypto.subtle.digest('SHA-256', bytesOfBase64Url(key));
  return Object.freeze({ deviceId, key, code: codeOfDigest(digest) });
}

// The token this browser gives a PC that asks for one (HELLO_ACK without a
// token): 32 random hex characters.
export function newPairToken() {
  return hexOf(randomBytes(16));
}
