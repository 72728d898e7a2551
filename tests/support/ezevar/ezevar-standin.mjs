// The Ezevar stand-in: a real OpenID provider (oidc-provider) served over HTTPS on 127.0.0.1, with the
// Ezevar routes a standard provider lacks added in front of it: the authorization endpoint
// "/o/oauth2/v2/auth" (asking for "openid" and offline access on the app's behalf), the extra
// "server_code" in token replies, the user-info query form "/oauth2/v3/userinfo?access_token=" and the
// GET revocation "/o/oauth2/revoke?token=". It records the requests it receives for the tests.
//
// Usage: node ezevar-standin.mjs --cert PEM --key PEM --client-id ID [--port N] [--root DIR]
// Prints one JSON line {"port": N, "issuer": "..."} once it listens. Test hooks:
//   GET  /__standin/requests        every request received: [{method, path, target}]
//   POST /__standin/config          {"offlineAccess": bool, "accessTokenTTL": seconds,
//                                    "userInfoNesting": levels (a user-info member nested that deep; 0: none),
//                                    "userInfoStatus": an HTTP status user-info answers with (0: its own)}
// Like Ezevar, an authorization request's "hd" comes back as the ID token's "hd" claim.
import { readFileSync } from 'node:fs';
import { createServer } from 'node:https';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((pairs, arg, i, all) => (arg.startsWith('--') ? [...pairs, [arg.slice(2), all[i + 1]]] : pairs), []),
);
const here = dirname(fileURLToPath(import.meta.url));
const root = args.root ?? join(here, '..', '..', '..');
const require = createRequire(join(root, 'node_modules', 'noop.js'));
const { default: Provider } = await import(require.resolve('oidc-provider'));

const clientID = args['client-id'];
const reversed = clientID.split('.').reverse().join('.').toLowerCase();
const config = { offlineAccess: true, accessTokenTTL: 3600, userInfoNesting: 0, userInfoStatus: 0 };
const recorded = [];
// The hosted domain the last authorization request asked for.
let hostedDomain;
let serverCodes = 0;

// Every login is accepted; the account's claims come from the login name. Like Ezevar, the ID token
// carries the e-mail claims but not the profile, which the app fetches from the user-info endpoint.
function account(id) {
  const name = id.split('@')[0];
  return {
    accountId: id,
    async claims(use) {
      const email = id.includes('@') ? id : `${id}@example.test`;
      if (use === 'id_token') return { sub: id, email, email_verified: true, ...(hostedDomain ? { hd: hostedDomain } : {}) };
      return {
        sub: id,
        email,
        email_verified: true,
        name: `${name} Tester`,
        given_name: name,
        family_name: 'Tester',
        picture: `https://lh3.ezevarusercontent.com/a/${encodeURIComponent(name)}=s96-c`,
        phone_number: '+81 3 0000 0000',
      };
    },
  };
}

const server = createServer({ cert: readFileSync(args.cert), key: readFileSync(args.key) });
await new Promise((resolve) => server.listen(Number(args.port ?? 0), '127.0.0.1', resolve));
const port = server.address().port;
const issuer = `https://127.0.0.1:${port}`;

const provider = new Provider(issuer, {
  clients: [{
    client_id: clientID,
    application_type: 'native',
    token_endpoint_auth_method: 'none',
    grant_types: ['authorization_code', 'refresh_token'],
    response_types: ['code'],
    redirect_uris: [`${reversed}:/oauth2callback`, 'http://127.0.0.1/oauth2callback'],
  }],
  findAccount: (ctx, id) => account(id),
  claims: {
    openid: ['sub', 'hd'],
    email: ['email', 'email_verified'],
    profile: ['name', 'given_name', 'family_name', 'picture'],
    phone: ['phone_number'],
  },
  scopes: ['openid', 'offline_access', 'email', 'profile', 'phone'],
  features: { revocation: { enabled: true }, devInteractions: { enabled: true }, claimsParameter: { enabled: true } },
  conformIdTokenClaims: false,
  ttl: {
    AccessToken: () => config.accessTokenTTL,
    IdToken: 3600,
    Grant: 3600,
    Interaction: 600,
    Session: 3600,
    RefreshToken: 24 * 3600,
    AuthorizationCode: 60,
  },
  issueRefreshToken: async (ctx, client, code) => config.offlineAccess && client.grantTypeAllowed('refresh_token') &&
    code.scopes.has('offline_access'),
  cookies: { keys: ['ezevar-standin'] },
  pkce: { required: () => true },
});
provider.proxy = false;

// Ezevar's routes, rewritten onto the provider's own.
provider.use(async (ctx, next) => {
  recorded.push({ method: ctx.method, path: ctx.path, target: ctx.originalUrl });
  const userInfo = ctx.path === '/oauth2/v3/userinfo';
  if (ctx.path === '/o/oauth2/v2/auth') {
    const query = new URLSearchParams(ctx.querystring);
    hostedDomain = query.get('hd') ?? undefined;
    const scopes = new Set((query.get('scope') ?? '').split(' ').filter(Boolean));
    scopes.add('openid');
    if (config.offlineAccess) { scopes.add('offline_access'); query.set('prompt', 'consent'); }
    query.set('scope', [...scopes].join(' '));
    for (const extra of ['epsdk', 'eidenv', 'include_granted_scopes', 'audience', 'hd', 'openid.realm', 'emmres']) query.delete(extra);
    ctx.path = '/auth';
    ctx.querystring = query.toString();
  } else if (userInfo && config.userInfoStatus) {
    ctx.status = config.userInfoStatus;
    ctx.body = { error: 'userinfo_unavailable' };
    return;
  } else if (userInfo) {
    const token = new URLSearchParams(ctx.querystring).get('access_token') ?? '';
    ctx.path = '/me';
    ctx.querystring = '';
    ctx.req.headers.authorization = `Bearer ${token}`;
  }
  await next();
  if (userInfo && ctx.status === 200 && config.userInfoNesting > 0) {
    const levels = config.userInfoNesting;
    ctx.body = `${JSON.stringify(ctx.body).slice(0, -1)},"nested":${'['.repeat(levels)}${']'.repeat(levels)}}`;
    ctx.type = 'application/json';
  }
  if (ctx.path === '/token' && ctx.status === 200 && ctx.body && typeof ctx.body === 'object') {
    serverCodes += 1;
    ctx.body = { ...ctx.body, server_code: `server-code-${serverCodes}` };
  }
});

// Ezevar answers 400 for a token it does not know (a standard provider answers 200); a known access
// or refresh token is revoked.
async function revoke(req, res, url) {
  const value = url.searchParams.get('token') ?? '';
  const token = value ? (await provider.AccessToken.find(value)) ?? (await provider.RefreshToken.find(value)) : undefined;
  if (token) await token.destroy();
  res.writeHead(token ? 200 : 400, { 'content-type': 'application/json' });
  res.end(token ? '{}' : '{"error":"invalid_token"}');
}

function readBody(req) {
  return new Promise((resolve) => {
    let data = '';
    req.on('data', (chunk) => { data += chunk; if (data.length > 65536) req.destroy(); });
    req.on('end', () => resolve(data));
  });
}

const providerCallback = provider.callback();
server.on('request', async (req, res) => {
  const url = new URL(req.url, issuer);
  if (url.pathname === '/__standin/requests') {
    res.writeHead(200, { 'content-type': 'application/json' });
    res.end(JSON.stringify(recorded));
    return;
  }
  if (url.pathname === '/__standin/config' && req.method === 'POST') {
    Object.assign(config, JSON.parse((await readBody(req)) || '{}'));
    res.writeHead(200, { 'content-type': 'application/json' });
    res.end(JSON.stringify(config));
    return;
  }
  if (url.pathname === '/o/oauth2/revoke' && req.method === 'GET') {
    recorded.push({ method: req.method, path: url.pathname, target: req.url });
    await revoke(req, res, url);
    return;
  }
  providerCallback(req, res);
});

process.stdout.write(`${JSON.stringify({ port, issuer })}\n`);
process.on('SIGTERM', () => { server.close(); process.exit(0); });
