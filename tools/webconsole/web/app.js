// The page's core: the WebSocket to the console, requests and their answers,
// the machine list, messages, consent, run and reboot. view.js and files.js
// use window.qv:
//   qv.send(op, fields) -> Promise: resolves on "done", rejects on "error"
//                          (the error is shown in the messages already)
//   qv.on(ev, fn)       -> fn(message) for every event EV from the console;
//                          "binary" gets the ArrayBuffer of a binary message,
//                          "select" the newly selected address (or null),
//                          "open" / "close" the WebSocket's state
//   qv.selected()       -> the selected machine's address, or null
//   qv.page()           -> this page's id (the "page" of the hello event)
//   qv.message(text, kind) -> shows a message (kind: an error's kind, or
//                          omitted for information)
(function () {
  'use strict';

  const handlers = new Map();
  const pending = new Map();
  const waiting = [];
  let ws = null;
  let nextReq = 1;
  let pageId = null;
  let selected = null;
  let retryMs = 1000;
  const kMaxMessages = 100;

  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.search).get('token');

  function emit(ev, arg) {
    for (const fn of handlers.get(ev) || []) {
      try {
        fn(arg);
      } catch (e) {
        console.error(e);
      }
    }
  }

  function on(ev, fn) {
    if (!handlers.has(ev)) handlers.set(ev, []);
    handlers.get(ev).push(fn);
  }

  function message(text, kind) {
    const div = document.createElement('div');
    div.className = 'message ' + (kind ? 'error' : 'info');
    if (kind) div.dataset.kind = kind;
    const time = document.createElement('time');
    time.textContent = new Date().toLocaleTimeString();
    div.append(time, ' ', text);
    const box = $('messages');
    box.prepend(div);
    while (box.children.length > kMaxMessages) box.lastChild.remove();
  }

  function setConnection(state, text) {
    const c = $('connection');
    c.dataset.state = state;
    c.textContent = text;
  }

  function connect() {
    const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws' +
      (token ? '?token=' + encodeURIComponent(token) : '');
    ws = new WebSocket(url);
    ws.binaryType = 'arraybuffer';
    ws.onopen = () => {
      retryMs = 1000;
      setConnection('open', 'Connected');
      while (waiting.length) ws.send(waiting.shift());
      emit('open');
    };
    ws.onmessage = (e) => {
      if (typeof e.data !== 'string') {
        emit('binary', e.data);
        return;
      }
      let m;
      try {
        m = JSON.parse(e.data);
      } catch (err) {
        return;
      }
      if (m.ev === 'hello') pageId = m.page;
      if ((m.ev === 'done' || m.ev === 'error') && pending.has(m.req)) {
        const p = pending.get(m.req);
        pending.delete(m.req);
        if (m.ev === 'done') {
          p.resolve(m);
        } else {
          message(m.message, m.kind);
          const err = new Error(m.message);
          err.kind = m.kind;
          p.reject(err);
        }
      } else if (m.ev === 'error') {
        message(m.message, m.kind);
      }
      emit(m.ev, m);
    };
    ws.onclose = () => {
      const was = pageId !== null;
      pageId = null;
      setConnection('closed', 'Not connected; trying again…');
      for (const [, p] of pending) {
        const err = new Error('The connection to the console was lost.');
        err.kind = 'failed';
        p.reject(err);
      }
      pending.clear();
      if (was) message('The connection to the console was lost; the page connects again.', 'failed');
      emit('close');
      setTimeout(connect, retryMs);
      retryMs = Math.min(retryMs * 2, 15000);
    };
  }

  function send(op, fields) {
    const req = nextReq++;
    const text = JSON.stringify(Object.assign({}, fields || {}, { op: op, req: req }));
    const promise = new Promise((resolve, reject) => pending.set(req, { resolve, reject }));
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(text);
    else waiting.push(text);
    return promise;
  }

  // A request's failure is already shown in the messages.
  const quiet = () => {};

  // ---- Machines ----

  const columns = ['address', 'label', 'os', 'transport', 'session', 'viewer', 'permissions', 'state', 'note'];

  function cellText(m, col) {
    switch (col) {
      case 'os': return m.os_version ? 'Windows ' + m.os_version + (m.product ? ' — ' + m.product : '') : '';
      case 'permissions':
        return m.permissions === null || m.permissions === undefined ? '' :
          m.permissions.length ? m.permissions.join(', ') : 'none';
      case 'note': return m.error || '';
      default: return m[col] === undefined || m[col] === null ? '' : String(m[col]);
    }
  }

  function machineRow(m) {
    const tr = document.createElement('tr');
    tr.dataset.address = m.address;
    tr.dataset.state = m.state;
    for (const col of columns) {
      const td = document.createElement('td');
      td.className = col;
      td.textContent = cellText(m, col);
      if (col === 'permissions' && m.signals && m.signals.length) td.title = 'Signals: ' + m.signals.join(', ');
      tr.append(td);
    }
    const actions = document.createElement('td');
    actions.className = 'actions';
    const refresh = document.createElement('button');
    refresh.type = 'button';
    refresh.className = 'refresh';
    refresh.textContent = 'Refresh';
    refresh.addEventListener('click', (e) => {
      e.stopPropagation();
      tr.classList.add('busy');
      send('machines.refresh', { address: m.address }).catch(quiet).finally(() => tr.classList.remove('busy'));
    });
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'remove';
    remove.textContent = 'Remove';
    remove.addEventListener('click', (e) => {
      e.stopPropagation();
      send('machines.remove', { address: m.address }).catch(quiet);
    });
    actions.append(refresh, ' ', remove);
    tr.append(actions);
    if (m.address === selected) tr.classList.add('selected');
    tr.addEventListener('click', () => select(m.address));
    return tr;
  }

  function rowOf(address) {
    for (const tr of $('machines').tBodies[0].rows) if (tr.dataset.address === address) return tr;
    return null;
  }

  function select(address) {
    if (address === selected) return;
    selected = address;
    for (const tr of $('machines').tBodies[0].rows) tr.classList.toggle('selected', tr.dataset.address === address);
    $('selected-address').textContent = address || 'none';
    const status = $('consent-status');
    status.dataset.state = 'idle';
    status.textContent = '';
    hideRebootConfirm();
    emit('select', address);
  }

  on('machines', (m) => {
    const body = $('machines').tBodies[0];
    body.replaceChildren(...m.machines.map(machineRow));
    if (selected !== null && !m.machines.some((x) => x.address === selected)) select(null);
  });

  on('machine', (m) => {
    const old = rowOf(m.machine.address);
    const row = machineRow(m.machine);
    if (old) old.replaceWith(row);
    else $('machines').tBodies[0].append(row);
    // A failed refresh ends with an error (shown already); a note on a machine that answered
    // (another console holds it) is shown here.
    if (m.machine.state === 'ok' && m.machine.error) message(m.machine.error, m.machine.error_kind || 'failed');
  });

  on('session', (m) => {
    if (m.state === 'lost') message(m.message, 'expired');
  });

  on('open', () => send('machines.list').catch(quiet));

  $('machine-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const address = $('machine-address').value.trim();
    const label = $('machine-label').value.trim();
    if (!address) return;
    send('machines.add', label ? { address, label } : { address }).then(() => {
      $('machine-address').value = '';
      $('machine-label').value = '';
      select(address);
    }, quiet);
  });

  // ---- Consent, run, reboot ----

  function needSelected() {
    if (selected) return selected;
    message('Select a machine in the list first.', 'bad_request');
    return null;
  }

  function setConsent(state, text) {
    const s = $('consent-status');
    s.dataset.state = state;
    s.textContent = text;
  }

  on('consent', (m) => {
    if (m.address !== selected) return;
    if (m.state === 'asking') setConsent('asking', 'Asking…');
    else if (m.state === 'allowed') setConsent('yes', 'Yes');
    else if (m.state === 'refused') setConsent('no', 'No');
  });

  $('consent-ask').addEventListener('click', () => {
    const address = needSelected();
    if (!address) return;
    const requester = $('consent-requester').value.trim();
    const operation = $('consent-operation').value.trim();
    if (!requester || !operation) {
      message('Give the requester and the operation to ask about.', 'bad_request');
      return;
    }
    setConsent('asking', 'Asking…');
    send('agent.ask', { address, requester, operation }).then(() => {
      if (address === selected) {
        const s = $('consent-status').dataset.state;
        message('The user of ' + address + ' answered: ' + (s === 'yes' ? 'Yes' : 'No') + '.');
      }
    }, () => {
      if (address === selected) setConsent('failed', 'Failed');
    });
  });

  $('exec-run').addEventListener('click', () => {
    const address = needSelected();
    if (!address) return;
    const program = $('exec-program').value.trim();
    const args = $('exec-args').value.trim();
    if (!program) {
      message('Give the program to run.', 'bad_request');
      return;
    }
    send('agent.exec', args ? { address, program, args } : { address, program })
      .then(() => message('Started ' + program + ' on ' + address + '.'), quiet);
  });

  function hideRebootConfirm() {
    $('reboot-confirm').hidden = true;
  }

  $('reboot').addEventListener('click', () => {
    const address = needSelected();
    if (!address) return;
    $('reboot-address').textContent = address;
    $('reboot-confirm').hidden = false;
  });
  $('reboot-no').addEventListener('click', hideRebootConfirm);
  $('reboot-yes').addEventListener('click', () => {
    const address = $('reboot-address').textContent;
    hideRebootConfirm();
    send('agent.reboot', { address }).then(() => message('The machine at ' + address + ' is rebooting.'), quiet);
  });

  window.qv = {
    send,
    on,
    selected: () => selected,
    page: () => pageId,
    message,
  };

  setConnection('connecting', 'Connecting…');
  connect();
})();
