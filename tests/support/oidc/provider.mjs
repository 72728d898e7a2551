// The real OpenID provider of the OAuth tests: oidc-provider on 127.0.0.1 and an ephemeral port, with
// the clients the tests use. Prints "PORT <n>" on stdout once it listens; stops on SIGTERM.
import http from 'node:http';
import Provider from 'oidc-provider';

const INITIAL_ACCESS_TOKEN = process.env.OIDC_INITIAL_ACCESS_TOKEN || 'test-initial-access-token';

const server = http.createServer();
server.listen(0, '127.0.0.1', () => {
  const { port } = server.address();
  const issuer = `http://127.0.0.1:${port}`;
  const provider = new Provider(issuer, {
    clients: [
      {
        // A native public client: loopback redirects on any port, and a private-use scheme.
        client_id: 'native-app',
        application_type: 'native',
        token_endpoint_auth_method: 'none',
        redirect_uris: ['http://127.0.0.1/', 'com.brisko.test:/oauth2callback'],
        post_logout_redirect_uris: ['com.brisko.test:/logout'],
        grant_types: ['authorization_code', 'refresh_token'],
        response_types: ['code'],
      },
      {
        // A confidential client whose secret needs form encoding in the Basic header.
        client_id: 'confidential app',
        client_secret: 'se cret+:%pw',
        application_type: 'native',
        token_endpoint_auth_method: 'client_secret_basic',
        redirect_uris: ['http://127.0.0.1/'],
        grant_types: ['authorization_code', 'refresh_token'],
        response_types: ['code'],
      },
      {
        // A hybrid client: the ID token comes in the redirect as well.
        client_id: 'hybrid-app',
        application_type: 'native',
        token_endpoint_auth_method: 'none',
        redirect_uris: ['http://127.0.0.1/'],
        grant_types: ['authorization_code', 'implicit'],
        response_types: ['code id_token'],
      },
    ],
    responseTypes: ['code', 'code id_token', 'none'],
    scopes: ['openid', 'offline_access', 'profile', 'email'],
    claims: { openid: ['sub'], email: ['email'], profile: ['name'] },
    cookies: { keys: ['brisko-oauth-test-cookie-key'] },
    pkce: { required: () => false },
    features: {
      devInteractions: { enabled: true },
      registration: { enabled: true, initialAccessToken: INITIAL_ACCESS_TOKEN },
      registrationManagement: { enabled: true, rotateRegistrationAccessToken: false },
      rpInitiatedLogout: { enabled: true },
      revocation: { enabled: true },
    },
    async findAccount(ctx, sub) {
      return { accountId: sub, async claims() { return { sub, email: `${sub}@example.test`, name: sub }; } };
    },
  });
  provider.proxy = false;
  server.on('request', provider.callback());
  process.stdout.write(`PORT ${port}\n`);
});

process.on('SIGTERM', () => server.close(() => process.exit(0)));
process.on('SIGINT', () => process.exit(0));
