// A scripted browser for the OAuth tests: follows an authorization (or logout) URL with a cookie jar,
// fills in and submits the provider's forms, stops at the redirect that leaves the provider and delivers
// it: a real GET for http(s) redirects (the loopback listener), or a command run with the URL (a second
// launch of the app) for other schemes.
//
//   node browser.mjs URL [--login NAME] [--deny] [--print-only] [--exec PROGRAM [ARG...] --]
//
// Prints "REDIRECT <url>", then "DELIVERED <status>" with the reply body, or "EXEC <exit code>";
// with --print-only it delivers nothing (the test hands the URL on itself).
import { spawnSync } from 'node:child_process';

const args = process.argv.slice(2);
let start = null;
let login = 'alice';
let deny = false;
let printOnly = false;
let exec = null;
while (args.length) {
  const a = args.shift();
  if (a === '--login') login = args.shift();
  else if (a === '--deny') deny = true;
  else if (a === '--print-only') printOnly = true;
  else if (a === '--exec') {
    exec = [];
    while (args.length && args[0] !== '--') exec.push(args.shift());
    args.shift();
  } else start = new URL(a);
}

const jar = new Map();  // name -> { value, path }
function cookieHeader(url) {
  return [...jar.entries()]
    .filter(([, c]) => url.pathname.startsWith(c.path))
    .map(([n, c]) => `${n}=${c.value}`)
    .join('; ');
}
function storeCookies(res) {
  for (const line of res.headers.getSetCookie()) {
    const [pair, ...attrs] = line.split(';');
    const eq = pair.indexOf('=');
    const name = pair.slice(0, eq).trim();
    const value = pair.slice(eq + 1).trim();
    let path = '/';
    for (const attr of attrs) {
      const [k, v] = attr.trim().split('=');
      if (k.toLowerCase() === 'path' && v) path = v;
    }
    if (/expires=Thu, 01 Jan 1970/i.test(line)) jar.delete(name);
    else jar.set(name, { value, path });
  }
}

const decode = (s) => s.replace(/&amp;/g, '&').replace(/&#39;/g, "'").replace(/&quot;/g, '"').replace(/&lt;/g, '<').replace(/&gt;/g, '>');
function attribute(tag, name) {
  const m = tag.match(new RegExp(`\\s${name}="([^"]*)"`, 'i'));
  return m ? decode(m[1]) : null;
}

async function deliver(url) {
  console.log(`REDIRECT ${url.href}`);
  if (printOnly) return 0;
  if (url.protocol === 'http:' || url.protocol === 'https:') {
    const res = await fetch(url, { redirect: 'manual' });
    console.log(`DELIVERED ${res.status}`);
    console.log(await res.text());
    return 0;
  }
  if (exec) {
    const r = spawnSync(exec[0], [...exec.slice(1), url.href], { stdio: ['ignore', 'inherit', 'inherit'] });
    console.log(`EXEC ${r.status}`);
    return r.status === 0 ? 0 : 3;
  }
  return 0;
}

let url = start;
let method = 'GET';
let body = null;
for (let step = 0; step < 30; step++) {
  const headers = { cookie: cookieHeader(url) };
  if (body) headers['content-type'] = 'application/x-www-form-urlencoded';
  const res = await fetch(url, { method, body, headers, redirect: 'manual' });
  storeCookies(res);
  if (res.status >= 300 && res.status < 400) {
    const next = new URL(res.headers.get('location'), url);
    if (next.origin !== start.origin) process.exit(await deliver(next));
    url = next;
    method = 'GET';
    body = null;
    continue;
  }
  const html = await res.text();
  if (res.status !== 200) {
    console.log(`STOP ${res.status}`);
    console.log(html);
    process.exit(2);
  }
  const abort = html.match(/<a href="([^"]*\/abort)"/);
  if (deny && abort) {
    url = new URL(decode(abort[1]), url);
    method = 'GET';
    body = null;
    continue;
  }
  const form = html.match(/<form[^>]*>[\s\S]*?<\/form>/i);
  if (!form) {
    console.log('STOP no form');
    console.log(html);
    process.exit(2);
  }
  const formTag = form[0].match(/<form[^>]*>/i)[0];
  const fields = new URLSearchParams();
  for (const tag of form[0].match(/<(input|button)[^>]*>/gi) || []) {
    const name = attribute(tag, 'name');
    if (!name) continue;
    if (name === 'login') fields.set(name, login);
    else if (name === 'password') fields.set(name, 'password');
    else fields.set(name, attribute(tag, 'value') ?? '');
  }
  // Logout confirmation: the form is submitted by its "yes" button, which may sit outside it.
  const logoutButton = html.match(/<button[^>]*name="logout"[^>]*>/i);
  if (logoutButton) fields.set('logout', attribute(logoutButton[0], 'value') ?? 'yes');
  url = new URL(attribute(formTag, 'action') ?? url.href, url);
  method = (attribute(formTag, 'method') || 'GET').toUpperCase();
  body = method === 'POST' ? fields.toString() : null;
  if (method === 'GET') {
    for (const [k, v] of fields) url.searchParams.set(k, v);
  }
}
console.log('STOP too many steps');
process.exit(2);
