'use strict';
(function () {
  const data = JSON.parse(document.getElementById('qv-data').textContent);
  const flame = data.flame;
  const count = flame.parent.length;
  const grandTotal = flame.parent.reduce((sum, parent, i) => (parent < 0 ? sum + flame.total[i] : sum), 0);
  const tooltip = document.getElementById('tooltip');

  const FRAME_HEIGHT = 17;
  // Frames narrower than this share of the view are not drawn (their
  // children are narrower still): a million distinct paths would otherwise
  // mean a million elements.
  const MIN_VIEW_SHARE = 0.0005;

  function formatCount(value) {
    return Number.isInteger(value) ? value.toLocaleString('en-US') : value.toFixed(2);
  }
  function formatShare(part, whole) {
    return whole > 0 ? (100 * part / whole).toFixed(2) + '%' : '0.00%';
  }
  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // Header.
  document.getElementById('title').textContent = data.title;
  const facts = document.getElementById('facts');
  for (const [label, value] of data.facts) {
    const row = element('div');
    row.appendChild(element('dt', '', label));
    row.appendChild(element('dd', '', value));
    facts.appendChild(row);
  }

  // Children lists and depths from the parent column (nodes come in
  // depth-first order, children heaviest first).
  const firstChild = new Int32Array(count).fill(-1);
  const nextSibling = new Int32Array(count).fill(-1);
  const lastChild = new Int32Array(count).fill(-1);
  const depth = new Int32Array(count);
  const roots = [];
  for (let i = 0; i < count; i++) {
    const parent = flame.parent[i];
    if (parent < 0) {
      roots.push(i);
      continue;
    }
    depth[i] = depth[parent] + 1;
    if (lastChild[parent] < 0) firstChild[parent] = i; else nextSibling[lastChild[parent]] = i;
    lastChild[parent] = i;
  }
  const nameOf = (i) => flame.names[flame.name[i]];
  const moduleOf = (i) => flame.modules[flame.module[i]];

  // A stable warm colour per function, so one function looks the same
  // wherever it appears.
  const colourCache = new Map();
  function colourOf(nameIndex) {
    let colour = colourCache.get(nameIndex);
    if (!colour) {
      let hash = 2166136261;
      const name = flame.names[nameIndex];
      for (let k = 0; k < name.length; k++) hash = Math.imul(hash ^ name.charCodeAt(k), 16777619);
      hash >>>= 0;
      colour = 'hsl(' + (10 + hash % 40) + ',' + (70 + (hash >> 8) % 20) + '%,' + (58 + (hash >> 16) % 14) + '%)';
      colourCache.set(nameIndex, colour);
    }
    return colour;
  }

  let focus = -1;  // -1: everything
  let matches = null;  // Uint8Array of matching nodes, or null

  const container = document.getElementById('flame');

  function showTooltip(event, lines) {
    tooltip.replaceChildren();
    lines.forEach((line, k) => {
      if (k > 0) tooltip.appendChild(document.createElement('br'));
      if (k === 0) tooltip.appendChild(element('b', '', line)); else tooltip.appendChild(document.createTextNode(line));
    });
    tooltip.hidden = false;
    const x = Math.min(event.clientX + 14, window.innerWidth - tooltip.offsetWidth - 8);
    const y = event.clientY + 16 + tooltip.offsetHeight > window.innerHeight ? event.clientY - tooltip.offsetHeight - 10
                                                                              : event.clientY + 16;
    tooltip.style.left = Math.max(0, x) + 'px';
    tooltip.style.top = Math.max(0, y) + 'px';
  }
  function hideTooltip() { tooltip.hidden = true; }

  function frameTooltip(event, i) {
    const viewTotal = focus < 0 ? grandTotal : flame.total[focus];
    const lines = [nameOf(i), 'Module: ' + moduleOf(i),
      'Samples: ' + formatCount(flame.total[i]) + ' (' + formatShare(flame.total[i], grandTotal) + ' of all)',
      'Self: ' + formatCount(flame.self[i]) + ' (' + formatShare(flame.self[i], grandTotal) + ')'];
    if (focus >= 0) lines.push('Of the zoomed frame: ' + formatShare(flame.total[i], viewTotal));
    showTooltip(event, lines);
  }

  function makeFrame(i, left, width, row, ancestor) {
    const frame = element('div', ancestor ? 'frame ancestor' : 'frame', nameOf(i));
    frame.dataset.node = i;
    frame.dataset.name = nameOf(i);
    frame.dataset.total = flame.total[i];
    frame.style.left = (100 * left) + '%';
    frame.style.width = (100 * width) + '%';
    frame.style.top = (row * FRAME_HEIGHT) + 'px';
    frame.style.background = colourOf(flame.name[i]);
    if (matches && matches[i]) frame.classList.add('match');
    frame.setAttribute('role', 'treeitem');
    return frame;
  }

  function render() {
    const frames = [];
    // The zoomed frame's ancestors span the width above it.
    const chain = [];
    for (let a = focus; a >= 0; a = flame.parent[a]) chain.unshift(a);
    chain.forEach((a, row) => frames.push(makeFrame(a, 0, 1, row, a !== focus)));
    const viewTotal = focus < 0 ? grandTotal : flame.total[focus];
    let maxRow = chain.length;
    if (viewTotal > 0) {
      // Iterative: stacks can be thousands of frames deep.
      const stack = [];
      const baseRow = chain.length;
      const pushChildren = (first, left) => {
        let x = left;
        const level = [];
        for (let c = first; c >= 0; c = nextSibling[c]) {
          level.push([c, x]);
          x += flame.total[c] / viewTotal;
        }
        for (let k = level.length - 1; k >= 0; k--) stack.push(level[k]);
      };
      if (focus < 0) {
        let x = 0;
        const level = roots.map((r) => { const entry = [r, x]; x += flame.total[r] / viewTotal; return entry; });
        for (let k = level.length - 1; k >= 0; k--) stack.push(level[k]);
      } else {
        pushChildren(firstChild[focus], 0);
      }
      const focusDepth = focus < 0 ? 0 : depth[focus] + 1;
      while (stack.length) {
        const [i, left] = stack.pop();
        const width = flame.total[i] / viewTotal;
        if (width < MIN_VIEW_SHARE) continue;
        const row = baseRow + depth[i] - focusDepth;
        maxRow = Math.max(maxRow, row + 1);
        frames.push(makeFrame(i, left, width, row, false));
        if (firstChild[i] >= 0) pushChildren(firstChild[i], left);
      }
    }
    container.replaceChildren(...frames);
    container.style.height = Math.max(1, maxRow) * FRAME_HEIGHT + 'px';
    const path = document.getElementById('zoom-path');
    path.textContent = focus < 0 ? '' : 'Zoomed into ' + nameOf(focus) + ' (' + formatShare(flame.total[focus], grandTotal) + ')';
    if (count === 0) container.replaceChildren(element('p', 'empty', 'No call stacks in this session.'));
  }

  container.addEventListener('mousemove', (event) => {
    const frame = event.target.closest('.frame');
    if (frame) frameTooltip(event, Number(frame.dataset.node)); else hideTooltip();
  });
  container.addEventListener('mouseleave', hideTooltip);
  container.addEventListener('click', (event) => {
    const frame = event.target.closest('.frame');
    if (!frame) return;
    const i = Number(frame.dataset.node);
    focus = i === focus ? flame.parent[i] : i;
    hideTooltip();
    render();
  });
  document.getElementById('reset').addEventListener('click', () => {
    focus = -1;
    render();
  });

  // Search: frames whose function name contains the text (any case). The
  // share counts each sample once, however many matching frames its stack
  // holds.
  const search = document.getElementById('search');
  const searchResult = document.getElementById('search-result');
  function applySearch() {
    const text = search.value.trim().toLowerCase();
    if (!text) {
      matches = null;
      searchResult.textContent = '';
      render();
      return;
    }
    const nameMatches = flame.names.map((name) => name.toLowerCase().includes(text));
    matches = new Uint8Array(count);
    const coveredBy = new Int32Array(count).fill(-1);  // nearest matching ancestor-or-self
    let matched = 0;
    for (let i = 0; i < count; i++) {
      const parent = flame.parent[i];
      const inherited = parent >= 0 ? coveredBy[parent] : -1;
      if (nameMatches[flame.name[i]]) {
        matches[i] = 1;
        if (inherited < 0) matched += flame.total[i];
        coveredBy[i] = i;
      } else {
        coveredBy[i] = inherited;
      }
    }
    searchResult.textContent = 'Matched: ' + formatShare(matched, grandTotal) + ' (' + formatCount(matched) + ' of ' +
                               formatCount(grandTotal) + ' samples)';
    render();
  }
  search.addEventListener('input', applySearch);

  // Heaviest functions, sortable by any column.
  const functions = data.functions;
  const rows = functions.name.map((name, k) => ({
    rank: k, name, module: functions.module[k], self: functions.self[k], total: functions.total[k],
    selfShare: grandTotal > 0 ? functions.self[k] / grandTotal : 0,
    totalShare: grandTotal > 0 ? functions.total[k] / grandTotal : 0,
  }));
  const MAX_ROWS = 500;
  const table = document.getElementById('functions');
  const body = table.querySelector('tbody');
  let sortKey = 'self';
  let sortAscending = false;
  function renderTable() {
    const sorted = rows.slice().sort((a, b) => {
      const x = a[sortKey], y = b[sortKey];
      const order = typeof x === 'string' ? x.localeCompare(y) : x - y;
      // Ties keep the embedded order: self, then total, then name.
      return (sortAscending ? order : -order) || a.rank - b.rank;
    });
    const shown = sorted.slice(0, MAX_ROWS).map((row) => {
      const tr = element('tr');
      tr.appendChild(element('td', 'name', row.name));
      tr.appendChild(element('td', '', row.module));
      tr.appendChild(element('td', 'number', formatCount(row.self)));
      tr.appendChild(element('td', 'number', formatShare(row.self, grandTotal)));
      tr.appendChild(element('td', 'number', formatCount(row.total)));
      tr.appendChild(element('td', 'number', formatShare(row.total, grandTotal)));
      tr.addEventListener('click', () => {
        search.value = row.name;
        applySearch();
        document.getElementById('flame-section').scrollIntoView();
      });
      return tr;
    });
    body.replaceChildren(...shown);
    for (const th of table.querySelectorAll('th')) {
      th.classList.toggle('sorted-asc', th.dataset.key === sortKey && sortAscending);
      th.classList.toggle('sorted-desc', th.dataset.key === sortKey && !sortAscending);
    }
    document.getElementById('functions-note').textContent =
        rows.length > MAX_ROWS ? 'Showing ' + MAX_ROWS + ' of ' + rows.length + ' functions.' : '';
  }
  for (const th of table.querySelectorAll('th')) {
    th.addEventListener('click', () => {
      if (sortKey === th.dataset.key) sortAscending = !sortAscending;
      else { sortKey = th.dataset.key; sortAscending = th.dataset.type === 'text'; }
      renderTable();
    });
  }

  // Threads over time: samples per bucket as bars, time on a processor and
  // in system calls as strips below, where the session has them.
  function renderTimeline() {
    const section = document.getElementById('timeline');
    const timeline = data.timeline;
    if (!timeline || timeline.threads.length === 0) {
      section.appendChild(element('p', 'empty', 'No samples or tenures to show over time.'));
      return;
    }
    const seconds = (timeline.end - timeline.begin) / 1e9;
    const hasRunning = timeline.threads.some((t) => t.running);
    const hasSyscalls = timeline.threads.some((t) => t.syscalls);
    const legend = document.getElementById('timeline-legend');
    legend.textContent = seconds.toFixed(3) + ' s in ' + timeline.buckets + ' steps of ' +
                         (1000 * seconds / timeline.buckets).toFixed(2) + ' ms.';
    const swatches = [['#d9622b', 'samples']];
    if (hasRunning) swatches.push(['#2f9e5a', 'on a processor']);
    if (hasSyscalls) swatches.push(['#3a6fd8', 'in system calls']);
    for (const [colour, label] of swatches) {
      const swatch = element('span', 'swatch');
      swatch.style.background = colour;
      legend.appendChild(swatch);
      legend.appendChild(document.createTextNode(label));
    }
    const peak = Math.max(1, ...timeline.threads.map((t) => Math.max(0, ...t.samples)));
    for (const thread of timeline.threads) {
      const lane = element('div', 'lane');
      lane.dataset.thread = thread.id;
      const label = element('div', 'lane-label', thread.label);
      label.title = thread.label;
      lane.appendChild(label);
      const canvas = document.createElement('canvas');
      lane.appendChild(canvas);
      section.appendChild(lane);
      const width = Math.max(timeline.buckets, canvas.clientWidth || 800);
      canvas.width = width;
      canvas.height = 34;
      const context = canvas.getContext('2d');
      const step = width / timeline.buckets;
      const strips = (thread.running ? 5 : 0) + (thread.syscalls ? 5 : 0);
      const barHeight = 34 - strips;
      context.fillStyle = '#d9622b';
      thread.samples.forEach((n, b) => {
        if (n > 0) {
          const h = Math.max(1, barHeight * n / peak);
          context.fillRect(b * step, barHeight - h, Math.max(1, step), h);
        }
      });
      let y = barHeight;
      for (const [values, colour] of [[thread.running, '#2f9e5a'], [thread.syscalls, '#3a6fd8']]) {
        if (!values) continue;
        values.forEach((share, b) => {
          if (share > 0) {
            context.globalAlpha = 0.25 + 0.75 * share;
            context.fillStyle = colour;
            context.fillRect(b * step, y, Math.max(1, step), 5);
          }
        });
        context.globalAlpha = 1;
        y += 5;
      }
      canvas.addEventListener('mousemove', (event) => {
        const box = canvas.getBoundingClientRect();
        const b = Math.min(timeline.buckets - 1, Math.max(0, Math.floor((event.clientX - box.left) / box.width * timeline.buckets)));
        const lines = [thread.label, 'At ' + (b * seconds / timeline.buckets).toFixed(3) + ' s',
                       'Samples: ' + thread.samples[b]];
        if (thread.running) lines.push('On a processor: ' + (100 * thread.running[b]).toFixed(1) + '%');
        if (thread.syscalls) lines.push('In system calls: ' + (100 * thread.syscalls[b]).toFixed(1) + '%');
        showTooltip(event, lines);
      });
      canvas.addEventListener('mouseleave', hideTooltip);
    }
  }

  // Metrics: one line plot per entity and metric.
  function renderMetrics() {
    const section = document.getElementById('metrics');
    if (data.metrics.length === 0) {
      document.getElementById('metrics-section').hidden = true;
      return;
    }
    const SVG = 'http://www.w3.org/2000/svg';
    for (const series of data.metrics) {
      const plot = element('div', 'plot');
      plot.dataset.metric = series.metric;
      plot.appendChild(element('h3', '', series.entity + ': ' + series.metric + (series.unit ? ' (' + series.unit + ')' : '')));
      const svg = document.createElementNS(SVG, 'svg');
      // Drawn at the width it is shown at, so that its text is not stretched.
      const W = Math.max(300, section.clientWidth || 1000), H = 120, PAD = 14;
      svg.setAttribute('viewBox', '0 0 ' + W + ' ' + H);
      // Reduced rather than spread: a long recording has more passes than a
      // call may take arguments.
      const tMax = series.t.reduce((m, t) => Math.max(m, t), 1e-9), tMin = series.t.reduce((m, t) => Math.min(m, t), 0);
      const vMax = series.v.reduce((m, v) => Math.max(m, v), 0), vMin = series.v.reduce((m, v) => Math.min(m, v), 0);
      const span = vMax - vMin || 1;
      const points = series.t.map((t, k) => {
        const x = PAD + (W - 2 * PAD) * (t - tMin) / (tMax - tMin || 1);
        const y = H - PAD - (H - 2 * PAD) * (series.v[k] - vMin) / span;
        return x.toFixed(1) + ',' + y.toFixed(1);
      });
      const line = document.createElementNS(SVG, 'polyline');
      line.setAttribute('points', points.join(' '));
      svg.appendChild(line);
      const labels = [[String(+vMax.toPrecision(4)), 2, 11, 'start'], [String(+vMin.toPrecision(4)), 2, H - 3, 'start'],
                      [tMax.toFixed(2) + ' s', W - 2, H - 3, 'end']];
      for (const [text, x, y, anchor] of labels) {
        const label = document.createElementNS(SVG, 'text');
        label.setAttribute('x', x);
        label.setAttribute('y', y);
        label.setAttribute('text-anchor', anchor);
        label.textContent = text;
        svg.appendChild(label);
      }
      plot.appendChild(svg);
      section.appendChild(plot);
    }
  }

  render();
  renderTable();
  renderTimeline();
  renderMetrics();
  window.addEventListener('resize', render);
})();
