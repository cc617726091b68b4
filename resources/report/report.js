// The yield report: tables and charts from the figures written into the page.
'use strict';
(function () {
  var data = JSON.parse(document.getElementById('data').textContent);

  function el(tag, className, text) {
    var node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = String(text);
    return node;
  }

  function yieldText(good, bad) { return good + bad ? (100 * good / (good + bad)).toFixed(1) + ' %' : '–'; }

  function row(table, cells) {
    var tr = el('tr');
    cells.forEach(function (c) {
      var td = typeof c === 'object' && c !== null ? c : el('td', typeof c === 'number' ? 'n' : '', c);
      tr.append(td);
    });
    document.querySelector('#' + table + ' tbody').append(tr);
  }

  function figure(label, value) {
    var box = el('div', 'figure');
    box.append(el('span', '', label), el('b', '', value));
    document.getElementById('summary').append(box);
  }

  document.getElementById('about').textContent = 'Generated ' + data.generated +
      '. Hours and shifts in the time zone ' + data.timezone +
      '; shifts are early (06:00 to 14:00), late (14:00 to 22:00) and night (22:00 to 06:00).';
  figure('Boards', data.succeeded + data.failed);
  figure('Succeeded', data.succeeded);
  figure('Failed', data.failed);
  figure('Yield', yieldText(data.succeeded, data.failed));
  figure('Median cycle', data.cycle.median_seconds.toFixed(1) + ' s');
  figure('95th pct. cycle', data.cycle.p95_seconds.toFixed(1) + ' s');
  figure('Stamps reserved', data.stamps.reservations);
  figure('Stamps burnt', data.stamps.burnt.length);

  data.records.forEach(function (r) {
    var verdict = r.intact ? el('td', 'intact', '✔ intact')
                           : el('td', 'broken', '✘ broken at line ' + r.broken_at + ': ' + r.reason);
    row('records', [r.record, r.lines, r.boards, r.first, r.last, verdict, el('td', 'hash', r.last_hash)]);
  });
  data.slots.forEach(function (s) {
    var outcomes = Object.keys(s.outcomes).map(function (o) { return s.outcomes[o] + ' ' + o; }).join(', ');
    row('slots', [s.slot, s.succeeded + s.failed, s.succeeded, s.failed, yieldText(s.succeeded, s.failed), outcomes]);
  });
  data.shifts.forEach(function (s) {
    row('shifts', [s.shift, s.succeeded + s.failed, s.succeeded, s.failed, yieldText(s.succeeded, s.failed)]);
  });
  row('stamps', ['Reserved', data.stamps.reservations]);
  row('stamps', ['Carried to a success', data.stamps.stamped_successes]);
  row('stamps', ['Burnt (reserved, no success)', data.stamps.burnt.length]);
  data.stamps.burnt.forEach(function (b) { row('burnt', [b.stamp, b.outcome || 'reserved, outcome unknown']); });
  document.getElementById('burnt').hidden = !data.stamps.burnt.length;

  function column(list, key) { return list.map(function (x) { return x[key]; }); }
  KavroCharts.yieldBars(document.getElementById('chart-slots'), 'Boards per slot',
                        column(data.slots, 'slot'), column(data.slots, 'succeeded'), column(data.slots, 'failed'));
  KavroCharts.yieldBars(document.getElementById('chart-hours'), 'Boards per hour (' + data.timezone + ')',
                        column(data.hours, 'hour'), column(data.hours, 'succeeded'), column(data.hours, 'failed'));
  KavroCharts.pareto(document.getElementById('chart-pareto'), 'Outcomes', data.outcomes);
  var cycleOf = data.cycle.window ? ' (each slot\'s last ' + data.cycle.window + ' boards)' : '';
  KavroCharts.cycleHistogram(document.getElementById('chart-cycle'), 'Cycle times' + cycleOf,
                             data.cycle.bin_seconds, data.cycle.counts);
  document.body.dataset.drawn = 'yes';
})();
