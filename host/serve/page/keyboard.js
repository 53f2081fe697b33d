// Keys for the PC: a button raises the phone's soft keyboard (a hidden
// input takes the focus) and what is typed becomes KEY messages, USB HID
// usages of page 0x07 as on a US keyboard, each pressed then released.

import { nowUs } from './clock.js';
import { KeyAction, MessageType, encodeKey } from './wire.js';

export const Usage = Object.freeze({
  ENTER: 40,
  BACKSPACE: 42,
  LEFT_CONTROL: 224,
  LEFT_SHIFT: 225,
  LEFT_ALT: 226,
});

// KeyboardEvent.key names of the keys that type no character.
const NAMED_KEYS = {
  Enter: 40, Escape: 41, Backspace: 42, Tab: 43, Insert: 73, Home: 74, PageUp: 75,
  Delete: 76, End: 77, PageDown: 78, ArrowRight: 79, ArrowLeft: 80, ArrowDown: 81, ArrowUp: 82,
  F1: 58, F2: 59, F3: 60, F4: 61, F5: 62, F6: 63, F7: 64, F8: 65, F9: 66, F10: 67, F11: 68,
  F12: 69,
};

// Characters by the key that types them: [usage, unshifted, shifted].
const CHARACTER_KEYS = [
  [30, '1', '!'], [31, '2', '@'], [32, '3', '#'], [33, '4', '$'], [34, '5', '%'],
  [35, '6', '^'], [36, '7', '&'], [37, '8', '*'], [38, '9', '('], [39, '0', ')'],
  [40, '\n', null], [43, '\t', null], [44, ' ', null],
  [45, '-', '_'], [46, '=', '+'], [47, '[', '{'], [48, ']', '}'], [49, '\\', '|'],
  [51, ';', ':'], [52, '\'', '"'], [53, '`', '~'], [54, ',', '<'], [55, '.', '>'],
  [56, '/', '?'],
];

const CHARACTERS = new Map();
for (let i = 0; i < 26; i++) {
  const letter = String.fromCharCode(97 + i);
  CHARACTERS.set(letter, { usage: 4 + i, shift: false });
  CHARACTERS.set(letter.toUpperCase(), { usage: 4 + i, shift: true });
}
for (const [usage, plain, shifted] of CHARACTER_KEYS) {
  CHARACTERS.set(plain, { usage, shift: false });
  if (shifted !== null) {
    CHARACTERS.set(shifted, { usage, shift: true });
  }
}

// The stroke for a KeyboardEvent.key value (a name or one character):
// {usage, shift}, or null for a key the PC gets nothing for.
export function strokeForKey(key) {
  if (Object.hasOwn(NAMED_KEYS, key)) {
    return { usage: NAMED_KEYS[key], shift: false };
  }
  return CHARACTERS.get(key) ?? null;
}

// The strokes that type |text|; characters without a key are left out.
export function strokesForText(text) {
  const strokes = [];
  for (const character of text) {
    const stroke = CHARACTERS.get(character);
    if (stroke) {
      strokes.push(stroke);
    }
  }
  return strokes;
}

// One stroke as [usage, action] pairs in order: modifiers down, the key down
// and up, modifiers up in reverse. Shift comes from the character itself.
export function keyEvents(stroke, { ctrl = false, alt = false } = {}) {
  const modifiers = [];
  if (ctrl) {
    modifiers.push(Usage.LEFT_CONTROL);
  }
  if (alt) {
    modifiers.push(Usage.LEFT_ALT);
  }
  if (stroke.shift) {
    modifiers.push(Usage.LEFT_SHIFT);
  }
  return [
    ...modifiers.map((usage) => [usage, KeyAction.DOWN]),
    [stroke.usage, KeyAction.DOWN],
    [stroke.usage, KeyAction.UP],
    ...modifiers.reverse().map((usage) => [usage, KeyAction.UP]),
  ];
}

// A soft keyboard whose edits the page only learns from the input event
// (keyCode 229, key "Unidentified") needs text in the field for Backspace to
// do anything: the field keeps this one character.
const FIELD_TEXT = ' ';
const MODIFIER_KEYS = new Set(['Shift', 'Control', 'Alt', 'Meta', 'AltGraph', 'CapsLock']);

export class KeyboardInput {
  #field;
  #send;

  // |button| raises the keyboard, |field| is the hidden input, |send(type,
  // payload)| sends one message.
  constructor(button, field, send) {
    this.#field = field;
    this.#send = send;
    this.#resetField();
    // The field's focus is what raises a phone's keyboard; pointerdown is
    // kept from taking the focus from it again before the click.
    button.addEventListener('pointerdown', (e) => e.preventDefault());
    button.addEventListener('click', () => {
      if (document.activeElement === field) {
        field.blur();
      } else {
        field.focus({ preventScroll: true });
      }
    });
    document.addEventListener('keydown', (e) => this.#onKeyDown(e));
    field.addEventListener('input', (e) => this.#onInput(e));
  }

  #onKeyDown(e) {
    if (e.isComposing || e.keyCode === 229 || e.key === 'Unidentified' || e.metaKey ||
        MODIFIER_KEYS.has(e.key)) {
      return; // the input event tells, or the key is only held with others
    }
    const stroke = strokeForKey(e.key);
    if (stroke === null) {
      return;
    }
    e.preventDefault();
    this.#press(stroke, { ctrl: e.ctrlKey, alt: e.altKey });
  }

  #onInput(e) {
    switch (e.inputType) {
      case 'insertText':
      case 'insertReplacementText':
        for (const stroke of strokesForText(e.data ?? '')) {
          this.#press(stroke);
        }
        break;
      case 'deleteContentBackward':
        this.#press({ usage: Usage.BACKSPACE, shift: false });
        break;
      case 'insertLineBreak':
      case 'insertParagraph':
        this.#press({ usage: Usage.ENTER, shift: false });
        break;
      default:
        break; // composition (e.g. Hangul) has no key on the PC's side
    }
    if (!e.isComposing) {
      this.#resetField();
    }
  }

  #resetField() {
    this.#field.value = FIELD_TEXT;
    this.#field.setSelectionRange(FIELD_TEXT.length, FIELD_TEXT.length);
  }

  #press(stroke, modifiers) {
    let held = 0;
    for (const [usage, action] of keyEvents(stroke, modifiers)) {
      if (usage >= Usage.LEFT_CONTROL) {
        const bit = 1 << (usage - Usage.LEFT_CONTROL);
        held = action === KeyAction.DOWN ? held | bit : held & ~bit;
      }
      this.#send(MessageType.KEY, encodeKey({ usage, action, modifiers: held,
        eventTimeUs: nowUs() }));
    }
  }
}
