// Signs in with Ezevar in a real browser for the end-to-end test: waits until the app hands a URL to
// "the default browser" (browser-handoff.sh writes it to a file), opens it in Debian's chromium driven
// by puppeteer-core, fills in the stand-in's login form, accepts the consent page, and hands the
// redirect to the app's URL scheme to the app the way the desktop does: a second launch of the app with
// the URL, which passes it to the running instance.
//
//   node chromium-signin.mjs --url-file FILE --scheme SCHEME --app BINARY [--login NAME] [--timeout SECONDS]
//
// Prints "OPENED <url>", "PAGE <title>" for each page, "REDIRECT <url>" and "DELIVERED <exit code>".
import { spawnSync } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, arg, i, all) => (arg.startsWith('--') ? [...pairs, [arg.slice(2), all[i + 1]]] : pairs), []),
);
const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, '..', '..', '..', 'node_modules', 'noop.js'));
const puppeteer = require('puppeteer-core');
const deadline = Date.now() + Number(args.timeout ?? 90) * 1000;
const scheme = `${args.scheme.toLowerCase()}:`;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitForURL() {
  while (Date.now() < deadline) {
    if (existsSync(args['url-file'])) {
      const url = readFileSync(args['url-file'], 'utf8').trim();
      if (url) return url;
    }
    await sleep(100);
  }
  throw new Error('the app never opened a page in the browser');
}

const url = await waitForURL();
console.log(`OPENED ${url}`);
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  headless: true,
  acceptInsecureCerts: true,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-extensions'],
});
let redirect = null;
try {
  const page = await browser.newPage();
  // The last hop of the provider is a redirect to the app's scheme, which a browser hands to the
  // desktop: catch it on the way. Chromium sometimes cancels a navigation whose redirect leads to an
  // external scheme before any page event tells of that redirect, so each reply's head is also read as
  // it arrives, before the browser acts on it.
  const cdp = await page.target().createCDPSession();
  cdp.on('Fetch.requestPaused', (paused) => {
    const location = (paused.responseHeaders ?? []).find((h) => h.name.toLowerCase() === 'location');
    if (location && location.value.toLowerCase().startsWith(scheme)) redirect = location.value;
    cdp.send('Fetch.continueRequest', { requestId: paused.requestId }).catch(() => {});
  });
  await cdp.send('Fetch.enable', { patterns: [{ urlPattern: '*', requestStage: 'Response' }] });
  page.on('response', (response) => {
    const location = response.headers().location;
    console.log(`HTTP ${response.status()} ${response.url().split('?')[0]}`);
    if (location && location.toLowerCase().startsWith(scheme)) redirect = location;
  });
  page.on('requestfailed', (request) => {
    if (request.url().toLowerCase().startsWith(scheme)) redirect = request.url();
  });
  await page.goto(url, { waitUntil: 'domcontentloaded' }).catch(() => {});
  const done = new Set();
  while (!redirect && Date.now() < deadline) {
    // A page may go away under us while it navigates: look again.
    const step = await (async () => {
      const login = await page.$('input[name="login"]');
      const submit = await page.$('button[type="submit"]');
      // The login and the consent page of one interaction share their address.
      const current = `${page.url()} ${login ? 'login' : 'consent'}`;
      if (!submit || done.has(current)) return null;
      console.log(`PAGE ${current}`);
      done.add(current);
      if (login) await login.type(args.login ?? 'dev@example.test');
      const password = await page.$('input[name="password"]');
      if (password) await password.type('any password');
      // The last submission ends in the redirect to the app, which is no navigation of this page.
      const redirected = (async () => {
        while (!redirect && Date.now() < deadline) await sleep(50);
      })();
      await Promise.all([
        Promise.race([page.waitForNavigation({ waitUntil: 'domcontentloaded', timeout: 15000 }).catch(() => {}), redirected]),
        submit.click(),
      ]);
      return current;
    })().catch((e) => { console.log(`RETRY ${e.message}`); return null; });
    if (!step) await sleep(100);
  }
} finally {
  await browser.close();
}
if (!redirect) throw new Error('no redirect to the app');
console.log(`REDIRECT ${redirect}`);
const delivered = spawnSync(args.app, [redirect], { stdio: 'inherit', timeout: 30000 });
console.log(`DELIVERED ${delivered.status}`);
process.exit(delivered.status === 0 ? 0 : 1);
