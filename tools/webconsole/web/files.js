// File transfer: start the slave on the selected machine, browse its drives
// and folders, download files (saved by the browser) and upload one.
(function () {
  'use strict';

  const $ = (id) => document.getElementById(id);
  const list = $('files-list');
  const rows = list.tBodies[0] || list.appendChild(document.createElement('tbody'));
  const progress = $('files-progress');
  const status = $('files-status');
  const upload = $('files-upload');

  let address = null;  // the machine whose slave this page uses
  let dir = '';        // the folder shown, ending in a backslash

  function setStatus(state, text) {
    status.dataset.state = state;
    status.textContent = text;
  }

  function setProgress(done, total) {
    progress.max = total > 0 ? total : 1;
    progress.value = total > 0 ? Math.min(done, total) : 0;
  }

  function clear() {
    setProgress(0, 0);
    address = null;
    dir = '';
    $('files-drives').replaceChildren();
    $('files-dir').textContent = '';
    rows.replaceChildren();
  }

  // The failure is in the messages already; the status repeats it.
  const failed = (err) => setStatus('failed', err.message);

  function button(text, cls, onClick) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = text;
    if (cls) b.className = cls;
    b.addEventListener('click', (e) => {
      e.stopPropagation();
      onClick();
    });
    return b;
  }

  // "C:\A\B\" -> "C:\A\"; null for a drive's root.
  function parentOf(d) {
    const t = d.endsWith('\\') ? d.slice(0, -1) : d;
    const i = t.lastIndexOf('\\');
    return i < 0 ? null : t.slice(0, i + 1);
  }

  function row(name, isDir, onOpen) {
    const tr = document.createElement('tr');
    tr.dataset.name = name;
    tr.className = isDir ? 'dir' : 'file';
    const cell = document.createElement('td');
    cell.className = 'name';
    cell.textContent = isDir && name !== '..' ? name + '\\' : name;
    const act = document.createElement('td');
    act.className = 'actions';
    if (isDir) tr.addEventListener('click', onOpen);
    else act.append(button('Download', 'download', onOpen));
    tr.append(cell, act);
    return tr;
  }

  function show(listing) {
    dir = listing.dir;
    $('files-dir').textContent = dir;
    const out = [];
    const up = parentOf(dir);
    if (up !== null) out.push(row('..', true, () => open(up)));
    for (const e of listing.entries) {
      out.push(e.dir ? row(e.name, true, () => open(dir + e.name + '\\'))
        : row(e.name, false, () => download(e.name)));
    }
    rows.replaceChildren(...out);
  }

  function open(folder) {
    const at = address;
    if (!at) return;
    setStatus('busy', 'Listing ' + folder + '…');
    qv.send('files.list', { address: at, dir: folder })
      .then(() => setStatus('done', 'Listed ' + dir), failed);
  }

  function drives(list) {
    $('files-drives').replaceChildren(...list.map((d) => button(d, 'drive', () => open(d + '\\'))));
  }

  qv.on('files.drives', (m) => { if (m.address === address) drives(m.drives); });
  qv.on('files.listing', (m) => { if (m.address === address) show(m); });
  qv.on('files.progress', (m) => { if (m.address === address) setProgress(m.done, m.total); });
  qv.on('files.stopped', (m) => {
    if (m.address !== address) return;
    clear();
    setStatus('failed', m.message);
  });
  qv.on('files.got', (m) => {
    if (m.address === address) save(m);
  });

  // The browser saves the file the console holds for this page.
  function save(got) {
    fetch(got.url, { credentials: 'same-origin' }).then((r) => {
      if (!r.ok) throw new Error('The console no longer holds ' + got.name + '.');
      return r.blob();
    }).then((blob) => {
      const url = URL.createObjectURL(blob);
      const a = document.createElement('a');
      a.href = url;
      a.download = got.name;
      a.hidden = true;
      document.body.append(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
      setStatus('done', 'Downloaded ' + got.name + ' (' + got.size + ' bytes).');
    }).catch((err) => {
      qv.message(err.message, 'failed');
      setStatus('failed', err.message);
    });
  }

  function download(name) {
    const at = address;
    if (!at) return;
    setProgress(0, 0);
    setStatus('busy', 'Downloading ' + name + '…');
    qv.send('files.get', { address: at, path: dir + name }).catch(failed);
  }

  $('files-start').addEventListener('click', () => {
    const at = qv.selected();
    if (!at) {
      qv.message('Select a machine in the list first.', 'bad_request');
      return;
    }
    clear();
    setStatus('busy', 'Starting file transfer on ' + at + '…');
    qv.send('files.start', { address: at }).then(() => {
      address = at;
      setStatus('busy', 'Reading the drives of ' + at + '…');
      return qv.send('files.drives', { address: at });
    }).then(() => {
      setStatus('done', 'File transfer with ' + at + ' is ready.');
      return qv.send('files.list', { address: at });
    }).catch(failed);
  });

  $('files-stop').addEventListener('click', () => {
    const at = address;
    if (!at) return;
    clear();
    qv.send('files.stop', { address: at }).then(() => setStatus('idle', 'File transfer stopped.'), failed);
  });

  upload.addEventListener('change', () => {
    const file = upload.files[0];
    const at = address;
    if (!file) return;
    if (!at || !dir) {
      qv.message('Start file transfer and open a folder first.', 'bad_request');
      upload.value = '';
      return;
    }
    const target = dir + file.name;
    const query = new URLSearchParams({
      address: at, path: target, page: String(qv.page()), modified: String(file.lastModified),
    });
    setProgress(0, file.size);
    setStatus('busy', 'Uploading ' + file.name + '…');
    fetch('/api/upload?' + query, { method: 'POST', body: file, credentials: 'same-origin' })
      .then((r) => r.json().catch(() => ({ ok: false, kind: 'failed', message: 'The console answered ' + r.status + '.' })))
      .then((res) => {
        if (!res.ok) throw Object.assign(new Error(res.message), { kind: res.kind });
        setStatus('done', 'Uploaded ' + target + ' (' + file.size + ' bytes).');
        // The folder again, with the new file, leaving the status as it is.
        if (address === at) qv.send('files.list', { address: at, dir: dir }).catch(() => {});
      })
      .catch((err) => {
        qv.message(err.message, err.kind || 'failed');
        setStatus('failed', err.message);
      })
      .finally(() => { upload.value = ''; });
  });

  // Another machine selected: its files are shown once started for it (the
  // console keeps the other slave, which a new start finds again).
  qv.on('select', (selected) => {
    if (address === null || selected === address) return;
    clear();
    setStatus('idle', '');
  });

  qv.on('close', () => {
    // A new connection is a new page to the console: its downloads went.
    setProgress(0, 0);
  });

  setStatus('idle', '');
})();
