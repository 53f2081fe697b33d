// ESLint for the page veyra-host serves (host/serve/page) and for the
// browser test tools here. Run from the repository's root:
//   tests/browser/node_modules/.bin/eslint -c tests/browser/eslint.config.js
import js from '@eslint/js';
import globals from 'globals';

const strict = {
  'no-unused-vars': ['error', { args: 'after-used', caughtErrors: 'none' }],
  eqeqeq: ['error', 'always'],
  'prefer-const': 'error',
  'no-var': 'error',
  'no-implicit-globals': 'error',
  'no-shadow': 'error',
  'no-throw-literal': 'error',
  'no-eval': 'error',
  'no-implied-eval': 'error',
  'no-new-func': 'error',
  'no-return-assign': 'error',
  'prefer-promise-reject-errors': 'error',
  curly: ['error', 'all'],
};

export default [
  { ignores: ['**/node_modules/**', 'build/**'] },
  js.configs.recommended,
  {
    files: ['host/serve/page/**/*.js'],
    languageOptions: {
      ecmaVersion: 2022,
      sourceType: 'module',
      globals: { ...globals.browser },
    },
    rules: {
      ...strict,
      // The page's text goes in as textContent; markup from the host never.
      'no-restricted-properties': ['error',
        { property: 'innerHTML', message: 'use textContent' },
        { property: 'outerHTML', message: 'use textContent' }],
      'no-restricted-syntax': ['error',
        { selector: "CallExpression[callee.property.name='insertAdjacentHTML']",
          message: 'use textContent' }],
    },
  },
  {
    files: ['tests/browser/**/*.{js,mjs}'],
    languageOptions: {
      ecmaVersion: 2024,
      sourceType: 'module',
      globals: { ...globals.node },
    },
    rules: strict,
  },
  {
    // The driver's page.evaluate() functions run in the page.
    files: ['tests/browser/drive_page.mjs'],
    languageOptions: { globals: { ...globals.node, ...globals.browser } },
  },
];
