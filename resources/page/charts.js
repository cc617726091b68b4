// The charts the live page and the yield report share, drawn with Chart.js.
'use strict';
var KavroCharts = (function () {
  var GOOD = '#1b7f3b', BAD = '#c62828', PLAIN = '#1f5f9e';
  Chart.defaults.font.size = 16;
  Chart.defaults.color = '#222';

  // Draws into `canvas`, or updates the chart already there.
  function draw(canvas, config) {
    var chart = Chart.getChart(canvas);
    if (chart) {
      chart.data = config.data;
      chart.update('none');
      return chart;
    }
    config.options = Object.assign({ animation: false, responsive: true, maintainAspectRatio: false },
                                   config.options || {});
    return new Chart(canvas, config);
  }

  function titled(text, extra) {
    return Object.assign({ plugins: { title: { display: true, text: text, font: { size: 20 } } } }, extra || {});
  }

  // Succeeded and failed boards stacked, one bar per label.
  function yieldBars(canvas, title, labels, succeeded, failed) {
    return draw(canvas, {
      type: 'bar',
      data: { labels: labels, datasets: [
        { label: 'succeeded', data: succeeded, backgroundColor: GOOD },
        { label: 'failed', data: failed, backgroundColor: BAD, borderColor: '#000', borderWidth: 1 } ] },
      options: titled(title, { scales: { x: { stacked: true }, y: { stacked: true, beginAtZero: true,
                                                                    ticks: { precision: 0 } } } })
    });
  }

  // Boards per bin of seconds: bins of `width` from 0, the last open-ended.
  function cycleHistogram(canvas, title, width, counts) {
    var labels = counts.map(function (_, n) {
      var from = (n * width).toFixed(1);
      return n === counts.length - 1 ? from + '+ s' : from + '–' + ((n + 1) * width).toFixed(1) + ' s';
    });
    return draw(canvas, {
      type: 'bar',
      data: { labels: labels, datasets: [{ label: 'boards', data: counts, backgroundColor: PLAIN }] },
      options: titled(title, { scales: { y: { beginAtZero: true, ticks: { precision: 0 } } } })
    });
  }

  // Outcomes by count, most first, with the running share as a line.
  function pareto(canvas, title, outcomes) {
    var names = Object.keys(outcomes).sort(function (a, b) { return outcomes[b] - outcomes[a]; });
    var total = names.reduce(function (sum, n) { return sum + outcomes[n]; }, 0);
    var running = 0;
    var share = names.map(function (n) { running += outcomes[n]; return total ? 100 * running / total : 0; });
    return draw(canvas, {
      type: 'bar',
      data: { labels: names, datasets: [
        { type: 'bar', label: 'boards', data: names.map(function (n) { return outcomes[n]; }),
          backgroundColor: names.map(function (n) { return n === 'Download Success' ? GOOD : BAD; }),
          yAxisID: 'y' },
        { type: 'line', label: 'cumulative %', data: share, borderColor: '#222', yAxisID: 'share' } ] },
      options: titled(title, { scales: { y: { beginAtZero: true, ticks: { precision: 0 } },
                                         share: { position: 'right', min: 0, max: 100 } } })
    });
  }

  return { draw: draw, yieldBars: yieldBars, cycleHistogram: cycleHistogram, pareto: pareto,
           GOOD: GOOD, BAD: BAD, PLAIN: PLAIN };
})();
