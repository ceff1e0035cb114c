'use strict';
// The speedscope export of the known session (tests/support/SyntheticSession.h)
// opened in the speedscope app itself, from the npm package's built files
// served on a loopback port: the app imports it without errors, names the
// thread's profile and lists the session's functions with their sample
// counts in its sandwich view. Leaves speedscope.png in the artifacts folder.
const http = require('http');
const { options, run, main, check, watchedPage, path, fs } = require('./browser');

const opts = options();
const session = path.join(opts.artifacts, 'known.qvprof');
const exported = path.join(opts.artifacts, 'known.speedscope.json');
run(opts.fixture, ['session', session]);
run(opts.qvprof, ['export', session, '--format', 'speedscope', '-o', exported]);

let app;
try {
  app = path.dirname(require.resolve('speedscope/dist/release/index.html'));
} catch (error) {
  throw new Error('the speedscope package is not installed in ' + __dirname + ': run scripts/install-test-deps');
}

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.json': 'application/json',
                '.wasm': 'application/wasm', '.png': 'image/png', '.ico': 'image/x-icon', '.woff2': 'font/woff2',
                '.txt': 'text/plain' };
// The app's folder, and the export at /profile.json; nothing else.
const server = http.createServer((request, response) => {
  const name = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
  const file = name === '/profile.json' ? exported : path.join(app, path.normalize(name).replace(/^(\.\.[/\\])+/, ''));
  if (!file.startsWith(app) && file !== exported) {
    response.writeHead(403).end();
    return;
  }
  fs.readFile(file, (error, body) => {
    if (error) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' }).end(body);
  });
});

main(async (browser) => {
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const origin = 'http://127.0.0.1:' + server.address().port;
  try {
    const { page, seen } = await watchedPage(browser, (u) => u.startsWith(origin + '/'));
    await page.setViewport({ width: 1280, height: 800 });
    const profileUrl = encodeURIComponent(origin + '/profile.json');
    await page.goto(origin + '/index.html#profileURL=' + profileUrl, { waitUntil: 'load' });
    // The app names the view after the profile once it has imported it.
    await page.waitForFunction(() => /\(\d+\/\d+\)/.test(document.body.innerText), { timeout: 30000 });
    const body = await page.evaluate(() => document.body.innerText);
    // Thread names are the kernel's, cut to 15 characters.
    check(/qvprof_report_f \(\d+\/\d+\)/.test(body), 'the thread profile is named', body.slice(0, 300));

    // The sandwich view lists every function in a table.
    await page.keyboard.press('3');
    await page.waitForFunction(() => /qv_known_hot/.test(document.body.innerText), { timeout: 30000 });
    // Total samples of each function, with the share the app computes.
    const rows = await page.$$eval('tr', (all) => all.map((r) => r.innerText.replace(/\s+/g, ' ')));
    for (const [name, total] of [['qv_known_outer', '10 (100%)'], ['qv_known_middle', '8 (80%)'],
                                 ['qv_known_hot', '6 (60%)'], ['qv_known_cold', '4 (40%)']]) {
      const row = rows.find((r) => r.includes(name + ' ') || r.endsWith(name)) || '';
      check(row.startsWith(total + ' '), 'the app lists ' + name + ' with ' + total, row);
    }
    await page.screenshot({ path: path.join(opts.artifacts, 'speedscope.png') });
    check(seen.errors.length === 0, 'the app logs no errors', seen.errors);
    check(seen.requests.length === 0, 'nothing is fetched from elsewhere', seen.requests);
  } finally {
    server.close();
  }
});
