// The live view: the remote screen drawn in #screen from the console's
// binary rectangles, the page's mouse and keyboard sent back as view.input,
// pause while the tab is hidden.
(function () {
  'use strict';

  const qv = window.qv;
  const $ = (id) => document.getElementById(id);
  const canvas = $('screen');
  const ctx = canvas.getContext('2d');
  const status = $('view-status');
  const cursor = $('view-cursor');
  const snapshot = $('snapshot');

  const kMoveEveryMs = 40;     // pointer moves sent at most this often
  const kRectKind = 1;         // the binary message of a rectangle
  const kHeader = 10;

  let address = null;          // the machine viewed (or being started)
  let live = false;            // the first screen has arrived
  let paused = false;
  let draw = Promise.resolve(); // drawing in the order the rectangles came
  let events = [];
  let moveTimer = null;
  let pendingMove = null;
  const held = new Set();      // keys down on the remote machine

  const quiet = () => {};

  function setState(state, text) {
    status.dataset.state = state;
    status.textContent = text || state;
  }

  function setSnapshotLink(a) {
    if (a) {
      snapshot.href = '/api/snapshot?address=' + encodeURIComponent(a);
      snapshot.setAttribute('download', a + '-screen.png');
    } else {
      snapshot.href = '#';
      snapshot.setAttribute('download', '');
    }
  }

  function ended(state, text) {
    address = null;
    live = false;
    paused = false;
    events = [];
    pendingMove = null;
    held.clear();
    pressed.clear();
    setState(state, text);
  }

  // ---- The picture ----

  qv.on('view.screen', (m) => {
    if (m.address !== address) return;
    draw = draw.then(() => {
      canvas.width = m.width;
      canvas.height = m.height;
    });
    setState(live ? (paused ? 'paused' : 'live') : 'starting',
      (live ? (paused ? 'paused' : 'live') : 'starting') + ' — ' + m.width + ' × ' + m.height + ', ' +
      m.bits + ' bits');
  });

  qv.on('binary', (buf) => {
    if (!address || buf.byteLength <= kHeader) return;
    const head = new DataView(buf, 0, kHeader);
    if (head.getUint8(0) !== kRectKind) return;
    const x = head.getUint16(2, true);
    const y = head.getUint16(4, true);
    // Decoding starts at once; drawing waits for the rectangles before.
    const bitmap = createImageBitmap(new Blob([new Uint8Array(buf, kHeader)], { type: 'image/png' }),
      { colorSpaceConversion: 'none', premultiplyAlpha: 'none' });
    draw = draw.then(() => bitmap).then((b) => {
      ctx.drawImage(b, x, y);
      b.close();
    }).catch((e) => console.error('a screen rectangle could not be drawn', e));
  });

  qv.on('view.cursor', (m) => {
    if (m.address === address) cursor.textContent = m.x + ', ' + m.y;
  });

  qv.on('view.stopped', (m) => {
    if (m.address !== address) return;
    qv.message(m.message, m.kind);
    ended('stopped', 'stopped');
  });

  qv.on('close', () => {
    if (address) ended('stopped', 'stopped (connection to the console lost)');
  });

  // ---- Start, stop, pause ----

  function start() {
    const a = qv.selected();
    if (!a) {
      qv.message('Select a machine first.', 'bad_request');
      return;
    }
    const bits = Number($('view-bits').value);
    if (address && address !== a) qv.send('view.stop', { address: address }).catch(quiet);
    ended('starting', 'starting');
    address = a;
    setSnapshotLink(a);
    cursor.textContent = '';
    qv.send('view.start', { address: a, bits: bits }).then(() => {
      if (address !== a) return;
      live = true;
      setState('live', status.textContent.replace(/^starting/, 'live'));
      if (document.visibilityState === 'hidden') setPaused(true);
    }, () => {
      if (address === a) ended('stopped', 'stopped');
    });
  }

  function stop() {
    if (!address) return;
    const a = address;
    flush();
    ended('stopped', 'stopped');
    qv.send('view.stop', { address: a }).catch(quiet);
  }

  function setPaused(p) {
    if (!address || !live || paused === p) return;
    paused = p;
    setState(p ? 'paused' : 'live', status.textContent.replace(/^(live|paused)/, p ? 'paused' : 'live'));
    qv.send(p ? 'view.pause' : 'view.resume', { address: address }).catch(quiet);
  }

  $('view-start').addEventListener('click', start);
  $('view-stop').addEventListener('click', stop);
  document.addEventListener('visibilitychange', () => setPaused(document.visibilityState === 'hidden'));

  // ---- Input ----

  function flush() {
    if (pendingMove) {
      events.push(pendingMove);
      pendingMove = null;
    }
    if (!events.length || !address || !live) {
      events = [];
      return;
    }
    qv.send('view.input', { address: address, events: events }).catch(quiet);
    events = [];
  }

  // A position in the canvas's own (remote screen) pixels. The canvas may be
  // shown larger or smaller, and in full screen letterboxed (object-fit:
  // contain).
  function position(e) {
    const r = canvas.getBoundingClientRect();
    const bw = canvas.clientWidth, bh = canvas.clientHeight;
    if (!canvas.width || !canvas.height || !bw || !bh) return null;
    const scale = Math.min(bw / canvas.width, bh / canvas.height);
    const ox = (bw - canvas.width * scale) / 2, oy = (bh - canvas.height * scale) / 2;
    const px = (e.clientX - r.left - canvas.clientLeft - ox) / scale;
    const py = (e.clientY - r.top - canvas.clientTop - oy) / scale;
    return {
      x: Math.max(0, Math.min(canvas.width - 1, Math.floor(px))),
      y: Math.max(0, Math.min(canvas.height - 1, Math.floor(py))),
    };
  }

  canvas.addEventListener('mousemove', (e) => {
    if (!live) return;
    const p = position(e);
    if (!p) return;
    pendingMove = { t: 'move', x: p.x, y: p.y };
    if (!moveTimer) {
      moveTimer = setTimeout(() => {
        moveTimer = null;
        flush();
      }, kMoveEveryMs);
    }
  });

  const pressed = new Set();  // buttons pressed in the canvas, released anywhere
  function button(e, t) {
    if (!live || (e.button !== 0 && e.button !== 2)) return;
    if (t === 'up' && !pressed.has(e.button)) return;
    const p = position(e);
    if (!p) return;
    e.preventDefault();
    if (t === 'down') {
      canvas.focus();
      pressed.add(e.button);
    } else {
      pressed.delete(e.button);
    }
    pendingMove = null;
    events.push({ t: t, button: e.button, x: p.x, y: p.y });
    flush();
  }
  canvas.addEventListener('mousedown', (e) => button(e, 'down'));
  window.addEventListener('mouseup', (e) => button(e, 'up'));
  canvas.addEventListener('contextmenu', (e) => e.preventDefault());

  // Every key goes to the remote machine while the canvas has the focus,
  // also those the browser would keep (Tab, Backspace, F1-F12, Ctrl+letters)
  // as far as it lets the page have them.
  function key(e, down) {
    if (!live) return;
    e.preventDefault();
    e.stopPropagation();
    if (!e.code) return;
    if (down) held.add(e.code);
    else held.delete(e.code);
    events.push({ t: 'key', code: e.code, key: e.key, down: down });
    flush();
  }
  canvas.addEventListener('keydown', (e) => key(e, true));
  canvas.addEventListener('keyup', (e) => key(e, false));
  // Keys still down when the canvas loses the focus would stay down there.
  canvas.addEventListener('blur', () => {
    if (!live || !held.size) return;
    for (const code of held) events.push({ t: 'key', code: code, key: '', down: false });
    held.clear();
    flush();
  });

  // Ctrl+Alt+Del never reaches a page: a button sends it.
  $('view-cad').addEventListener('click', () => {
    if (!live) return;
    events.push({ t: 'sas' });
    flush();
    canvas.focus();
  });

  // ---- Full screen, with the keyboard locked to the page where possible ----

  const full = $('view-fullscreen');
  if (full) {
    full.addEventListener('click', () => {
      if (canvas.requestFullscreen) canvas.requestFullscreen().then(() => canvas.focus()).catch(quiet);
    });
  }
  document.addEventListener('fullscreenchange', () => {
    const kb = navigator.keyboard;
    if (!kb || !kb.lock) return;
    if (document.fullscreenElement === canvas) kb.lock().catch(quiet);
    else kb.unlock();
  });

  qv.on('select', (a) => {
    if (!address) setSnapshotLink(a);
  });
  setState('idle', 'idle');
})();
