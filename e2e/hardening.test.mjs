// SPDX-License-Identifier: Apache-2.0
// Attacks through the real Apache: guessing an old password, a client that
// goes away mid-upload, a change sent as a GET, and a lock file planted in
// the temporary directory.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readdirSync, readFileSync, readlinkSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { test } from 'node:test';
import { changedMessage, incorrectMessage, messageText, startSite } from './harness.mjs';

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The pids of processes whose working directory is `dir`: the site's CGIs.
function processesIn(dir) {
  const pids = [];
  for (const pid of readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      if (readlinkSync(`/proc/${pid}/cwd`) === dir) pids.push(Number(pid));
    } catch {
      // gone, or not ours to look at
    }
  }
  return pids;
}

test('the 11th wrong guess for one user is refused, even with the right password', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  for (let i = 0; i < 10; i++) {
    const res = await site.submit({ name: 'alice', op: `guess${i}`, p1: 'newpass1' });
    assert.equal(messageText(res.body), incorrectMessage('alice'), `guess ${i}`);
  }
  const res = await site.submit({ name: 'alice', op: 'oldpass1', p1: 'newpass1' });
  assert.equal(res.status, 200);
  assert.equal(messageText(res.body), 'Too many failed attempts, please try again later');
  assert.ok(site.verifies('alice', 'oldpass1'), 'the password is unchanged');
  const log = readFileSync(site.logFile, 'latin1').trim().split('\n');
  assert.equal(log.length, 11);
  assert.match(log[10], /\] \[127\.0\.0\.1\]\[\] alice:too many failed attempts$/);

  // Another user is not affected.
  site.addUser('bob', 'bobpass1');
  const bob = await site.submit({ name: 'bob', op: 'bobpass1', p1: 'newpass2' });
  assert.equal(messageText(bob.body), changedMessage('bob'));
});

test('a client that goes away mid-upload leaves no file and no process behind', async (t) => {
  const site = await startSite(t);
  const tmp = join(site.dir, 'tmp');
  const cgiDir = join(site.dir, 'cgi-bin');
  const boundary = 'XyZzy';
  const head = `--${boundary}\r\nContent-Disposition: form-data; name="f"; filename="big.bin"\r\n`
    + 'Content-Type: application/octet-stream\r\n\r\n';
  const socket = net.connect(site.port, '127.0.0.1');
  await new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject));
  socket.on('error', () => {});
  socket.write('POST /cgi-bin/larkspur.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\n'
    + `Content-Type: multipart/form-data; boundary=${boundary}\r\n`
    + 'Content-Length: 1000000\r\nConnection: close\r\n\r\n' + head);
  // Half of a body within the 1 MiB a multipart body may have: the rest never comes.
  const chunk = Buffer.alloc(1 << 19, 'u');
  if (!socket.write(chunk)) await new Promise((resolve) => socket.once('drain', resolve));
  // The upload is under way: the CGI runs, and its file has no name.
  let running = [];
  for (let i = 0; i < 100 && running.length === 0; i++) {
    running = processesIn(cgiDir);
    if (running.length === 0) await sleep(50);
  }
  assert.ok(running.length > 0, 'the CGI is running');
  assert.deepEqual(readdirSync(tmp), []);

  socket.destroy();
  for (let i = 0; i < 200 && processesIn(cgiDir).length > 0; i++) await sleep(50);
  assert.deepEqual(processesIn(cgiDir), [], 'the CGI has ended');
  assert.deepEqual(readdirSync(tmp), [], 'nothing left in the temporary directory');
});

test('a change sent as a GET is refused, and a form change leaves no password in the access log', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  const before = readFileSync(site.authFile);
  const query = new URLSearchParams({
    name: 'alice', op: 'oldpass1', p1: 'viaget99', p2: 'viaget99', chgpasswd: '1',
  });
  const res = await fetch(`${site.cgiUrl}?${query}`);
  const body = await res.text();
  assert.equal(res.status, 200);
  assert.equal(messageText(body), 'Please use the form to change your password');
  assert.deepEqual(readFileSync(site.authFile), before);
  assert.ok(!site.verifies('alice', 'viaget99'));
  assert.match(readFileSync(site.logFile, 'latin1'), /\] Change refused: not sent by POST\n$/);

  const changed = await site.submit({ name: 'alice', op: 'oldpass1', p1: 'newpass1' });
  assert.equal(messageText(changed.body), changedMessage('alice'));
  // Apache writes the access line after the response has gone out.
  let access = '';
  let post = [];
  for (let tries = 0; tries < 50 && post.length === 0; tries++) {
    if (tries > 0) await sleep(100);
    access = readFileSync(join(site.dir, 'logs', 'access.log'), 'latin1');
    post = access.split('\n').filter((line) => line.includes('"POST /cgi-bin/larkspur.cgi'));
  }
  assert.equal(post.length, 1, access);
  for (const secret of ['oldpass1', 'newpass1']) {
    assert.ok(!post[0].includes(secret), `${secret} in the access log: ${post[0]}`);
  }
  assert.ok(!readFileSync(site.logFile, 'latin1').includes('newpass1'));
});

test('a lock held on a file planted in the temporary directory does not block a change', async (t) => {
  const site = await startSite(t);
  site.addUser('alice', 'oldpass1');
  // Where the lock used to live: the CGI's TMPDIR.
  const planted = join(site.dir, 'tmp', 'LarkspurByWren_ZmyPB7A.lock');
  const holder = spawn('flock', [planted, 'sleep', '30'], { stdio: 'ignore' });
  t.after(() => holder.kill('SIGKILL'));
  for (let i = 0; i < 100; i++) {
    try {
      if (readFileSync('/proc/locks', 'latin1').includes(` ${holder.pid} `)) break;
    } catch {
      // keep waiting
    }
    await sleep(20);
  }
  const start = Date.now();
  const res = await site.submit({ name: 'alice', op: 'oldpass1', p1: 'newpass1' });
  assert.equal(messageText(res.body), changedMessage('alice'));
  assert.ok(Date.now() - start < 4000, `the change waited ${Date.now() - start} ms`);
  assert.ok(site.verifies('alice', 'newpass1'));
});
