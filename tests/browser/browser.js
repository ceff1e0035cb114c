'use strict';
// What the browser tests share: their command line, the fixture and qvprof
// runs, Chromium started through puppeteer-core, and small assertions that
// say what they expected.
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const SKIP = 77;  // CTest's SKIP_RETURN_CODE for these tests
const CHROMIUM = process.env.QV_CHROMIUM || '/usr/bin/chromium';

function options() {
  const args = process.argv.slice(2);
  const result = {};
  for (let i = 0; i + 1 < args.length; i += 2) result[args[i].replace(/^--/, '')] = args[i + 1];
  for (const name of ['qvprof', 'fixture', 'artifacts']) {
    if (!result[name]) throw new Error('missing --' + name);
  }
  fs.mkdirSync(result.artifacts, { recursive: true });
  return result;
}

function run(program, args) {
  return execFileSync(program, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

function loadPuppeteer() {
  try {
    return require('puppeteer-core');
  } catch (error) {
    throw new Error('puppeteer-core is not installed in ' + __dirname + ': run scripts/install-test-deps (' +
                    error.message.split('\n')[0] + ')');
  }
}

// Chromium as the tests drive it, or an exit with SKIP and the reason when
// it cannot start on this machine.
async function launch() {
  const puppeteer = loadPuppeteer();
  if (!fs.existsSync(CHROMIUM)) skip('no Chromium at ' + CHROMIUM + ' (scripts/install-test-deps installs it)');
  try {
    return await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      // The sandbox needs user namespaces, which containers and root lack.
      args: ['--no-sandbox', '--disable-gpu', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
             '--no-first-run', '--disable-background-networking', '--disable-component-update'],
      timeout: 60000,
    });
  } catch (error) {
    skip('Chromium cannot start here: ' + error.message.split('\n')[0]);
  }
}

function skip(reason) {
  console.log('SKIPPED: ' + reason);
  process.exit(SKIP);
}

let failures = 0;
function check(condition, what, detail) {
  if (condition) {
    console.log('ok   ' + what);
  } else {
    failures++;
    console.log('FAIL ' + what + (detail === undefined ? '' : ': ' + JSON.stringify(detail)));
  }
}
function near(actual, expected, tolerance) { return Math.abs(actual - expected) <= tolerance; }

// Runs the test body with a browser, closing it on every path; the exit
// status says whether every check held.
function main(body) {
  (async () => {
    const browser = await launch();
    try {
      await body(browser);
    } finally {
      await browser.close();
    }
  })().then(() => {
    console.log(failures === 0 ? 'all checks passed' : failures + ' check(s) failed');
    process.exit(failures === 0 ? 0 : 1);
  }, (error) => {
    console.log('FAIL ' + (error && error.stack || error));
    process.exit(1);
  });
}

// A page that records console errors, uncaught exceptions, dialogs and
// every request other than for `allowed` URLs (which are answered from
// disk by the browser); the others are aborted, so nothing leaves the machine.
async function watchedPage(browser, allowed) {
  const page = await browser.newPage();
  const seen = { errors: [], dialogs: [], requests: [] };
  page.on('console', (message) => { if (message.type() === 'error') seen.errors.push(message.text()); });
  page.on('pageerror', (error) => seen.errors.push(String(error)));
  page.on('dialog', async (dialog) => { seen.dialogs.push(dialog.message()); await dialog.dismiss(); });
  await page.setRequestInterception(true);
  page.on('request', (request) => {
    if (request.isInterceptResolutionHandled()) return;
    const url = request.url();
    if (allowed(url)) {
      request.continue();
    } else {
      seen.requests.push(url);
      request.abort();
    }
  });
  return { page, seen };
}

module.exports = { options, run, main, check, near, watchedPage, path, fs };
