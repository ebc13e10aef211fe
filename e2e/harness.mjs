// SPDX-License-Identifier: Apache-2.0
// Starts a real Apache that serves the built larkspur.cgi, one private site
// and port per test, laid out by the same script as the demo. Apache is
// stopped when the test ends, passed or failed, and dies with this process.
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { chmodSync, existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const CGI = process.env.LARKSPUR_CGI;
const APACHE = process.env.APACHE2 || '/usr/sbin/apache2';
const HTPASSWD = process.env.HTPASSWD || 'htpasswd';
const HTDBM = process.env.HTDBM || 'htdbm';
const HTDBM_TYPES = { db: 'DB', gdbm: 'GDBM', sdbm: 'SDBM' };
const SITE_SCRIPT = fileURLToPath(new URL('../scripts/lib/apache-site.sh', import.meta.url));
export const ARTIFACTS = fileURLToPath(new URL('./artifacts/', import.meta.url));

// Runs Apache in the foreground and stops it on TERM, or as soon as the
// process that started it is gone (even killed by a test timeout).
const RUNNER = `
"$1" -f "$2" -DFOREGROUND & apache=$!
trap 'kill -TERM $apache 2>/dev/null; wait $apache; exit 0' TERM INT
while kill -0 "$3" 2>/dev/null && kill -0 $apache 2>/dev/null; do sleep 0.2 & wait $!; done
kill -TERM $apache 2>/dev/null
wait $apache`;

const running = new Set();
process.on('exit', () => {
  for (const child of running) child.kill('SIGTERM');
});

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function exited(child) {
  return child.exitCode !== null || child.signalCode !== null;
}

function waitExit(child, ms) {
  if (exited(child)) return Promise.resolve(true);
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), ms);
    child.once('exit', () => {
      clearTimeout(timer);
      resolve(true);
    });
  });
}

// True once Apache answers on the port; false when it gave up (port taken).
async function waitReady(child, url) {
  const deadline = Date.now() + 15000;
  while (Date.now() < deadline) {
    if (exited(child)) return false;
    try {
      const res = await fetch(url);
      await res.arrayBuffer();
      return true;
    } catch {
      await sleep(50);
    }
  }
  throw new Error(`Apache did not answer on ${url} within 15 s`);
}

class Site {
  constructor(root, dir, port, child, dbm) {
    this.root = root;
    this.dbm = dbm;
    this.dir = dir;
    this.port = port;
    this.child = child;
    this.base = `http://127.0.0.1:${port}`;
    this.cgiUrl = `${this.base}/cgi-bin/larkspur.cgi`;
    this.privateUrl = `${this.base}/private/`;
    this.authFile = join(dir, 'data', 'htpasswd');
    this.dbmFile = join(dir, 'data', 'users');
    this.logFile = join(dir, 'data', 'larkspur.log');
    this.iniFile = join(dir, 'cgi-bin', 'larkspur.cgi.ini');
    this.errorLog = join(dir, 'logs', 'error.log');
  }

  // `scheme` is htpasswd's flag for the hash: -m (Apache MD5), -B, -2, -5.
  addUser(user, password, scheme = '-m') {
    execFileSync(HTPASSWD, ['-b', scheme, this.authFile, user, password], { stdio: 'pipe' });
  }

  // A user of the DBM file (a site started with `dbm`), made by htdbm;
  // `rest` (groups, a comment) follows the hash. The file is then given to
  // the owner of data/, as the site script gives the AuthUserFile.
  addDbmUser(user, password, rest = '') {
    const create = existsSync(this.dbmFile) || existsSync(`${this.dbmFile}.pag`) ? '' : 'c';
    execFileSync(HTDBM, ['-T', HTDBM_TYPES[this.dbm], `-b${create}t`, this.dbmFile, user, password,
      rest], { stdio: 'pipe' });
    const files = [this.dbmFile, `${this.dbmFile}.pag`, `${this.dbmFile}.dir`].filter(existsSync);
    execFileSync('chown', [`--reference=${join(this.dir, 'data')}`, ...files]);
  }

  // htdbm's own check of the DBM file's hash.
  dbmVerifies(user, password) {
    return spawnSync(HTDBM, ['-T', HTDBM_TYPES[this.dbm], '-vb', this.dbmFile, user, password],
      { stdio: 'pipe' }).status === 0;
  }

  // htpasswd's own check of the stored hash.
  verifies(user, password) {
    return spawnSync(HTPASSWD, ['-v', '-b', this.authFile, user, password], { stdio: 'pipe' })
      .status === 0;
  }

  // Replaces the INI file; `bytes` is a Buffer or a string.
  writeIni(bytes) {
    writeFileSync(this.iniFile, bytes);
  }

  // The lines of the INI file the site script wrote, to build on.
  iniPaths() {
    return `[path]\nauth_user_file = ${this.authFile}\nlog_file = ${this.logFile}\n`;
  }

  // Posts the change form as a browser does: multipart/form-data.
  async submit({ name, op, p1, p2 = p1 }) {
    const form = new FormData();
    form.append('name', name);
    form.append('op', op);
    form.append('p1', p1);
    form.append('p2', p2);
    form.append('chgpasswd', 'Change');
    const res = await fetch(this.cgiUrl, { method: 'POST', body: form });
    return { status: res.status, headers: res.headers, body: await res.text() };
  }

  // Status of /private/ for a login, or without one.
  async privateStatus(user, password) {
    const headers = {};
    if (user !== undefined) {
      headers.Authorization = `Basic ${Buffer.from(`${user}:${password}`).toString('base64')}`;
    }
    const res = await fetch(this.privateUrl, { headers });
    await res.arrayBuffer();
    return res.status;
  }

  async stop() {
    if (!exited(this.child)) {
      this.child.kill('SIGTERM');
      if (!(await waitExit(this.child, 15000))) {
        this.child.kill('SIGKILL');
        await waitExit(this.child, 5000);
      }
    }
    running.delete(this.child);
  }

  // Sanitizer reports of the CGI reach Apache's error log through cgid.
  sanitizerReports() {
    if (!existsSync(this.errorLog)) return '';
    return readFileSync(this.errorLog, 'latin1')
      .split('\n')
      .filter((line) => /Sanitizer|runtime error:/.test(line))
      .join('\n');
  }
}

// Where sites go. Run as root, Apache's children and the CGI are www-data,
// which must be able to enter the site: a private $TMPDIR will not do.
function siteBase() {
  const base = tmpdir();
  if (process.getuid() !== 0) return base;
  const user = process.env.APACHE_USER || 'www-data';
  const r = spawnSync('runuser', ['-u', user, '--', 'test', '-x', base], { stdio: 'ignore' });
  return r.status === 0 ? base : '/tmp';
}

// A fresh site with its own Apache, stopped and removed when test `t` ends.
// `charset` goes into [html] when given; `layout: 'modern'` too; `dbm` (a
// type) keeps the users in a DBM file that Apache reads too; `dbd`
// ({ driver, params }) keeps them in that database instead, for Apache and
// the program alike.
export async function startSite(t, { minLength = 4, charset, layout, dbm, setup = [], dbd } = {}) {
  if (!CGI) throw new Error('LARKSPUR_CGI must name the built larkspur.cgi');
  const root = mkdtempSync(join(siteBase(), 'larkspur-e2e-'));
  // Apache's children and the CGI run as www-data when we are root.
  chmodSync(root, 0o755);
  const dir = join(root, 'site');
  let site;
  let candidate;
  try {
    // Another process may take the free port before Apache binds it: retry.
    for (let attempt = 0; attempt < 5 && !site; attempt++) {
      const port = await freePort();
      const args = [SITE_SCRIPT, '--cgi', CGI, '--port', String(port), '--min-length', String(minLength)];
      if (charset) args.push('--charset', charset);
      if (layout) args.push('--layout', layout);
      if (dbm) args.push('--dbm', dbm);
      for (const line of setup) args.push('--setup', line);
      if (dbd) args.push('--dbd', dbd.driver, ...(dbd.params ? ['--dbd-params', dbd.params] : []));
      execFileSync('bash', [...args, dir], { stdio: 'pipe' });
      const child = spawn('bash', ['-c', RUNNER, 'apache-runner', APACHE, join(dir, 'httpd.conf'),
        String(process.pid)], { stdio: ['ignore', 'inherit', 'inherit'] });
      running.add(child);
      candidate = new Site(root, dir, port, child, dbm);
      if (await waitReady(child, `${candidate.base}/`)) site = candidate;
      else await candidate.stop();
    }
    if (!site) throw new Error(`Apache would not start; see ${join(dir, 'logs', 'error.log')}`);
  } catch (err) {
    if (candidate) await candidate.stop();
    rmSync(root, { recursive: true, force: true });
    throw err;
  }
  t.after(async () => {
    await site.stop();
    const reports = site.sanitizerReports();
    if (reports) throw new Error(`the CGI reported sanitizer errors (site kept in ${site.root}):\n${reports}`);
    if (process.env.LARKSPUR_E2E_KEEP) console.log(`# kept ${site.root}`);
    else rmSync(site.root, { recursive: true, force: true });
  });
  return site;
}

// Headless Chromium with a profile of its own, closed when test `t` ends;
// `httpCredentials` answers the private page's login.
export async function launchChromium(t, httpCredentials) {
  const { chromium } = await import('playwright-core');
  const profile = mkdtempSync(join(tmpdir(), 'larkspur-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    httpCredentials,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--no-first-run', '--disable-sync'],
  });
  t.after(async () => {
    await context.close();
    rmSync(profile, { recursive: true, force: true });
  });
  return context;
}

// The text of the message cell of a message page, entities decoded.
export function messageText(body) {
  const m = /<td align="center">\n([\s\S]*?)<\/td>/.exec(body);
  if (!m) return null;
  return m[1]
    .replace(/&#(\d+);/g, (_, n) => String.fromCharCode(Number(n)))
    .replace(/&#x([0-9a-f]+);/gi, (_, n) => String.fromCharCode(parseInt(n, 16)))
    .replace(/&lt;/g, '<')
    .replace(/&gt;/g, '>')
    .replace(/&quot;/g, '"')
    .replace(/&apos;/g, "'")
    .replace(/&amp;/g, '&');
}

// The default texts of a change's outcome, after the user's name, as the
// message pages show them.
export const changedMessage = (user) => `${user}:changed password successfully`;
export const incorrectMessage = (user) => `${user}:old password is incorrect`;
