'use strict';
// The HTML report of the known session (tests/support/SyntheticSession.h) in
// headless Chromium: it renders without errors and without any request
// leaving the page, the flame graph has the session's frames at their
// shares, hovering, zooming, searching and sorting work, and a frame named
// "</script>" cannot break the page. Leaves known-report.png (and a zoomed
// and a searched shot) in the artifacts folder.
const { options, run, main, check, near, watchedPage, path } = require('./browser');
const { pathToFileURL } = require('url');

const opts = options();
const session = path.join(opts.artifacts, 'known.qvprof');
const report = path.join(opts.artifacts, 'known.html');
const hostile = path.join(opts.artifacts, 'hostile.html');
run(opts.fixture, ['session', session]);
run(opts.qvprof, ['html', session, '-o', report]);
run(opts.fixture, ['hostile', hostile]);

// The frames on screen: name, share of the flame graph's width (from the
// laid-out boxes, not from the style), and whether search marked them.
async function frames(page) {
  return page.$$eval('#flame .frame', (nodes) => {
    const box = document.getElementById('flame').getBoundingClientRect();
    return nodes.map((node) => {
      const r = node.getBoundingClientRect();
      return { name: node.textContent, share: r.width / box.width, left: (r.left - box.left) / box.width,
               row: Math.round((r.top - box.top) / r.height), match: node.classList.contains('match') };
    });
  });
}
function find(list, name, row) { return list.filter((f) => f.name === name && (row === undefined || f.row === row)); }
// Frame borders take a pixel; a thousandth of 1280 px is a bit more.
const TOLERANCE = 0.003;

main(async (browser) => {
  const url = pathToFileURL(report).href;
  const { page, seen } = await watchedPage(browser, (u) => u === url);
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(url, { waitUntil: 'load' });

  let shown = await frames(page);
  const expected = [['qv_known_outer', 0, 1.0], ['qv_known_middle', 1, 0.8], ['qv_known_hot', 2, 0.6],
                    ['qv_known_cold', 2, 0.2], ['qv_known_cold', 1, 0.2]];
  check(shown.length === expected.length, 'five frames drawn', shown.map((f) => f.name));
  for (const [name, row, share] of expected) {
    const match = find(shown, name, row);
    check(match.length === 1 && near(match[0].share, share, TOLERANCE),
          name + ' on row ' + row + ' spans ' + share * 100 + '% of the width', match);
  }
  const cold = find(shown, 'qv_known_cold', 1)[0];
  check(cold && near(cold.left, 0.8, TOLERANCE), 'the lighter callee sits right of the heavier', cold);

  // Hover: name, module, samples and share.
  const middle = await page.$('#flame .frame[data-name="qv_known_middle"]');
  await middle.hover();
  const tip = await page.$eval('#tooltip', (t) => ({ hidden: t.hidden, text: t.innerText }));
  check(!tip.hidden && /qv_known_middle/.test(tip.text) && /Module: \S+/.test(tip.text) &&
        /Samples: 8 \(80\.00% of all\)/.test(tip.text), 'hover shows name, module, samples and share', tip.text);

  // Click zooms: the frame spans the width, its callees scale with it.
  await middle.click();
  shown = await frames(page);
  const zoomed = find(shown, 'qv_known_middle')[0];
  const hot = find(shown, 'qv_known_hot')[0];
  check(zoomed && near(zoomed.share, 1, TOLERANCE), 'the clicked frame spans the width', zoomed);
  check(hot && near(hot.share, 0.75, TOLERANCE), 'its heavier callee spans 6 of its 8 samples', hot);
  check(find(shown, 'qv_known_cold').length === 1, 'the sibling subtree is out of view', shown.map((f) => f.name));
  check(/Zoomed into qv_known_middle/.test(await page.$eval('#zoom-path', (e) => e.textContent)), 'zoom is named');
  await page.screenshot({ path: path.join(opts.artifacts, 'known-report-zoomed.png') });
  await page.click('#reset');
  check((await frames(page)).length === 5, 'reset shows every frame again');

  // Search highlights every matching frame and counts each sample once.
  await page.type('#search', 'COLD');
  shown = await frames(page);
  check(shown.filter((f) => f.match).length === 2 && shown.filter((f) => f.match).every((f) => f.name === 'qv_known_cold'),
        'search marks both qv_known_cold frames and nothing else', shown);
  const result = await page.$eval('#search-result', (e) => e.textContent);
  check(result === 'Matched: 40.00% (4 of 10 samples)', 'search shows the matched share', result);
  await page.screenshot({ path: path.join(opts.artifacts, 'known-report-search.png') });
  // Every frame matches "qv_known": each sample counts once, not per frame.
  await page.$eval('#search', (e) => { e.value = 'qv_known'; e.dispatchEvent(new Event('input')); });
  const all = await page.$eval('#search-result', (e) => e.textContent);
  check(all === 'Matched: 100.00% (10 of 10 samples)', 'nested matches count each sample once', all);
  await page.$eval('#search', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); });
  check((await frames(page)).every((f) => !f.match), 'clearing the search clears the marks');

  // The table sorts by self time first, by any column on a click.
  const column = (k) => page.$$eval('#functions tbody tr', (rows, k) => rows.map((r) => r.cells[k].textContent), k);
  let names = await column(0);
  check(JSON.stringify(names) === JSON.stringify(['qv_known_hot', 'qv_known_cold', 'qv_known_outer', 'qv_known_middle']),
        'functions heaviest self first', names);
  await page.click('#functions th[data-key="name"]');
  names = await column(0);
  check(JSON.stringify(names) === JSON.stringify(names.slice().sort()), 'a click on Function sorts by name', names);
  await page.click('#functions th[data-key="total"]');
  check(JSON.stringify(await column(4)) === JSON.stringify(['10', '8', '6', '4']), 'a click on Total sorts by total');

  // The thread lane, its tenures, and the metric plot.
  check((await page.$$('#timeline .lane canvas')).length === 1, 'one thread lane');
  const legend = await page.$eval('#timeline-legend', (e) => e.textContent);
  check(/on a processor/.test(legend) && /in system calls/.test(legend), 'the lane shows tenures', legend);
  const points = await page.$eval('#metrics polyline', (e) => e.getAttribute('points').trim().split(/\s+/).length);
  check(points === 3, 'the load average is plotted at its three passes', points);

  await page.mouse.move(0, 0);
  await page.screenshot({ path: path.join(opts.artifacts, 'known-report.png'), fullPage: true });
  check(seen.errors.length === 0, 'no console errors', seen.errors);
  check(seen.requests.length === 0, 'no request leaves the page', seen.requests);

  // The hostile page: every name is text, no script of the data ran.
  const hostileUrl = pathToFileURL(hostile).href;
  const other = await watchedPage(browser, (u) => u === hostileUrl);
  await other.page.goto(hostileUrl, { waitUntil: 'load' });
  const names2 = await other.page.$$eval('#flame .frame', (nodes) => nodes.map((n) => n.textContent));
  check(names2.includes('</script><script>window.__hostile = 1; alert(1)</script>') &&
        names2.includes('<!-- <script>') && names2.length === 3, 'hostile names show as text', names2);
  check(await other.page.evaluate(() => window.__hostile === undefined), 'no injected script ran');
  check(other.seen.dialogs.length === 0, 'no dialog opened', other.seen.dialogs);
  check(other.seen.errors.length === 0, 'no console errors on the hostile page', other.seen.errors);
  check(other.seen.requests.length === 0, 'no request from injected markup', other.seen.requests);
  check((await other.page.title()) === '</title><script>alert(3)</script>', 'the title is text');
  console.log('screenshot: ' + path.join(opts.artifacts, 'known-report.png'));
});
