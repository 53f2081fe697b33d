// The status line: one state (the element's data-state, which tests read)
// and its text, in English or in Korean when the browser's language is.
// Every text goes in as textContent: the host's messages are shown, never
// parsed as markup.

export const State = Object.freeze({
  CONNECTING: 'connecting',
  APPROVAL: 'approval',
  STREAMING: 'streaming',
  REFUSED: 'refused',
  INVALID: 'invalid',
  BUSY: 'busy',
  LOST: 'lost',
});

const TEXTS = {
  en: {
    connecting: 'Connecting to the PC…',
    approval: 'Waiting for approval on the PC. Code: {code}',
    streaming: 'Showing the PC’s screen',
    refused: 'This PC refused this browser. Reload the page to ask again.',
    invalid: 'This link is used or expired. Open the address this PC shows now.',
    busy: 'Another phone is showing this PC’s screen. Trying again in a moment…',
    lost: 'Connection lost. Reconnecting…',
    unsupported: 'This browser cannot show the PC’s screen (no video decoder or no secure connection).',
  },
  ko: {
    connecting: 'PC에 연결하는 중…',
    approval: 'PC에서 승인을 기다리는 중입니다. 코드: {code}',
    streaming: 'PC 화면을 표시하는 중',
    refused: '이 PC가 이 브라우저를 거부했습니다. 다시 요청하려면 페이지를 새로 고치세요.',
    invalid: '이 링크는 이미 사용되었거나 만료되었습니다. PC에 지금 표시된 주소를 여세요.',
    busy: '다른 휴대폰이 이 PC의 화면을 표시하고 있습니다. 잠시 후 다시 시도합니다…',
    lost: '연결이 끊겼습니다. 다시 연결하는 중…',
    unsupported: '이 브라우저는 PC 화면을 표시할 수 없습니다(비디오 디코더나 보안 연결이 없음).',
  },
};

export function languageOf(navigatorLanguage) {
  return String(navigatorLanguage ?? '').toLowerCase().startsWith('ko') ? 'ko' : 'en';
}

// The text of |key| (a state or 'unsupported') in |language|, with {code}
// filled in.
export function statusText(language, key, { code = '' } = {}) {
  const table = TEXTS[language] ?? TEXTS.en;
  return (table[key] ?? TEXTS.en[key] ?? '').replace('{code}', code);
}

export class StatusLine {
  #element;
  #language;

  constructor(element, language) {
    this.#element = element;
    this.#language = language;
  }

  get state() {
    return this.#element.dataset.state;
  }

  // Shows |state| with its own text, or with |message| (plain text, e.g.
  // the host's) in its place; data-note marks such a message, which stays
  // in view even while the picture shows.
  show(state, { code, message, textKey } = {}) {
    this.#element.dataset.state = state;
    if (message === undefined) {
      delete this.#element.dataset.note;
      this.#element.textContent = statusText(this.#language, textKey ?? state, { code });
    } else {
      this.#element.dataset.note = '';
      this.#element.textContent = message;
    }
  }
}
