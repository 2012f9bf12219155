// The status page: filled from the REST API on load, kept current from the live feed.
'use strict';

const WINDOW_S = 300;
// The feed's zone events keep the zone counts; this slow re-read only repairs what a lost
// message would leave wrong.
const ZONES_REREAD_MS = 60000;
// Zone events held while the counts are read; past this many the read is made again instead.
const ZONES_HELD_MAX = 10000;
const state = {
  buckets: new Map(),   // Unix second -> reads
  tags: new Map(),      // tag id text -> {id, device, count, time}
  presence: [],         // newest first
  readers: [],
  lastSeq: 0,
  token: sessionStorage.getItem('trelvane-token') || '',
  clockOffsetMs: 0,     // the service's clock less the browser's
  zones: [],
  zoneByName: new Map(),
  zoneSeq: 0,           // the last zone event the counts include
  zoneReading: false,   // a read of the counts is on its way
  zoneReadAgain: false,
  zoneHeld: [],         // zone events that came meanwhile
  zoneReadTimer: null,
  zoneTagsTimer: null,
  zoneTagsDue: false,
  openZone: null,       // the zone whose tags are shown

  socket: null,
};

const $ = (id) => document.getElementById(id);
const text = (v) => (v === undefined || v === null ? '' : String(v));

function cell(tr, value, cls) {
  const td = document.createElement('td');
  td.textContent = text(value);
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}

async function getJson(path) {
  const response = await fetch(path, { cache: 'no-store' });
  if (!response.ok) throw new Error(path + ': ' + response.status);
  return response.json();
}

function countRead(read) {
  const second = Math.floor(read.time_ms / 1000);
  state.buckets.set(second, (state.buckets.get(second) || 0) + 1);
  const id = text(read.tag);
  const tag = state.tags.get(id) || { id, count: 0 };
  tag.count += 1;
  tag.device = read.reader;
  tag.time = read.reader_time || new Date(read.time_ms).toLocaleString();
  state.tags.set(id, tag);
  if (read.seq > state.lastSeq) state.lastSeq = read.seq;
}

function renderPlot() {
  const now = Math.floor((Date.now() + state.clockOffsetMs) / 1000);
  const from = now - WINDOW_S + 1;
  for (const second of state.buckets.keys()) {
    if (second < from - 5) state.buckets.delete(second);
  }
  let first = null;
  for (const second of state.buckets.keys()) {
    if (second >= from && (first === null || second < first)) first = second;
  }
  const plot = $('plot');
  const values = [];
  if (first !== null) {
    for (let s = first; s <= now; s++) values.push(state.buckets.get(s) || 0);
  }
  const max = Math.max(1, ...values);
  const width = 900;
  const height = 180;
  const step = width / (WINDOW_S - 1);
  const x0 = (first === null ? 0 : first - from) * step;
  const points = values.map((v, i) => {
    const x = x0 + i * step;
    const y = height - 8 - (v / max) * (height - 20);
    return x.toFixed(1) + ',' + y.toFixed(1);
  });
  $('plot-line').setAttribute('points', points.join(' '));
  $('plot-area').setAttribute('d', points.length
    ? 'M' + x0.toFixed(1) + ',' + height + ' L' + points.join(' L') + ' L' +
      (x0 + (values.length - 1) * step).toFixed(1) + ',' + height + ' Z'
    : '');
  plot.setAttribute('data-points', String(points.length));
  plot.setAttribute('data-reads', String(values.reduce((a, b) => a + b, 0)));
  $('plot-max').textContent = 'peak ' + max + ' reads/s';
  const last = values.length > 1 ? values[values.length - 2] : (values[0] || 0);
  $('c-rate').textContent = text(last);
}

function renderGrid() {
  const grid = $('plot-grid');
  for (let i = 1; i < 5; i++) {
    const line = document.createElementNS('http://www.w3.org/2000/svg', 'line');
    line.setAttribute('x1', '0');
    line.setAttribute('x2', '900');
    line.setAttribute('y1', String(i * 36));
    line.setAttribute('y2', String(i * 36));
    grid.appendChild(line);
  }
}

function renderReaders() {
  const body = $('readers').querySelector('tbody');
  body.replaceChildren();
  for (const r of state.readers) {
    const tr = document.createElement('tr');
    tr.dataset.device = r.device;
    cell(tr, r.name, 'reader-name');
    cell(tr, r.device);
    const stateCell = cell(tr, '');
    const dot = document.createElement('span');
    const label = r.reading ? 'reading' : (r.online ? 'online' : 'offline');
    dot.className = 'dot ' + label;
    const wrap = document.createElement('span');
    wrap.className = 'state';
    wrap.append(dot, document.createTextNode(label));
    stateCell.appendChild(wrap);
    cell(tr, r.tag_count, 'num');
    cell(tr, r.last_reg_time);
    cell(tr, r.product_type);
    const actions = cell(tr, '', 'actions');
    for (const [title, path, method, cls] of [
      ['Start', 'start-read', 'POST', ''], ['Stop', 'stop-read', 'POST', ''],
      ['Query', 'query-info', 'POST', ''], ['Disconnect', '', 'DELETE', 'danger']]) {
      const button = document.createElement('button');
      button.className = 'cmd ' + cls;
      button.textContent = title;
      button.disabled = !state.token;
      button.title = state.token ? title + ' ' + r.name : 'Enter the API token first';
      button.addEventListener('click', () => command(r, path, method, title));
      actions.appendChild(button);
    }
    body.appendChild(tr);
  }
  $('readers-empty').hidden = state.readers.length > 0;
}

function renderTags() {
  const rows = [...state.tags.values()].sort((a, b) => b.count - a.count).slice(0, 10);
  const body = $('tags').querySelector('tbody');
  body.replaceChildren();
  for (const t of rows) {
    const tr = document.createElement('tr');
    cell(tr, t.id);
    cell(tr, t.device);
    cell(tr, t.count, 'num');
    cell(tr, t.time);
    body.appendChild(tr);
  }
  $('tags-empty').hidden = rows.length > 0;
}

function addPresence(p) {
  state.presence.unshift(p);
  state.presence.length = Math.min(state.presence.length, 60);
}

function renderPresence() {
  const list = $('presence');
  list.replaceChildren();
  for (const p of state.presence) {
    const li = document.createElement('li');
    const time = document.createElement('span');
    time.className = 'time';
    time.textContent = new Date(p.time_ms).toLocaleTimeString();
    const kind = document.createElement('span');
    kind.className = p.event;
    kind.textContent = p.event;
    const tag = document.createElement('span');
    tag.textContent = text(p.tag);
    const reader = document.createElement('span');
    reader.textContent = text(p.reader);
    li.append(time, kind, tag, reader);
    list.appendChild(li);
  }
  $('presence-empty').hidden = state.presence.length > 0;
}

function renderStatus(s) {
  if (typeof s.time_ms === 'number') state.clockOffsetMs = s.time_ms - Date.now();
  const up = s.service.listening;
  const badge = $('service');
  badge.textContent = up ? 'listening' : 'not listening';
  badge.className = 'badge ' + (up ? 'badge-ok' : 'badge-off');
  const minutes = Math.floor(s.uptime_s / 60);
  $('meta').textContent = 'readers on ' + s.service.address + ':' + s.service.port +
    ' · up ' + (minutes >= 60 ? Math.floor(minutes / 60) + ' h ' + (minutes % 60) + ' min' : minutes + ' min') +
    (s.history ? ' · history ' + (s.history.writing ? 'on' : 'failing') : ' · history off');
  $('c-readers').textContent = text(s.readers.connected);
  $('c-reading').textContent = text(s.readers.reading);
  $('c-tags').textContent = text(s.tags.distinct);
  $('c-reads').textContent = text(s.tags.reads_total);
}

async function refreshStatus() {
  try {
    renderStatus(await getJson('/api/v1/status'));
    state.readers = (await getJson('/api/v1/readers')).readers;
    renderReaders();
  } catch (e) {
    const badge = $('service');
    badge.textContent = 'unreachable';
    badge.className = 'badge badge-off';
  }
}

async function refreshTags() {
  try {
    const page = await getJson('/api/v1/tags?limit=10000');
    state.tags.clear();
    for (const row of page.rows) {
      state.tags.set(row.id, { id: row.id, device: row.device, count: row.read_count, time: row.last_read_time });
    }
    renderTags();
  } catch (e) { /* the next refresh tries again */ }
}

async function loadHistory() {
  const since = Date.now() + state.clockOffsetMs - WINDOW_S * 1000;
  try {
    let after = 0;
    for (let page = 0; page < 20; page++) {
      const result = await getJson('/api/v1/reads?since=' + since + '&limit=10000&after_seq=' + after);
      for (const read of result.reads) {
        const second = Math.floor(read.time_ms / 1000);
        state.buckets.set(second, (state.buckets.get(second) || 0) + 1);
        state.lastSeq = Math.max(state.lastSeq, read.seq);
      }
      after = result.next_after_seq;
      if (!result.more) break;
    }
    const presence = await getJson('/api/v1/presence?since=' + (Date.now() + state.clockOffsetMs - 600000) + '&limit=10000');
    for (const p of presence.presence.slice(-60)) addPresence(p);
  } catch (e) { /* no history: the live feed fills the page */ }
}

function connectFeed() {
  const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
  let query = '?kinds=reads,presence,devices,zones';
  if (state.lastSeq > 0) query += '&after_seq=' + state.lastSeq;
  const socket = new WebSocket(scheme + location.host + '/api/v1/stream' + query);
  state.socket = socket;
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === 'reads') {
      for (const read of message.reads) countRead(read);
    } else if (message.type === 'presence') {
      for (const p of message.presence) addPresence(p);
      renderPresence();
    } else if (message.type === 'devices') {
      refreshStatus();
    } else if (message.type === 'zones') {
      onZoneEvents(message.zones);
    }
  };
  // What happened while there was no feed is read afresh, once per connection.
  socket.onopen = () => readZones();
  socket.onclose = () => setTimeout(connectFeed, 2000);
}

function timeText(ms) {
  return ms === undefined || ms === null ? '' : new Date(ms).toLocaleString();
}

function renderZones() {
  const list = $('zones');
  list.replaceChildren();
  for (const z of state.zones) {
    const li = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.className = z.name === state.openZone ? 'open' : '';
    button.dataset.zone = z.name;
    button.dataset.count = String(z.tags_now);
    button.title = z.readers.join(', ');
    const name = document.createElement('span');
    name.className = 'zone-name';
    name.textContent = z.name;
    const count = document.createElement('span');
    count.className = 'count';
    count.textContent = text(z.tags_now);
    button.append(name, count);
    button.addEventListener('click', () => openZone(z.name === state.openZone ? null : z.name));
    li.appendChild(button);
    list.appendChild(li);
  }
  $('zones-empty').hidden = state.zones.length > 0;
}

// Reads the counts and the number of the last zone event they include. The feed's events up
// to that number are in them; later ones are applied on top, those that came while the read
// was on its way too, so no event is counted twice or missed.
async function readZones() {
  if (state.zoneReading) {
    state.zoneReadAgain = true;
    return;
  }
  state.zoneReading = true;
  do {
    state.zoneReadAgain = false;
    try {
      const body = await getJson('/api/v1/zones');
      state.zones = body.zones;
      state.zoneSeq = body.through_seq || 0;
    } catch (e) {
      state.zones = [];
    }
  } while (state.zoneReadAgain);
  state.zoneByName = new Map(state.zones.map((z) => [z.name, z]));
  state.zoneReading = false;
  const held = state.zoneHeld;
  state.zoneHeld = [];
  onZoneEvents(held);
  if (state.openZone !== null) await refreshZoneTags();
}

// One zone event on top of the counts; false when its zone is not listed (made since the read).
function applyZoneEvent(z) {
  if (z.seq <= state.zoneSeq) return true;
  state.zoneSeq = z.seq;
  const zone = state.zoneByName.get(z.zone);
  if (!zone) return false;
  zone.tags_now = Math.max(0, zone.tags_now + (z.event === 'enter' ? 1 : -1));
  return true;
}

function onZoneEvents(events) {
  if (state.zoneReading) {
    state.zoneHeld.push(...events);
    if (state.zoneHeld.length > ZONES_HELD_MAX) {
      state.zoneHeld = [];
      state.zoneReadAgain = true;  // the next read's counts include them
    }
    return;
  }
  let unlisted = false;
  let openChanged = false;
  for (const z of events) {
    if (!applyZoneEvent(z)) unlisted = true;
    if (z.zone === state.openZone) openChanged = true;
  }
  renderZones();
  if (openChanged) showZoneTagsSoon();
  if (unlisted) readZonesSoon();
}

// A zone made since the last read: the list is read again, at most once a second.
function readZonesSoon() {
  if (state.zoneReadTimer !== null) return;
  state.zoneReadTimer = setTimeout(() => {
    state.zoneReadTimer = null;
    readZones();
  }, 1000);
}

// The open zone's tags follow its events, read at most once a second.
function showZoneTagsSoon() {
  if (state.zoneTagsTimer !== null) {
    state.zoneTagsDue = true;
    return;
  }
  refreshZoneTags();
  state.zoneTagsTimer = setTimeout(() => {
    state.zoneTagsTimer = null;
    if (state.zoneTagsDue) {
      state.zoneTagsDue = false;
      showZoneTagsSoon();
    }
  }, 1000);
}

async function refreshZoneTags() {
  const panel = $('zone-tags');
  const zone = state.openZone;
  if (zone === null) {
    panel.hidden = true;
    return;
  }
  let page;
  try {
    page = await getJson('/api/v1/zones/' + encodeURIComponent(zone) + '/tags?limit=500');
  } catch (e) {
    state.openZone = null;  // removed meanwhile
    panel.hidden = true;
    renderZones();
    return;
  }
  if (zone !== state.openZone) return;
  $('zone-tags-name').textContent = zone + ' · ' + page.total + (page.total === 1 ? ' tag' : ' tags');
  const body = panel.querySelector('tbody');
  body.replaceChildren();
  for (const t of page.tags) {
    const tr = document.createElement('tr');
    cell(tr, t.tag);
    cell(tr, t.label, 'label');
    cell(tr, t.group);
    cell(tr, timeText(t.since_ms));
    cell(tr, t.reader ? t.reader + ' · ' + timeText(t.last_seen_ms) : '');
    body.appendChild(tr);
  }
  const more = $('zone-tags-more');
  more.hidden = page.total <= page.tags.length;
  more.textContent = 'and ' + (page.total - page.tags.length) + ' more';
  panel.hidden = false;
}

function openZone(name) {
  state.openZone = name;
  renderZones();
  refreshZoneTags();
}

async function findWhere(subject, atText) {
  const out = $('where-result');
  let url = '/api/v1/where/' + encodeURIComponent(subject);
  if (atText) {
    // The field is the browser's local time; the server takes Unix milliseconds.
    const at = new Date(atText).getTime();
    if (Number.isNaN(at)) {
      out.replaceChildren(Object.assign(document.createElement('p'), { className: 'bad', textContent: 'not a time' }));
      return;
    }
    url += '?at=' + at;
  }
  out.replaceChildren();
  try {
    const response = await fetch(url, { cache: 'no-store' });
    const body = await response.json();
    if (!response.ok) {
      const p = document.createElement('p');
      p.className = 'bad';
      p.textContent = body.error + (body.tags ? ': ' + body.tags.join(', ') : '');
      out.appendChild(p);
      return;
    }
    const where = document.createElement('p');
    where.className = 'zone-now';
    where.id = 'where-zone';
    where.textContent = body.zone === null ? 'in no zone' : 'in ' + body.zone;
    const dl = document.createElement('dl');
    for (const [term, value] of [
      ['Tag', body.tag], ['Label', body.label], ['Group', body.group],
      ['Since', timeText(body.since_ms)], ['Last reader', body.last_reader],
      ['Last read', timeText(body.last_seen_ms)], ['At', body.at_ms ? timeText(body.at_ms) : 'now']]) {
      if (value === null || value === undefined || value === '') continue;
      const dt = document.createElement('dt');
      dt.textContent = term;
      const dd = document.createElement('dd');
      dd.textContent = text(value);
      dl.append(dt, dd);
    }
    out.append(where, dl);
  } catch (e) {
    out.replaceChildren(Object.assign(document.createElement('p'), { className: 'bad', textContent: e.message }));
  }
}

// #zone=NAME opens a zone, #where=TAG-OR-LABEL[&at=LOCAL-TIME] asks where: links to a view.
function followHash() {
  const params = new URLSearchParams(location.hash.slice(1));
  if (params.has('zone')) openZone(params.get('zone'));
  if (params.has('where')) {
    $('where-subject').value = params.get('where');
    $('where-at').value = params.get('at') || '';
    findWhere(params.get('where'), params.get('at'));
  }
}

$('zone-tags-close').addEventListener('click', () => openZone(null));
$('where-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const subject = $('where-subject').value.trim();
  if (subject) findWhere(subject, $('where-at').value);
});

async function command(reader, path, method, title) {
  const result = $('command-result');
  const url = '/api/v1/readers/' + encodeURIComponent(reader.device) + (path ? '/' + path : '');
  try {
    const response = await fetch(url, { method, headers: { Authorization: 'Bearer ' + state.token } });
    const body = await response.json();
    result.className = 'result' + (response.ok ? '' : ' bad');
    result.textContent = title + ' ' + reader.name + ': ' + (response.ok ? 'sent' : body.error);
  } catch (e) {
    result.className = 'result bad';
    result.textContent = title + ' ' + reader.name + ': ' + e.message;
  }
  refreshStatus();
}

$('token').value = state.token;
$('token-form').addEventListener('submit', (event) => {
  event.preventDefault();
  state.token = $('token').value.trim();
  sessionStorage.setItem('trelvane-token', state.token);
  renderReaders();
});

async function start() {
  renderGrid();
  await refreshStatus();  // first: the history is asked for by the service's clock
  await Promise.all([refreshTags(), loadHistory(), readZones()]);
  followHash();
  renderTags();
  renderPresence();
  renderPlot();
  connectFeed();
  setInterval(renderPlot, 1000);
  setInterval(renderTags, 1000);
  setInterval(refreshStatus, 2000);
  setInterval(refreshTags, 10000);
  setInterval(readZones, ZONES_REREAD_MS);
  window.addEventListener('hashchange', followHash);
}
start();
