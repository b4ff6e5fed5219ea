// The keltrace HTML report: reads the JSON block kel-data and builds the
// page from it. Every text from the trace is set with textContent or
// setAttribute, never parsed as markup.
(function () {
  'use strict';

  var data = JSON.parse(document.getElementById('kel-data').textContent);
  var SVG_NS = 'http://www.w3.org/2000/svg';
  var PALETTE = ['#0969da', '#cf222e', '#1a7f37', '#8250df', '#bc4c00', '#0598bc', '#bf3989', '#6e7781'];
  var ROW_LIMIT = 500;

  // ------------------------------------------------------------ helpers

  function el(tag, attrs, text) {
    var e = document.createElement(tag);
    setAttrs(e, attrs);
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function svgEl(tag, attrs, text) {
    var e = document.createElementNS(SVG_NS, tag);
    setAttrs(e, attrs);
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function setAttrs(e, attrs) {
    if (!attrs) return;
    Object.keys(attrs).forEach(function (k) { e.setAttribute(k, String(attrs[k])); });
  }
  function add(parent) {
    for (var i = 1; i < arguments.length; ++i) parent.appendChild(arguments[i]);
    return parent;
  }
  function str(i) { return i === null || i === undefined ? null : data.strings[i]; }
  function siteParts(i) {
    if (i === null || i === undefined) return null;
    var s = data.sites[i];
    return { file: data.strings[s[0]], line: data.strings[s[1]] };
  }
  // As keltrace prints a site: file:line, nothing when the two are equal.
  function siteText(i) {
    var s = siteParts(i);
    if (!s || s.file === s.line) return '';
    return s.file + ':' + s.line;
  }
  function num(n) { return Number(n).toLocaleString('en-US'); }
  function plural(n, one, many) { return num(n) + ' ' + (n === 1 ? one : many); }
  function bytesText(n) {
    var units = ['bytes', 'KiB', 'MiB', 'GiB', 'TiB'];
    if (n < 1024) return plural(n, 'byte', 'bytes');
    var u = 0, v = n;
    while (v >= 1024 && u < units.length - 1) { v /= 1024; ++u; }
    return v.toFixed(v < 10 ? 2 : 1) + ' ' + units[u] + ' (' + num(n) + ' bytes)';
  }
  function kindOf(g) { return data.kinds[g.kind]; }

  // ------------------------------------------------------------ header

  function renderHeader(root) {
    var s = data.summary;
    document.title = 'keltrace report: ' + data.template;
    add(root, el('h1', null, 'keltrace report: ' + data.template));

    var header = el('section', { 'class': 'header', id: 'summary' });
    var facts = el('dl', { 'class': 'facts' });
    function fact(name, value, cls) {
      add(facts, el('dt', null, name), el('dd', cls ? { 'class': cls } : null, value));
    }
    fact('Template', data.template, 'mono');
    if (data.traces) {
      fact('Traces', data.traces.length + ': ' + data.traces.map(function (t) {
        return t.trace + (t.note ? ' (' + t.note + ')' : '');
      }).join(', '), 'mono');
    } else {
      fact('Trace', data.trace, 'mono');
    }
    fact('Records replayed', num(data.records));
    fact('Domains', data.chart.domains.map(function (d) { return d.name; }).join(', '), 'mono');
    if (!data.leak_report) fact('Note', 'a malformed record ended the run: no leak report was made');
    if (data.note) fact('Analysis', data.note, data.incomplete ? 'error' : '');

    var counts = el('div', { 'class': 'counts' });
    function count(label, value, cls) {
      add(counts, add(el('div', { 'class': 'count ' + (cls || '') }), el('b', null, value), el('span', null, label)));
    }
    count('errors', num(s.errors), s.errors > 0 ? 'error' : '');
    count('warnings', num(s.warnings), s.warnings > 0 ? 'warning' : '');
    count('leaks', num(s.leaks), s.leaks > 0 ? 'error' : '');
    count('bytes leaked', num(s.bytes_leaked), s.bytes_leaked > 0 ? 'error' : '');
    count('suppressed', num(s.suppressed));

    // An analysis that stopped early is never a pass.
    var failed = s.errors > 0 || !!data.incomplete;
    var code = data.error_exitcode;
    var verdict = el('div', { 'class': 'verdict ' + (failed ? 'fail' : 'pass'), id: 'verdict' });
    var said = s.errors > 0
      ? 'FAIL: ' + plural(s.errors, 'unsuppressed error remains', 'unsuppressed errors remain') +
        ' (' + plural(s.leaks, 'leak', 'leaks') + ')'
      : failed ? 'FAIL: the analysis is incomplete (' + data.note + ')'
      : 'PASS: no unsuppressed error or leak';
    add(verdict, document.createTextNode(said));
    var how = code !== null
      ? 'the verdict of --error-exitcode ' + code + ': exit status ' + (failed ? code : 0)
      : 'with --error-exitcode N, the exit status would be ' + (failed ? 'N' : '0');
    add(verdict, el('small', null, how));
    add(header, facts, counts, verdict);
    add(root, header);
  }

  // ------------------------------------------------------------ chart

  // Steps of 1, 2 or 5 times a power of ten, about `target` of them.
  function niceStep(range, target, integral) {
    if (!(range > 0)) return 1;
    var raw = range / target;
    var mag = Math.pow(10, Math.floor(Math.log10(raw)));
    var norm = raw / mag;
    var step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * mag;
    return integral ? Math.max(1, Math.round(step)) : step;
  }
  function countUnit(max) {
    if (max >= 1e9) return { div: 1e9, suffix: 'G' };
    if (max >= 1e6) return { div: 1e6, suffix: 'M' };
    if (max >= 1e4) return { div: 1e3, suffix: 'k' };
    return { div: 1, suffix: '' };
  }
  function byteUnit(max) {
    var units = [' B', ' KiB', ' MiB', ' GiB', ' TiB'];
    var u = 0, div = 1;
    while (max / div >= 1024 * 4 && u < units.length - 1) { div *= 1024; ++u; }
    return { div: div, suffix: units[u] };
  }
  function tickLabel(v, unit) {
    if (v === 0) return '0';
    var scaled = v / unit.div;
    var text = Math.abs(scaled - Math.round(scaled)) < 1e-9 ? String(Math.round(scaled)) : scaled.toFixed(1);
    return text + unit.suffix;
  }

  // One chart: `series` is [{name, color, range: {min, max, last}}].
  function renderChart(container, id, title, quantity, series, isBytes) {
    var c = data.chart;
    var W = 640, H = 330;
    var N = c.records, S = c.samples, w = c.width;
    var svg = svgEl('svg', { id: id, viewBox: '0 0 ' + W + ' ' + H, role: 'img', 'data-samples': S,
                             'data-records': N, 'data-width': w });
    add(svg, svgEl('title', null, title));
    var box = add(el('div', { 'class': 'chart' }), svg);
    add(container, box);

    // The legend: one entry per series, in rows across the top.
    var legend = svgEl('g', { 'class': 'legend' });
    var lx = 72, ly = 14, rowHeight = 18;
    series.forEach(function (s) {
      var label = s.name.length > 40 ? s.name.slice(0, 39) + '\u2026' : s.name;
      var width = 22 + label.length * 7.2 + 18;
      if (lx + width > W - 10 && lx > 72) { lx = 72; ly += rowHeight; }
      var item = svgEl('g', { 'class': 'legend-item', transform: 'translate(' + lx + ',' + ly + ')' });
      add(item, svgEl('rect', { x: 0, y: -9, width: 14, height: 10, rx: 2, fill: s.color }));
      var text = svgEl('text', { x: 20, y: 0, 'class': 'legend-label' }, label);
      add(text, svgEl('title', null, s.name));
      add(item, text);
      add(legend, item);
      lx += width;
    });
    add(svg, legend);

    var m = { l: 72, r: 18, t: ly + 16, b: 46 };
    var pw = W - m.l - m.r, ph = H - m.t - m.b;
    var axes = svgEl('g', { 'class': 'axis' });
    add(axes, svgEl('line', { x1: m.l, y1: m.t + ph, x2: m.l + pw, y2: m.t + ph }));
    add(axes, svgEl('line', { x1: m.l, y1: m.t, x2: m.l, y2: m.t + ph }));
    add(axes, svgEl('text', { x: m.l + pw / 2, y: H - 6, 'text-anchor': 'middle' }, 'record number'));
    add(axes, svgEl('text', { x: 14, y: m.t + ph / 2, 'text-anchor': 'middle',
                              transform: 'rotate(-90 14 ' + (m.t + ph / 2) + ')' }, quantity));

    if (S === 0 || series.length === 0) {
      add(svg, axes);
      add(svg, svgEl('text', { x: m.l + pw / 2, y: m.t + ph / 2, 'text-anchor': 'middle', 'class': 'empty' },
                     S === 0 ? 'no record was replayed' : 'no domain to show'));
      return;
    }

    var top = 0;
    series.forEach(function (s) { s.range.max.forEach(function (v) { if (v > top) top = v; }); });
    var unit = isBytes ? byteUnit(top) : countUnit(top);
    var yStep = niceStep(Math.max(top, 1) / unit.div, 5, unit.div === 1) * unit.div;
    var yMax = Math.max(yStep, Math.ceil(top / yStep) * yStep);
    var xStep = niceStep(N, 6, true);
    function x(record) { return m.l + pw * record / N; }
    function y(v) { return m.t + ph - ph * v / yMax; }
    function fx(v) { return (Math.round(v * 10) / 10).toString(); }
    // Sample i covers the records first(i) to last(i).
    function first(i) { return i * w + 1; }
    function last(i) { return Math.min((i + 1) * w, N); }

    var grid = svgEl('g', { 'class': 'grid' });
    for (var v = 0; v <= yMax + yStep / 2; v += yStep) {
      add(grid, svgEl('line', { x1: m.l, y1: fx(y(v)), x2: m.l + pw, y2: fx(y(v)) }));
      add(axes, svgEl('line', { x1: m.l - 5, y1: fx(y(v)), x2: m.l, y2: fx(y(v)) }));
      add(axes, svgEl('text', { x: m.l - 8, y: fx(y(v) + 4), 'text-anchor': 'end' }, tickLabel(v, unit)));
    }
    var xUnit = countUnit(N);
    for (var r = 0; r <= N; r += xStep) {
      add(axes, svgEl('line', { x1: fx(x(r)), y1: m.t + ph, x2: fx(x(r)), y2: m.t + ph + 5 }));
      add(axes, svgEl('text', { x: fx(x(r)), y: m.t + ph + 19, 'text-anchor': 'middle' }, tickLabel(r, xUnit)));
    }
    add(svg, grid, axes);

    // Per series: the band from each sample's minimum to its maximum, and
    // the line through its value after the sample's last record.
    series.forEach(function (s) {
      var g = svgEl('g', { 'class': 'series', 'data-domain': s.name, 'data-quantity': quantity });
      var upper = [], lower = [], points = [];
      for (var i = 0; i < S; ++i) {
        var x0 = fx(x(first(i) - (w > 1 ? 1 : 0))), x1 = fx(x(last(i)));
        upper.push(x0 + ',' + fx(y(s.range.max[i])), x1 + ',' + fx(y(s.range.max[i])));
        lower.push(x1 + ',' + fx(y(s.range.min[i])), x0 + ',' + fx(y(s.range.min[i])));
        points.push(x1 + ',' + fx(y(s.range.last[i])));
      }
      lower.reverse();
      add(g, svgEl('path', { 'class': 'band', fill: s.color, 'fill-opacity': 0.18,
                             d: 'M' + upper.join(' L') + ' L' + lower.join(' L') + ' Z' }));
      add(g, svgEl('polyline', { 'class': 'series-line', stroke: s.color, points: points.join(' ') }));
      add(svg, g);
    });

    // Hover: the sample under the pointer, its records and every series' values.
    var cursor = svgEl('line', { 'class': 'cursor', x1: 0, y1: m.t, x2: 0, y2: m.t + ph, visibility: 'hidden' });
    var dots = series.map(function (s) {
      return svgEl('circle', { r: 3.5, fill: s.color, stroke: '#fff', 'stroke-width': 1.5, visibility: 'hidden' });
    });
    add(svg, cursor);
    dots.forEach(function (d) { add(svg, d); });
    var tip = el('div', { 'class': 'tooltip' });
    add(box, tip);
    var overlay = svgEl('rect', { x: m.l, y: m.t, width: pw, height: ph, fill: 'transparent',
                                  'pointer-events': 'all', 'class': 'overlay' });
    add(svg, overlay);
    function show(evt) {
      var rect = svg.getBoundingClientRect();
      var sx = (evt.clientX - rect.left) * W / rect.width;
      var record = (sx - m.l) / pw * N;
      var i = Math.min(S - 1, Math.max(0, Math.ceil(record / w) - 1));
      var cx = x(last(i));
      setAttrs(cursor, { x1: cx, x2: cx, visibility: 'visible' });
      tip.textContent = '';
      var head = first(i) === last(i) ? 'record ' + num(last(i)) : 'records ' + num(first(i)) + ' to ' + num(last(i));
      add(tip, el('div', null, head));
      series.forEach(function (s, k) {
        setAttrs(dots[k], { cx: cx, cy: y(s.range.last[i]), visibility: 'visible' });
        var line = el('div');
        add(line, el('span', { 'class': 'swatch', style: 'background:' + s.color }));
        var fmt = isBytes ? bytesText : num;
        var text = s.name + ': ' + fmt(s.range.last[i]);
        if (s.range.min[i] !== s.range.max[i]) text += ' (min ' + fmt(s.range.min[i]) + ', max ' + fmt(s.range.max[i]) + ')';
        add(line, document.createTextNode(text));
        add(tip, line);
      });
      tip.style.display = 'block';
      var left = (cx / W) * rect.width + 14;
      if (left + tip.offsetWidth > rect.width) left = (cx / W) * rect.width - tip.offsetWidth - 14;
      tip.style.left = Math.max(0, left) + 'px';
      tip.style.top = ((m.t / H) * rect.height) + 'px';
    }
    function hide() {
      tip.style.display = 'none';
      cursor.setAttribute('visibility', 'hidden');
      dots.forEach(function (d) { d.setAttribute('visibility', 'hidden'); });
    }
    overlay.addEventListener('mousemove', show);
    overlay.addEventListener('mouseleave', hide);
  }

  function renderCharts(root) {
    var c = data.chart;
    var section = el('section', { id: 'live' });
    add(section, el('h2', null, 'Live resources over the run'));
    var per = c.width === 1 ? 'one record' : num(c.width) + ' records';
    add(section, el('p', { 'class': 'note' },
      num(c.records) + ' records in ' + num(c.samples) + ' samples of ' + per + ' each. The line follows the value ' +
      'after each sample\u2019s last record; the shaded band spans its minimum and maximum, so no peak is lost. ' +
      'A line that climbs and never comes back down is a domain that leaks. Hover for the values.'));
    var handles = [], bytes = [];
    c.domains.forEach(function (d, k) {
      var color = PALETTE[k % PALETTE.length];
      if (d.handles) handles.push({ name: d.name, color: color, range: d.handles });
      if (d.bytes) bytes.push({ name: d.name, color: color, range: d.bytes });
    });
    var charts = el('div', { 'class': 'charts' });
    add(section, charts);
    renderChart(charts, 'chart-handles', 'Live handles per domain over the record number', 'live handles',
                handles, false);
    if (bytes.length > 0) {
      renderChart(charts, 'chart-bytes', 'Live bytes per sized domain over the record number', 'live bytes',
                  bytes, true);
    }
    add(root, section);
  }

  // ------------------------------------------------------------ findings

  function renderFindings(root) {
    var section = el('section', { id: 'findings-section' });
    add(section, el('h2', null, 'Findings by kind, domain, tor and site'));
    var cap = data.occurrence_cap;
    add(section, el('p', { 'class': 'note' },
      'One row per group, as keltrace --group prints them. Each group lists at most its first ' + num(cap) +
      ' occurrences (--max-occurrences changes this). Click a column title to sort, a row\u2019s button to expand it.'));

    var groups = data.groups.map(function (g, i) { g.order = i; return g; });
    var suppressedCount = groups.filter(function (g) { return g.suppressed; }).length;
    var controls = el('div', { 'class': 'controls' });
    function select(id, label, values) {
      var s = el('select', { id: id });
      add(s, el('option', { value: '' }, 'all'));
      values.forEach(function (v) { add(s, el('option', { value: v }, v)); });
      var l = el('label', null, label);
      add(l, s);
      add(controls, l);
      return s;
    }
    function distinct(list) {
      var seen = {}, out = [];
      list.forEach(function (v) { if (v !== null && !Object.prototype.hasOwnProperty.call(seen, v)) { seen[v] = 1; out.push(v); } });
      return out.sort();
    }
    var kindSelect = select('kind-filter', 'Kind', distinct(groups.map(function (g) { return kindOf(g).id; })));
    var domainSelect = select('domain-filter', 'Domain', distinct(groups.map(function (g) { return str(g.domain); })));
    var suppressedBox = el('input', { type: 'checkbox', id: 'show-suppressed' });
    var suppressedLabel = el('label');
    add(suppressedLabel, suppressedBox,
        document.createTextNode(' show suppressed groups (' + num(suppressedCount) + ')'));
    add(controls, suppressedLabel);
    var shownNote = el('span', { 'class': 'note', id: 'groups-shown' });
    add(controls, shownNote);
    add(section, controls);

    var table = el('table', { id: 'findings' });
    var thead = el('thead');
    var headRow = el('tr');
    var sort = { key: 'count', dir: -1 };
    var columns = [
      { title: '', key: null },
      { title: 'Count', key: 'count', num: true },
      { title: 'Kind', key: 'kind' },
      { title: 'Severity', key: null },
      { title: 'Domain', key: null },
      { title: 'Tor', key: null },
      { title: 'Site', key: 'site' },
      { title: 'Bytes', key: 'bytes', num: true }
    ];
    var arrows = {};
    columns.forEach(function (col) {
      var th = el('th', col.num ? { 'class': 'num' } : null, col.title);
      if (col.key) {
        th.className += ' sortable';
        th.setAttribute('data-sort', col.key);
        arrows[col.key] = el('span', { 'class': 'arrow' });
        add(th, arrows[col.key]);
        th.addEventListener('click', function () {
          sort = sort.key === col.key ? { key: col.key, dir: -sort.dir }
                                      : { key: col.key, dir: col.num ? -1 : 1 };
          limit = ROW_LIMIT;
          draw();
        });
      }
      add(headRow, th);
    });
    add(thead, headRow);
    var tbody = el('tbody');
    add(table, thead, tbody);
    add(section, table);
    var more = el('div', { 'class': 'more' });
    add(section, more);
    add(root, section);

    function siteKey(g) {
      var s = siteParts(g.site);
      if (!s) return ['', 0, ''];
      var n = /^[0-9]+$/.test(s.line) ? Number(s.line) : Infinity;
      return [s.file, n, s.line];
    }
    function compare(a, b) {
      var r = 0;
      if (sort.key === 'count') r = a.count - b.count;
      else if (sort.key === 'bytes') r = (a.sized ? a.bytes : -1) - (b.sized ? b.bytes : -1);
      else if (sort.key === 'kind') r = kindOf(a).id < kindOf(b).id ? -1 : kindOf(a).id > kindOf(b).id ? 1 : 0;
      else if (sort.key === 'site') {
        var ka = siteKey(a), kb = siteKey(b);
        r = ka[0] < kb[0] ? -1 : ka[0] > kb[0] ? 1 : ka[1] - kb[1];
        if (r === 0 || isNaN(r)) r = ka[2] < kb[2] ? -1 : ka[2] > kb[2] ? 1 : 0;
      }
      r *= sort.dir;
      return r !== 0 ? r : a.order - b.order;
    }

    function occurrenceRow(g) {
      var tr = el('tr', { 'class': 'occurrences' });
      var td = el('td', { colspan: columns.length });
      var shown = g.occurrences.length;
      var caption = shown === g.count
        ? plural(g.count, 'occurrence', 'occurrences')
        : 'the first ' + num(shown) + ' of ' + plural(g.count, 'occurrence', 'occurrences');
      add(td, el('p', { 'class': 'note' }, caption));
      var t = el('table');
      var h = el('tr');
      ['#', 'Handle', 'Call', 'Allocated at', 'Released before at', 'Bytes'].forEach(function (title, k) {
        add(h, el('th', k === 5 || k === 0 ? { 'class': 'num' } : null, title));
      });
      add(t, add(el('thead'), h));
      var body = el('tbody');
      g.occurrences.forEach(function (o, k) {
        var row = el('tr');
        add(row, el('td', { 'class': 'num' }, num(k + 1)));
        add(row, el('td', { 'class': 'mono' }, o[0] === null ? '' : o[0]));
        add(row, el('td', { 'class': 'mono site' }, siteText(o[1])));
        add(row, el('td', { 'class': 'mono site' }, siteText(o[2])));
        add(row, el('td', { 'class': 'mono site' }, siteText(o[3])));
        add(row, el('td', { 'class': 'num' }, g.sized ? num(o[4]) : ''));
        add(body, row);
      });
      add(t, body);
      add(td, t);
      add(tr, td);
      return tr;
    }

    var expanded = {};
    var limit = ROW_LIMIT;
    function draw() {
      Object.keys(arrows).forEach(function (k) {
        arrows[k].textContent = sort.key === k ? (sort.dir < 0 ? '\u25bc' : '\u25b2') : '';
      });
      var kind = kindSelect.value, domain = domainSelect.value, withSuppressed = suppressedBox.checked;
      var rows = groups.filter(function (g) {
        if (g.suppressed && !withSuppressed) return false;
        if (kind && kindOf(g).id !== kind) return false;
        if (domain && str(g.domain) !== domain) return false;
        return true;
      }).sort(compare);
      tbody.textContent = '';
      rows.slice(0, limit).forEach(function (g) {
        var k = kindOf(g);
        var tr = el('tr', { 'class': 'group' + (g.suppressed ? ' suppressed' : ''), 'data-kind': k.id });
        var button = el('button', { 'class': 'expand', type: 'button', 'aria-expanded': expanded[g.order] ? 'true' : 'false',
                                    title: 'show the occurrences' }, expanded[g.order] ? '\u25be' : '\u25b8');
        add(tr, add(el('td'), button));
        add(tr, el('td', { 'class': 'num' }, num(g.count)));
        add(tr, el('td', { 'class': 'mono' }, k.id + (g.suppressed ? ' (suppressed)' : '')));
        add(tr, el('td', { 'class': 'sev-' + k.severity }, k.severity));
        add(tr, el('td', { 'class': 'mono' }, str(g.domain) === null ? '' : str(g.domain)));
        add(tr, el('td', { 'class': 'mono' }, str(g.tor) === null ? '' : str(g.tor)));
        add(tr, el('td', { 'class': 'mono site' }, siteText(g.site)));
        add(tr, el('td', { 'class': 'num' }, g.sized ? num(g.bytes) : ''));
        add(tbody, tr);
        var detail = null;
        if (expanded[g.order]) { detail = occurrenceRow(g); add(tbody, detail); }
        button.addEventListener('click', function () {
          expanded[g.order] = !expanded[g.order];
          button.textContent = expanded[g.order] ? '\u25be' : '\u25b8';
          button.setAttribute('aria-expanded', expanded[g.order] ? 'true' : 'false');
          if (expanded[g.order]) {
            detail = occurrenceRow(g);
            tbody.insertBefore(detail, tr.nextSibling);
          } else if (detail) {
            tbody.removeChild(detail);
            detail = null;
          }
        });
      });
      shownNote.textContent = num(Math.min(rows.length, limit)) + ' of ' + plural(rows.length, 'group', 'groups') + ' shown';
      more.textContent = '';
      if (rows.length > limit) {
        var b = el('button', { type: 'button' }, 'show all ' + num(rows.length) + ' groups');
        b.addEventListener('click', function () { limit = Infinity; draw(); });
        add(more, b);
      }
    }
    [kindSelect, domainSelect, suppressedBox].forEach(function (c) {
      c.addEventListener('change', function () { limit = ROW_LIMIT; draw(); });
    });
    draw();
  }

  // ------------------------------------------------------------ leaks

  function renderLeaks(root) {
    var section = el('section', { id: 'leaks-section' });
    add(section, el('h2', null, 'Leaks by allocation site'));
    var bySite = {}, list = [];
    data.groups.forEach(function (g) {
      if (g.suppressed || kindOf(g).id !== 'leak') return;
      var key = String(g.site);
      var entry = bySite[key];
      if (!entry) {
        entry = bySite[key] = { site: g.site, names: [], count: 0, bytes: 0, sized: false };
        list.push(entry);
      }
      var name = (str(g.domain) || '') + (g.tor === null ? '' : ':' + str(g.tor));
      if (entry.names.indexOf(name) < 0) entry.names.push(name);
      entry.count += g.count;
      entry.bytes += g.sized ? g.bytes : 0;
      entry.sized = entry.sized || g.sized;
    });
    if (list.length === 0) {
      add(section, el('p', { 'class': 'note', id: 'no-leaks' }, 'No unsuppressed leak.'));
      add(root, section);
      return;
    }
    list.sort(function (a, b) { return b.bytes - a.bytes || b.count - a.count; });
    var table = el('table', { id: 'leaks' });
    var h = el('tr');
    [['Allocation site', ''], ['Domain:tor', ''], ['Leaks', 'num'], ['Bytes', 'num']].forEach(function (c) {
      add(h, el('th', c[1] ? { 'class': c[1] } : null, c[0]));
    });
    add(table, add(el('thead'), h));
    var body = el('tbody');
    list.forEach(function (e) {
      var tr = el('tr', { 'class': 'leak' });
      add(tr, el('td', { 'class': 'mono site' }, siteText(e.site)));
      add(tr, el('td', { 'class': 'mono' }, e.names.join(', ')));
      add(tr, el('td', { 'class': 'num' }, num(e.count)));
      add(tr, el('td', { 'class': 'num' }, e.sized ? num(e.bytes) : ''));
      add(body, tr);
    });
    add(table, body);
    add(section, table);
    add(root, section);
  }

  var root = document.getElementById('report');
  renderHeader(root);
  renderCharts(root);
  renderFindings(root);
  renderLeaks(root);
  add(root, el('footer', null, 'Made by ' + data.tool.name + ' ' + data.tool.version + ' from ' + data.trace + '.'));
})();
