// panel.js - the virtual MCU's web panel.  Everything shown comes from the
// server-sent event stream /events (a full picture first, then changes);
// every control is a POST to /api/..., answered with the console's words.
'use strict';

const $ = (id) => document.getElementById(id);
const state = {};          // key -> value as the console's get shows it
const meta = { keys: [], byKey: {} };
const MAX_LOG = 3000;

// ---- talking to the virtual MCU -------------------------------------------

async function post(path, fields) {
  const body = new URLSearchParams();
  for (const [name, value] of fields || []) body.append(name, value);
  let reply;
  try {
    const r = await fetch(path, { method: 'POST', body });
    reply = await r.json();
    reply.status = r.status;
  } catch (e) {
    reply = { status: 0, error: 'the virtual MCU does not answer' };
  }
  $('notice').textContent = reply.error ? reply.error : '';
  return reply;
}

// Sets keys (pairs) and has the MCU report `message` from the new state.
const setKeys = (pairs, message) => {
  const fields = [];
  for (const [k, v] of pairs) fields.push(['key', k], ['value', String(v)]);
  if (message) fields.push(['report', message]);
  return post('/api/set', fields);
};

// ---- hard keys --------------------------------------------------------------

function keyLabel(name) {
  return name.replace(/^HARD_KEY_/, '').replace(/^(SWC|CMD)_/, '').replace(/_/g, ' ').toLowerCase();
}

function keyButton(name) {
  const b = document.createElement('button');
  b.className = 'key';
  b.textContent = keyLabel(name);
  b.title = name;
  b.dataset.key = name;
  b.addEventListener('click', () => post('/api/key', [['name', name]]));
  return b;
}

function buildKeys(names) {
  const groups = [
    ['Steering wheel', (n) => n.startsWith('HARD_KEY_SWC_')],
    ['Panel', (n) => !/^HARD_KEY_(SWC_|CMD_|PRESET)/.test(n)],
    ['Presets', (n) => n.startsWith('HARD_KEY_PRESET')],
  ];
  const box = $('key-groups');
  box.textContent = '';
  for (const [title, test] of groups) {
    const h = document.createElement('h3');
    h.textContent = title;
    const g = document.createElement('div');
    g.className = 'key-group';
    names.filter(test).forEach((n) => g.appendChild(keyButton(n)));
    box.append(h, g);
  }
  // Directions as the commander has them: a ring around OK.
  const h = document.createElement('h3');
  h.textContent = 'Directions';
  const grid = document.createElement('div');
  grid.className = 'directions';
  for (const d of ['UPLEFT', 'UP', 'UPRIGHT', 'LEFT', 'OK', 'RIGHT', 'LEFTDOWN', 'DOWN', 'RIGHTDOWN']) {
    const n = 'HARD_KEY_CMD_' + d;
    grid.appendChild(names.includes(n) ? keyButton(n) : document.createElement('span'));
  }
  const rest = document.createElement('div');
  rest.className = 'key-group';
  names.filter((n) => n.startsWith('HARD_KEY_CMD_') && !grid.querySelector(`[data-key="${n}"]`))
    .forEach((n) => rest.appendChild(keyButton(n)));
  box.append(h, grid, rest);
}

// ---- car controls -------------------------------------------------------------

const HVAC = 'MCU_MSG_RET_HVAC_INFO';
const hvacToggles = [
  ['hvac.on', 'climate on'], ['hvac.ac', 'A/C'], ['hvac.max_ac', 'max A/C'], ['hvac.auto', 'auto'],
  ['hvac.recirc', 'recirculation'], ['hvac.fresh', 'fresh air'], ['hvac.dual', 'dual'],
  ['hvac.defrost', 'defrost'], ['hvac.redefrost', 'rear defrost'],
];
// Which message the MCU sends when a key changes.
const reports = {
  'ignition': 'MCU_MSG_RET_IGN_ON_OFF_STATUS',
  'hvac.left_temp': HVAC, 'hvac.right_temp': HVAC, 'hvac.blower': HVAC, 'hvac.mode': HVAC,
  'audio.volume': 'MCU_MSG_RET_AUDIO_VOLUME_INFO',
  'audio_source': 'MCU_MSG_RET_CUR_AUDIO_SOURCE',
  'radio.band': 'MCU_MSG_RET_RADIO_NOTIFY', 'radio.freq': 'MCU_MSG_RET_RADIO_NOTIFY',
  'tft.brightness': 'MCU_MSG_RET_TFT_BRIGHTNESS_STATUS',
  'tft.daynight': 'MCU_MSG_RET_TFT_DAYNIGHT_MODE_INFO',
  'tft.ill_mode': 'MCU_MSG_RET_TFT_ILL_MODE',
};
hvacToggles.forEach(([k]) => { reports[k] = HVAC; });

const report = (key, value) => setKeys([[key, value]], reports[key]);

function fillSelect(select, key) {
  const info = meta.byKey[key];
  select.textContent = '';
  for (const m of info ? info.members : []) {
    const o = document.createElement('option');
    o.value = m;
    o.textContent = m.replace(/^(AUDIO_SOURCE_|RADIO_BAND_|HVAC_MODE_|ILL_MODE_)/, '');
    select.appendChild(o);
  }
  select.dataset.stateKey = key;
  select.onchange = () => report(key, select.value);
}

function wireControls() {
  $('turn-ccw').addEventListener('click', () => post('/api/turn', [['dir', 'ccw'], ['pulses', $('pulses').value]]));
  $('turn-cw').addEventListener('click', () => post('/api/turn', [['dir', 'cw'], ['pulses', $('pulses').value]]));
  $('knob-push').addEventListener('click', () => post('/api/push'));
  $('power-on').addEventListener('click', () => post('/api/power', [['state', 'on']]));
  $('power-off').addEventListener('click', () => post('/api/power', [['state', 'off']]));
  $('ign-toggle').addEventListener('click', () => report('ignition', state.ignition === '0' ? 1 : 0));
  const box = $('hvac-toggles');
  for (const [key, label] of hvacToggles) {
    const b = document.createElement('button');
    b.className = 'toggle';
    b.textContent = label;
    b.dataset.stateKey = key;
    b.addEventListener('click', () => report(key, state[key] === '0' ? 1 : 0));
    box.appendChild(b);
  }
  document.querySelectorAll('button.step').forEach((b) => b.addEventListener('click', () => {
    const key = b.dataset.stepKey;
    report(key, Math.max(0, Number(state[key]) + Number(b.dataset.step)));
  }));
  for (const [id, key] of [['blower', 'hvac.blower'], ['volume', 'audio.volume'], ['brightness', 'tft.brightness']])
    $(id).addEventListener('change', () => report(key, $(id).value));
  $('radio-tune').addEventListener('click', () => report('radio.freq', $('radio-freq').value));
  $('radio-freq').addEventListener('keydown', (e) => { if (e.key === 'Enter') $('radio-tune').click(); });
  $('ask-version').addEventListener('click', () => post('/api/version'));
}

function presetKey() {
  const band = (state['radio.band'] || '').replace('RADIO_BAND_', '');
  return 'radio.presets.' + band;
}

function freqText(freq) {
  const fm = (state['radio.band'] || '').includes('FM');
  return fm ? (freq / 100).toFixed(2) + ' MHz' : freq + ' kHz';
}

function showCar() {
  const on = (key) => state[key] !== undefined && state[key] !== '0';
  const ign = $('ign-toggle');
  ign.textContent = on('ignition') ? 'ignition on' : 'ignition off';
  ign.classList.toggle('on', on('ignition'));
  document.querySelectorAll('#hvac-toggles button').forEach((b) => b.classList.toggle('on', on(b.dataset.stateKey)));
  $('left-temp').textContent = state['hvac.left_temp'];
  $('right-temp').textContent = state['hvac.right_temp'];
  for (const [id, key] of [['blower', 'hvac.blower'], ['volume', 'audio.volume'], ['brightness', 'tft.brightness']]) {
    if (document.activeElement !== $(id)) $(id).value = state[key];
    $(id + '-out').textContent = state[key];
  }
  for (const [id, key] of [['hvac-mode', 'hvac.mode'], ['radio-band', 'radio.band'], ['daynight', 'tft.daynight'],
    ['ill-mode', 'tft.ill_mode'], ['audio-source', 'audio_source']])
    if (document.activeElement !== $(id)) $(id).value = state[key];
  if (document.activeElement !== $('radio-freq')) $('radio-freq').value = state['radio.freq'];
  $('radio-freq-text').textContent = freqText(Number(state['radio.freq']));
  const presets = (state[presetKey()] || '').split(',').filter((s) => s !== '');
  const box = $('radio-presets');
  box.textContent = '';
  presets.forEach((f, i) => {
    const b = document.createElement('button');
    b.className = 'toggle' + (String(i + 1) === state['radio.preset'] ? ' on' : '');
    b.textContent = `P${i + 1} ${freqText(Number(f))}`;
    b.addEventListener('click', () =>
      setKeys([['radio.preset', i + 1], ['radio.freq', f]], 'MCU_MSG_RET_RADIO_NOTIFY'));
    box.appendChild(b);
  });
}

// ---- applications -----------------------------------------------------------

function showClients(list) {
  const body = $('clients');
  body.textContent = '';
  if (!list.length) {
    const tr = body.insertRow();
    const td = tr.insertCell();
    td.colSpan = 3;
    td.className = 'muted';
    td.textContent = 'no application connected';
  }
  for (const c of list) {
    const tr = body.insertRow();
    tr.dataset.client = c.number;
    tr.insertCell().textContent = '#' + c.number + (c.replaying ? ' (replaying)' : '');
    tr.insertCell().textContent = c.version;
    tr.insertCell().textContent = c.queued + ' bytes';
  }
}

// ---- the state table --------------------------------------------------------

function buildState() {
  const body = $('state-rows');
  body.textContent = '';
  for (const info of meta.keys) {
    const tr = body.insertRow();
    tr.dataset.stateKey = info.key;
    tr.insertCell().textContent = info.key;
    const cell = tr.insertCell();
    let input;
    if (info.members.length) {
      input = document.createElement('select');
      for (const m of info.members) {
        const o = document.createElement('option');
        o.value = o.textContent = m;
        input.appendChild(o);
      }
    } else {
      input = document.createElement('input');
    }
    input.className = 'value';
    cell.appendChild(input);
    const help = tr.insertCell();
    help.className = 'help';
    help.textContent = info.help;
    const commit = async () => {
      if (input.value === state[info.key]) return;
      const r = await setKeys([[info.key, input.value]]);
      tr.classList.toggle('refused', !!r.error);
      tr.title = r.error || '';
      if (r.error) input.value = state[info.key];
    };
    if (input.tagName === 'SELECT') input.addEventListener('change', commit);
    else input.addEventListener('keydown', (e) => { if (e.key === 'Enter') commit(); });
  }
  $('state-filter').addEventListener('input', () => {
    const f = $('state-filter').value.toLowerCase();
    body.querySelectorAll('tr').forEach((tr) => { tr.hidden = !tr.dataset.stateKey.includes(f); });
  });
}

function showState(changed) {
  for (const [key, value] of Object.entries(changed)) {
    const tr = document.querySelector(`#state-rows tr[data-state-key="${key}"]`);
    if (!tr) continue;
    const input = tr.querySelector('.value');
    if (input.tagName === 'SELECT' && ![...input.options].some((o) => o.value === value)) {
      const o = document.createElement('option');  // a number outside the enumeration
      o.value = o.textContent = value;
      input.appendChild(o);
    }
    if (document.activeElement !== input) input.value = value;
    tr.classList.remove('refused');
  }
}

// ---- the live log -------------------------------------------------------------

let paused = false;
let held = [];

// "#1 app > MCU_CMD_X(0x21) fields" as the server logs a frame.
function classify(line) {
  const m = /^#(\d+) (app|agent) ([>!]) (\S+)/.exec(line);
  if (!m) return { dir: 'other', id: '' };
  return { dir: m[2], id: m[4], bad: m[3] === '!' || line.includes(' !') };
}

function visible(el) {
  const f = $('id-filter').value.trim().toLowerCase();
  if (!$('show-' + el.dataset.dir).checked) return false;
  return !f || (el.dataset.id && el.dataset.id.toLowerCase().includes(f));
}

function addLog(entries) {
  if (paused) {
    held.push(...entries);
    $('log-count').textContent = `paused, ${held.length} waiting`;
    return;
  }
  const log = $('log');
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  const frag = document.createDocumentFragment();
  for (const e of entries) {
    const c = classify(e.line);
    const div = document.createElement('div');
    div.className = 'entry';
    div.dataset.dir = c.dir;
    div.dataset.id = c.id;
    const t = document.createElement('span');
    t.className = 't';
    t.textContent = e.t.toFixed(3).padStart(9) + ' ';
    const text = document.createElement('span');
    text.className = c.bad ? 'bad' : c.dir;
    text.textContent = e.line;
    div.append(t, text);
    div.hidden = !visible(div);
    frag.appendChild(div);
  }
  log.appendChild(frag);
  while (log.childElementCount > MAX_LOG) log.firstElementChild.remove();
  $('log-count').textContent = log.childElementCount + ' lines';
  if (atEnd) log.scrollTop = log.scrollHeight;
}

function refilter() {
  document.querySelectorAll('#log .entry').forEach((el) => { el.hidden = !visible(el); });
}

function wireLog() {
  ['show-app', 'show-agent', 'show-other'].forEach((id) => $(id).addEventListener('change', refilter));
  $('id-filter').addEventListener('input', refilter);
  $('pause').addEventListener('click', () => {
    paused = !paused;
    $('pause').textContent = paused ? 'resume' : 'pause';
    if (!paused) {
      const h = held;
      held = [];
      addLog(h);
    }
  });
  $('clear').addEventListener('click', () => { $('log').textContent = ''; $('log-count').textContent = ''; });
}

// ---- capture and scenario -----------------------------------------------------

function wireRuns() {
  $('capture-start').addEventListener('click', () => post('/api/capture/start'));
  $('capture-stop').addEventListener('click', () => post('/api/capture/stop'));
  $('scenario-file').addEventListener('change', async () => {
    const f = $('scenario-file').files[0];
    if (f) $('scenario-text').value = await f.text();
  });
  $('scenario-load').addEventListener('click', () => {
    const f = $('scenario-file').files[0];
    post('/api/scenario', [['text', $('scenario-text').value], ['name', f ? f.name : 'typed scenario']]);
  });
}

function showStatus(s) {
  const frames = s.capture.frames === 1 ? '1 frame' : `${s.capture.frames} frames`;
  $('capture-status').textContent = s.capture.recording
    ? `recording: ${frames}`
    : (s.capture.bytes ? `${frames} captured` : 'no capture');
  $('capture-download').hidden = !s.capture.bytes;
  const sc = s.scenario;
  $('scenario-progress').max = Math.max(1, sc.total);
  $('scenario-progress').value = sc.done;
  $('scenario-status').textContent = sc.total
    ? `${sc.name}: ${sc.done} of ${sc.total} lines${sc.started ? (sc.done === sc.total ? ', done' : '') : ', waits for an application'}`
    : 'no scenario';
}

// ---- the event stream -----------------------------------------------------------

function connect() {
  const es = new EventSource('/events');
  es.addEventListener('open', () => { $('link').textContent = 'live'; $('link').className = 'link up'; });
  es.addEventListener('error', () => { $('link').textContent = 'reconnecting…'; $('link').className = 'link down'; });
  es.addEventListener('meta', (e) => {
    const m = JSON.parse(e.data);
    meta.keys = m.keys;
    meta.byKey = Object.fromEntries(m.keys.map((k) => [k.key, k]));
    for (const [id, key] of [['blower', 'hvac.blower'], ['volume', 'audio.volume'], ['brightness', 'tft.brightness']]) {
      const info = meta.byKey[key];  // the range the state checks against
      if (info && info.high !== undefined) { $(id).min = info.low; $(id).max = info.high; }
    }
    $('socket').textContent = 'agent socket ' + m.socket;
    buildKeys(m.hard_keys);
    fillSelect($('hvac-mode'), 'hvac.mode');
    fillSelect($('radio-band'), 'radio.band');
    fillSelect($('daynight'), 'tft.daynight');
    fillSelect($('ill-mode'), 'tft.ill_mode');
    fillSelect($('audio-source'), 'audio_source');
    buildState();
    $('log').textContent = '';  // the backlog follows
  });
  es.addEventListener('state', (e) => {
    const changed = JSON.parse(e.data);
    Object.assign(state, changed);
    showState(changed);
    showCar();
  });
  es.addEventListener('clients', (e) => showClients(JSON.parse(e.data)));
  es.addEventListener('status', (e) => showStatus(JSON.parse(e.data)));
  es.addEventListener('log', (e) => addLog(JSON.parse(e.data)));
}

wireControls();
wireLog();
wireRuns();
connect();
