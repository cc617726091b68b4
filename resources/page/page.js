// The live page: asks the station for /state twice a second and redraws.
// When the station is gone (restarting, say) it says so and keeps asking.
'use strict';
(function () {
  var POLL_MS = 500, TIMEOUT_MS = 2000;
  var SIGNS = { waiting: '◌ Waiting', flashing: '▶ Flashing', succeeded: '✔ Succeeded', failed: '✘ Failed' };
  var tiles = [];

  function el(tag, className, text) {
    var node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function set(id, text) { document.getElementById(id).textContent = text; }

  function percent(share) { return share === null || share === undefined ? '–' : (100 * share).toFixed(1) + ' %'; }

  function seconds(s) { return s > 0 ? s.toFixed(1) + ' s' : '–'; }

  function tile() {
    var t = { root: el('article', 'tile') };
    var top = el('div', 'top');
    t.port = el('span', 'port');
    t.board = el('span', 'board');
    top.append(t.port, t.board);
    t.state = el('div', 'state');
    t.progress = el('div', 'progress');
    t.bar = el('div', 'bar');
    t.fill = el('div');
    t.bar.append(t.fill);
    t.percent = el('span', 'percent');
    t.progress.append(t.bar, t.percent);
    t.reason = el('div', 'reason');
    t.detail = el('div', 'detail');
    t.unplug = el('div', 'unplug', 'Unplug it');
    t.tally = el('div', 'tally');
    t.root.append(top, t.state, t.progress, t.reason, t.detail, t.unplug, t.tally);
    return t;
  }

  function showSlot(t, s) {
    t.root.className = 'tile ' + s.state;
    t.root.dataset.state = s.state;
    t.root.dataset.slot = s.slot;
    t.port.textContent = s.slot;
    t.board.textContent = s.board ? 'Board ' + s.board : '';
    t.state.textContent = SIGNS[s.state];
    t.progress.hidden = s.state !== 'flashing';
    t.percent.textContent = s.percent + ' %';
    t.fill.style.width = s.percent + '%';
    t.reason.hidden = s.state !== 'failed';
    t.reason.textContent = s.reason || '';
    var detail = [];
    if (s.stamp) detail.push('stamp ' + s.stamp);
    if (s.state !== 'waiting' && s.seconds > 0) detail.push(seconds(s.seconds));
    if (s.state === 'waiting' && s.outcome) detail.push('last: ' + (s.reason || s.outcome));
    t.detail.textContent = detail.join(' · ');
    t.unplug.hidden = !s.unplug;
    t.tally.textContent = s.boards + (s.boards === 1 ? ' board, ' : ' boards, ') + s.failed + ' failed' +
        (s.check_fixture ? ' · CHECK THE FIXTURE' : '');
  }

  function showSlots(slots) {
    var main = document.getElementById('slots');
    while (tiles.length < slots.length) { tiles.push(tile()); main.append(tiles[tiles.length - 1].root); }
    while (tiles.length > slots.length) main.removeChild(tiles.pop().root);
    slots.forEach(function (s, n) { showSlot(tiles[n], s); });
  }

  function showAlarms(alarms) {
    var box = document.getElementById('alarms');
    box.replaceChildren.apply(box, alarms.map(function (a) { return el('p', '', a); }));
  }

  function showTotals(state) {
    set('run-succeeded', state.succeeded);
    set('run-failed', state.failed);
    set('run-yield', percent(state.yield));
    set('run-rate', state.succeeded + state.failed > 0 ? state.boards_per_hour.toFixed(0) : '–');
    set('run-median', seconds(state.median_seconds));
    set('run-p95', seconds(state.p95_seconds));
    document.getElementById('lot').hidden = !state.lot && !state.quantity;
    set('lot-succeeded', state.lot ? state.lot.succeeded : '–');
    set('lot-failed', state.lot ? state.lot.failed : '–');
    set('lot-yield', state.lot ? percent(state.lot.yield) : '–');
    document.getElementById('quantity-box').hidden = !state.quantity;
    set('job', state.job ? 'Job ' + state.job : 'Quantity');
    set('quantity', (state.succeeded + state.failed) + ' of ' + state.quantity);
  }

  // Cycle times in bins of a fifth of the slowest recent board, at least 1 s.
  function cycleBins(recent) {
    var slowest = recent.reduce(function (m, b) { return Math.max(m, b.seconds); }, 0);
    var width = Math.max(1, Math.ceil(slowest / 10));
    var counts = [];
    for (var n = 0; n <= Math.floor(slowest / width); ++n) counts.push(0);
    recent.forEach(function (b) { ++counts[Math.floor(b.seconds / width)]; });
    return { width: width, counts: counts.length ? counts : [0] };
  }

  // Boards ended per minute over the last half hour.
  function perMinute(recent, now) {
    var labels = [], good = [], bad = [];
    for (var n = 29; n >= 0; --n) { labels.push(n === 0 ? 'now' : '-' + n + ' min'); good.push(0); bad.push(0); }
    recent.forEach(function (b) {
      var ago = Math.floor((now - b.time) / 60000);
      if (ago >= 0 && ago < 30) ++(b.succeeded ? good : bad)[29 - ago];
    });
    return { labels: labels, good: good, bad: bad };
  }

  function showCharts(state) {
    KavroCharts.yieldBars(document.getElementById('chart-yield'), 'Boards per slot',
        state.slots.map(function (s) { return s.slot; }),
        state.slots.map(function (s) { return s.boards - s.failed; }),
        state.slots.map(function (s) { return s.failed; }));
    var bins = cycleBins(state.recent);
    KavroCharts.cycleHistogram(document.getElementById('chart-cycle'), 'Cycle times (last boards)',
                               bins.width, bins.counts);
    var rate = perMinute(state.recent, Date.parse(state.started) + 1000 * state.seconds);
    KavroCharts.yieldBars(document.getElementById('chart-rate'), 'Boards per minute',
                          rate.labels, rate.good, rate.bad);
  }

  function show(state) {
    document.title = 'Kavro ' + state.mode + ': ' + state.succeeded + ' ✔ ' + state.failed + ' ✘';
    set('title', state.mode === 'gang' ? 'Kavro boards' : 'Kavro station');
    set('image', state.image + (state.running ? '' : ' · stopped'));
    showSlots(state.slots);
    showAlarms(state.alarms);
    showTotals(state);
    showCharts(state);
  }

  function link(up, text) {
    var box = document.getElementById('link');
    box.className = 'link ' + (up ? 'up' : 'down');
    box.textContent = text;
  }

  function poll() {
    var controller = new AbortController();
    var timer = setTimeout(function () { controller.abort(); }, TIMEOUT_MS);
    fetch('state', { cache: 'no-store', signal: controller.signal })
      .then(function (r) { if (!r.ok) throw new Error(r.status); return r.json(); })
      .then(function (state) { show(state); link(true, 'live'); })
      .catch(function () { link(false, 'NO CONNECTION TO THE STATION – retrying'); })
      .finally(function () { clearTimeout(timer); setTimeout(poll, POLL_MS); });
  }

  poll();
})();
