// catweb's page: search every disk as catfind does, list the disks, open one as a folder tree
// with a picture of where its space went. Every text from a catalogue reaches the document
// through shownText(): as text nodes, never as markup, isolated from the text around it.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const PAGE_ROWS = 50;
  const FOLDER_ROWS = 1000;
  const TYPING_PAUSE_MS = 250;
  // Filters as the API names them, and the fields that hold them.
  const FILTERS = {
    type: 'f-type', size: 'f-size', newer: 'f-newer', older: 'f-older',
    description: 'f-description', catalogue: 'f-catalogue',
  };
  const SWITCHES = {
    ignore_case: 'f-ignore-case', basename: 'f-basename', path_only: 'f-path-only', regex: 'f-regex',
  };

  const disks = { list: [], byPath: new Map(), byId: new Map(), loaded: null };
  let searchRun = 0;
  let searchOffset = 0;
  let searchAbort = null;
  let typingTimer = 0;
  let folderRun = 0;
  let shownFolder = null;

  // ---- Text

  // Bidirectional controls (which could reorder what follows them) and control characters
  // (which have no glyph): shown as their code, marked.
  const BIDI = new Set([0x061c, 0x200e, 0x200f, 0x202a, 0x202b, 0x202c, 0x202d, 0x202e,
    0x2066, 0x2067, 0x2068, 0x2069]);
  const isControl = (code) => code < 0x20 || (code >= 0x7f && code < 0xa0) || BIDI.has(code);

  // `text` as a <bdi> element, isolated from the text around it, each control character a
  // marked "U+XXXX".
  function shownText(text, className) {
    const element = document.createElement('bdi');
    if (className) element.className = className;
    let plain = '';
    for (const character of String(text)) {
      const code = character.codePointAt(0);
      if (!isControl(code)) {
        plain += character;
        continue;
      }
      if (plain) element.append(document.createTextNode(plain));
      plain = '';
      const mark = document.createElement('span');
      mark.className = 'control';
      mark.textContent = 'U+' + code.toString(16).toUpperCase().padStart(4, '0');
      mark.title = BIDI.has(code) ? 'a direction control character' : 'a control character';
      element.append(mark);
    }
    if (plain) element.append(document.createTextNode(plain));
    return element;
  }

  // The same for an attribute (a tooltip): the codes without the marks.
  function plainText(text) {
    return Array.from(String(text), (character) => {
      const code = character.codePointAt(0);
      return isControl(code) ? `U+${code.toString(16).toUpperCase().padStart(4, '0')}` : character;
    }).join('');
  }

  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  function cell(row, className, content) {
    const td = element('td', className);
    if (content instanceof Node) td.append(content);
    else if (content !== undefined) td.textContent = content;
    row.append(td);
    return td;
  }

  function humanSize(bytes) {
    if (bytes === null || bytes === undefined) return '…';
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];
    let value = bytes;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return unit === 0 ? `${value} B` : `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
  }

  function sizeCell(row, bytes) {
    const td = cell(row, 'num', humanSize(bytes));
    if (bytes !== null && bytes !== undefined) td.title = `${bytes.toLocaleString('en')} bytes`;
    return td;
  }

  function shortTime(iso) {
    return iso ? iso.slice(0, 16).replace('T', ' ') : '';
  }

  function attributeLetters(attributes) {
    const bits = [[0x10, 'd'], [0x01, 'r'], [0x02, 'h'], [0x04, 's'], [0x20, 'a'], [0x1000, 'o']];
    return bits.map(([bit, letter]) => ((attributes & bit) !== 0 ? letter : '-')).join('');
  }

  function lastComponent(path) {
    const at = path.lastIndexOf('\\');
    return at < 0 ? path : path.slice(at + 1);
  }

  function parentOf(path) {
    const at = path.lastIndexOf('\\');
    return at < 0 ? '' : path.slice(0, at);
  }

  // ---- Links and views

  function link(params, content, className) {
    const a = element('a', className);
    a.href = '/?' + new URLSearchParams(params).toString();
    a.dataset.internal = '';
    if (content instanceof Node) a.append(content);
    else a.textContent = content;
    return a;
  }

  function diskLink(id, path, content, className) {
    const params = { disk: String(id) };
    if (path) params.path = path;
    return link(params, content, className);
  }

  function stateBadge(catalogue) {
    const badge = element('span', `badge state-${catalogue.state.replace(' ', '-')}`,
      catalogue.state);
    badge.title = plainText(catalogue.status);
    return badge;
  }

  function setStatus(target, text, isError) {
    target.textContent = text;
    target.classList.toggle('error', Boolean(isError));
  }

  function showView(name) {
    for (const view of ['search', 'disks', 'disk']) $(`${view}-view`).hidden = view !== name;
    $('nav-search').toggleAttribute('aria-current', name === 'search');
    $('nav-disks').toggleAttribute('aria-current', name !== 'search');
  }

  function route() {
    const params = new URLSearchParams(location.search);
    if (params.has('disk')) {
      showView('disk');
      openFolder(params.get('disk'), params.get('path') || '', Number(params.get('offset')) || 0);
    } else if (params.get('view') === 'disks') {
      showView('disks');
      document.title = 'Disks - Catalogues';
      listDisks();
    } else {
      showView('search');
      document.title = 'Catalogues';
      fillForm(params);
      search();
    }
  }

  document.addEventListener('click', (event) => {
    const a = event.target.closest('a[data-internal]');
    if (!a || event.button !== 0 || event.ctrlKey || event.metaKey || event.shiftKey ||
      event.altKey) {
      return;
    }
    event.preventDefault();
    history.pushState(null, '', a.href);
    route();
    window.scrollTo(0, 0);
  });
  window.addEventListener('popstate', route);

  async function getJson(path, params, signal) {
    const response = await fetch(`${path}?${params.toString()}`, {
      signal, headers: { Accept: 'application/json' }, credentials: 'omit',
    });
    let body = null;
    try {
      body = await response.json();
    } catch (ignored) {
      body = { error: `the server answered ${response.status}` };
    }
    return { ok: response.ok, status: response.status, body };
  }

  // The disks, once per page load and whenever the disks view is shown.
  function loadDisks(again) {
    if (disks.loaded && !again) return disks.loaded;
    disks.loaded = (async () => {
      const list = [];
      for (let offset = 0; ; offset += 1000) {
        const answer = await getJson('/api/catalogues', new URLSearchParams({ offset, limit: 1000 }));
        if (!answer.ok) throw new Error(answer.body.error);
        list.push(...answer.body.catalogues);
        if (!answer.body.more) break;
      }
      disks.list = list;
      disks.byPath = new Map(list.map((catalogue) => [catalogue.path, catalogue]));
      disks.byId = new Map(list.map((catalogue) => [String(catalogue.id), catalogue]));
      return list;
    })();
    disks.loaded.catch(() => { disks.loaded = null; });
    return disks.loaded;
  }

  // ---- Search

  // The search box's text as patterns: split at blanks, "double quotes" keep blanks.
  function patternsOf(text) {
    const patterns = [];
    let current = '';
    let quoted = false;
    let started = false;
    for (const character of text) {
      if (character === '"') {
        quoted = !quoted;
        started = true;
      } else if (!quoted && /\s/.test(character)) {
        if (started && current) patterns.push(current);
        current = '';
        started = false;
      } else {
        current += character;
        started = true;
      }
    }
    if (current) patterns.push(current);
    return patterns;
  }

  function readForm() {
    const form = { q: $('q').value, filters: {}, offset: 0 };
    for (const [name, id] of Object.entries(FILTERS)) {
      const value = $(id).value.trim();
      if (value) form.filters[name] = value;
    }
    for (const [name, id] of Object.entries(SWITCHES)) {
      if ($(id).checked) form.filters[name] = '1';
    }
    return form;
  }

  function fillForm(params) {
    $('q').value = params.get('q') || '';
    let filtered = false;
    for (const [name, id] of Object.entries(FILTERS)) {
      $(id).value = params.get(name) || '';
      filtered = filtered || Boolean(params.get(name));
    }
    for (const [name, id] of Object.entries(SWITCHES)) {
      $(id).checked = params.get(name) === '1';
      filtered = filtered || params.get(name) === '1';
    }
    if (filtered) $('filters').open = true;
    searchOffset = Number(params.get('offset')) || 0;
  }

  // The page's own URL for the search: a link or a reload shows the same results.
  function searchUrl(form, offset) {
    const params = new URLSearchParams();
    if (form.q) params.set('q', form.q);
    for (const [name, value] of Object.entries(form.filters)) params.set(name, value);
    if (offset) params.set('offset', String(offset));
    const query = params.toString();
    return query ? `/?${query}` : '/';
  }

  function searchSoon() {
    clearTimeout(typingTimer);
    typingTimer = setTimeout(() => {
      searchOffset = 0;
      search();
    }, TYPING_PAUSE_MS);
  }

  async function search() {
    const form = readForm();
    const offset = searchOffset;
    const url = searchUrl(form, offset);
    if (location.pathname + location.search !== url && $('search-view').hidden === false) {
      history.replaceState(null, '', url);
    }
    const patterns = patternsOf(form.q);
    const run = ++searchRun;
    if (searchAbort) searchAbort.abort();
    const results = $('results');
    const status = $('search-status');
    if (patterns.length === 0 && Object.keys(form.filters).every((name) => name in SWITCHES)) {
      results.hidden = true;
      $('results-pager').hidden = true;
      setStatus(status, 'Type a part of a name, or a pattern such as *.jpg, to search every disk.');
      return;
    }
    const params = new URLSearchParams();
    for (const pattern of patterns) params.append('q', pattern);
    for (const [name, value] of Object.entries(form.filters)) params.set(name, value);
    params.set('offset', String(offset));
    params.set('limit', String(PAGE_ROWS));
    searchAbort = new AbortController();
    setStatus(status, 'Searching…');
    let answer;
    try {
      [answer] = await Promise.all([
        getJson('/api/search', params, searchAbort.signal), loadDisks().catch(() => []),
      ]);
    } catch (error) {
      if (run === searchRun && error.name !== 'AbortError') {
        setStatus(status, 'The server cannot be reached.', true);
      }
      return;
    }
    if (run !== searchRun) return;
    if (!answer.ok) {
      results.hidden = true;
      $('results-pager').hidden = true;
      setStatus(status, answer.body.error || `The server answered ${answer.status}.`, true);
      return;
    }
    showResults(answer.body, offset);
  }

  function showResults(body, offset) {
    const tbody = $('results').tBodies[0];
    const rows = body.items.map((item) => {
      const row = element('tr');
      const catalogue = disks.byPath.get(item.catalogue);
      const diskName = shownText(catalogue ? catalogue.name : lastComponent(item.catalogue));
      cell(row, 'disk', catalogue ? diskLink(catalogue.id, '', diskName) : diskName)
        .dataset.label = 'Disk';
      const folder = item.directory ? item.path : parentOf(item.path);
      const path = shownText(item.path, 'path');
      const pathCell = cell(row, 'path', catalogue ? diskLink(catalogue.id, folder, path) : path);
      pathCell.dataset.label = 'Path';
      if (item.directory) pathCell.classList.add('folder');
      if (item.damaged) pathCell.append(' ', element('span', 'badge state-damaged', 'damaged'));
      sizeCell(row, item.size).dataset.label = 'Size';
      cell(row, 'time', shortTime(item.mtime)).dataset.label = 'Written';
      cell(row, 'description', shownText(item.description)).dataset.label = 'Description';
      return row;
    });
    tbody.replaceChildren(...rows);
    $('results').hidden = rows.length === 0;
    const first = offset + 1;
    const last = offset + rows.length;
    let text;
    if (rows.length === 0) {
      text = offset > 0 ? 'No more results.' : 'Nothing found.';
    } else {
      text = `Results ${first} to ${last}${body.more ? '' : ' (all)'}.`;
    }
    if (body.partial) text += ' The search took too long and stopped early: narrow it.';
    setStatus($('search-status'), text, body.partial);
    $('results-pager').hidden = offset === 0 && !body.more;
    $('results-prev').disabled = offset === 0;
    $('results-next').disabled = !body.more;
    $('results-page').textContent = rows.length ? `${first}–${last}` : '';
  }

  $('search-form').addEventListener('submit', (event) => {
    event.preventDefault();
    clearTimeout(typingTimer);
    searchOffset = 0;
    search();
  });
  $('search-form').addEventListener('input', searchSoon);
  $('search-form').addEventListener('change', searchSoon);
  $('results-prev').addEventListener('click', () => {
    searchOffset = Math.max(0, searchOffset - PAGE_ROWS);
    search();
  });
  $('results-next').addEventListener('click', () => {
    searchOffset += PAGE_ROWS;
    search();
  });

  // ---- Disks

  async function listDisks() {
    const status = $('disks-status');
    setStatus(status, 'Loading…');
    let list;
    try {
      list = await loadDisks(true);
    } catch (error) {
      setStatus(status, error.message || 'The server cannot be reached.', true);
      return;
    }
    const rows = list.map((catalogue) => {
      const row = element('tr');
      const name = cell(row, 'disk', diskLink(catalogue.id, '', shownText(catalogue.name)));
      name.dataset.label = 'Disk';
      name.title = plainText(catalogue.path);
      const state = cell(row, 'state', stateBadge(catalogue));
      state.dataset.label = 'State';
      if (catalogue.state !== 'complete') state.append(' ', shownText(catalogue.status, 'why'));
      cell(row, 'num', catalogue.item_count.toLocaleString('en')).dataset.label = 'Items';
      sizeCell(row, catalogue.total_size).dataset.label = 'Total size';
      cell(row, 'time', shortTime(catalogue.listed_at)).dataset.label = 'Indexed';
      cell(row, 'format', shownText(catalogue.format)).dataset.label = 'Format';
      return row;
    });
    $('disks').tBodies[0].replaceChildren(...rows);
    const partial = list.some((catalogue) => catalogue.total_size === null);
    setStatus(status, list.length === 0 ? 'No disk is indexed yet: run catindex.' :
      `${list.length} disk${list.length === 1 ? '' : 's'}.` +
      (partial ? ' Some totals are still being summed: reload to see them.' : ''));
  }

  // ---- A disk's folders

  async function openFolder(id, path, offset) {
    const run = ++folderRun;
    const status = $('disk-status');
    setStatus(status, 'Opening…');
    const params = new URLSearchParams({ catalogue: id, path, offset, limit: FOLDER_ROWS });
    let answer;
    try {
      answer = await getJson('/api/children', params);
    } catch (error) {
      if (run === folderRun) setStatus(status, 'The server cannot be reached.', true);
      return;
    }
    if (run !== folderRun) return;
    if (!answer.ok) {
      setStatus(status, answer.body.error || `The server answered ${answer.status}.`, true);
      $('children').tBodies[0].replaceChildren();
      $('treemap').replaceChildren();
      return;
    }
    shownFolder = { body: answer.body, offset };
    showFolder(answer.body, offset);
  }

  function showFolder(body, offset) {
    const catalogue = body.catalogue;
    document.title = `${plainText(catalogue.name)} - Catalogues`;
    $('disk-heading').replaceChildren(shownText(catalogue.name));
    const state = $('disk-state');
    state.replaceChildren(stateBadge(catalogue), ' ');
    state.className = `state-line state-${catalogue.state.replace(' ', '-')}`;
    if (catalogue.state === 'complete') {
      state.append(`${catalogue.item_count.toLocaleString('en')} items, ` +
        `${humanSize(catalogue.total_size)}, indexed ${shortTime(catalogue.listed_at)} from `,
      shownText(catalogue.path, 'path'));
    } else {
      state.append(shownText(catalogue.status, 'why'),
        ': what was listed is shown. Indexed from ', shownText(catalogue.path, 'path'));
    }

    const crumbs = [];
    const parts = body.path ? body.path.split('\\') : [];
    const here = (content) => {
      const span = element('span');
      span.setAttribute('aria-current', 'page');
      span.append(content);
      return span;
    };
    const root = shownText(catalogue.name);
    crumbs.push(parts.length ? diskLink(catalogue.id, '', root) : here(root));
    parts.forEach((part, index) => {
      const name = shownText(part);
      crumbs.push(index === parts.length - 1 ? here(name) :
        diskLink(catalogue.id, parts.slice(0, index + 1).join('\\'), name));
    });
    $('crumbs').replaceChildren(...crumbs.map((crumb) => {
      const li = element('li');
      li.append(crumb);
      return li;
    }));

    const rows = body.items.map((item) => {
      const row = element('tr');
      const name = shownText(item.name);
      const nameCell = cell(row, item.directory ? 'name folder' : 'name',
        item.directory ? diskLink(catalogue.id, item.path, name) : name);
      nameCell.dataset.label = 'Name';
      if (item.implied) {
        nameCell.append(' ', element('span', 'badge', 'not listed itself'));
      }
      if (item.damaged) nameCell.append(' ', element('span', 'badge state-damaged', 'damaged'));
      sizeCell(row, item.directory ? item.total_size : item.size).dataset.label = 'Size';
      cell(row, 'time', shortTime(item.mtime)).dataset.label = 'Written';
      cell(row, 'attributes', item.implied ? '' : attributeLetters(item.attributes))
        .dataset.label = 'Attributes';
      cell(row, 'description', shownText(item.description)).dataset.label = 'Description';
      return row;
    });
    $('children').tBodies[0].replaceChildren(...rows);
    const shown = `${body.child_count.toLocaleString('en')} item${body.child_count === 1 ? '' : 's'}, ` +
      `${humanSize(body.total_size)} in all.`;
    setStatus($('disk-status'), body.child_count === 0 ? 'This folder is empty.' : shown);
    const pager = $('children-pager');
    pager.hidden = offset === 0 && !body.more;
    $('children-prev').disabled = offset === 0;
    $('children-next').disabled = !body.more;
    $('children-page').textContent = rows.length ?
      `${offset + 1}–${offset + rows.length} of ${body.child_count}` : '';
    drawTreemap(body);
  }

  function pageFolder(step) {
    if (!shownFolder) return;
    const body = shownFolder.body;
    const offset = Math.max(0, shownFolder.offset + step);
    const params = { disk: String(body.catalogue.id) };
    if (body.path) params.path = body.path;
    if (offset) params.offset = String(offset);
    history.pushState(null, '', '/?' + new URLSearchParams(params).toString());
    route();
  }
  $('children-prev').addEventListener('click', () => pageFolder(-FOLDER_ROWS));
  $('children-next').addEventListener('click', () => pageFolder(FOLDER_ROWS));

  // ---- Where the space went: a squarified treemap of the folder's children by size

  const MOST_BLOCKS = 40;

  function worst(row, side) {
    const sum = row.reduce((total, area) => total + area, 0);
    const largest = Math.max(...row);
    const smallest = Math.min(...row);
    return Math.max((side * side * largest) / (sum * sum), (sum * sum) / (side * side * smallest));
  }

  // Rectangles for `areas` (largest first, summing to width * height).
  function squarify(areas, width, height) {
    const rectangles = [];
    let x = 0;
    let y = 0;
    let w = width;
    let h = height;
    for (let i = 0; i < areas.length;) {
      const side = Math.min(w, h);
      const row = [areas[i]];
      let j = i + 1;
      while (j < areas.length && worst([...row, areas[j]], side) <= worst(row, side)) {
        row.push(areas[j]);
        j += 1;
      }
      const sum = row.reduce((total, area) => total + area, 0);
      if (w >= h) {
        const columnWidth = h > 0 ? sum / h : 0;
        let top = y;
        for (const area of row) {
          const blockHeight = columnWidth > 0 ? area / columnWidth : 0;
          rectangles.push({ x, y: top, w: columnWidth, h: blockHeight });
          top += blockHeight;
        }
        x += columnWidth;
        w -= columnWidth;
      } else {
        const rowHeight = w > 0 ? sum / w : 0;
        let left = x;
        for (const area of row) {
          const blockWidth = rowHeight > 0 ? area / rowHeight : 0;
          rectangles.push({ x: left, y, w: blockWidth, h: rowHeight });
          left += blockWidth;
        }
        y += rowHeight;
        h -= rowHeight;
      }
      i = j;
    }
    return rectangles;
  }

  function drawTreemap(body) {
    const map = $('treemap');
    const blocks = body.items
      .map((item) => ({ item, size: item.directory ? item.total_size : item.size }))
      .filter((block) => block.size > 0)
      .sort((a, b) => b.size - a.size);
    const shown = blocks.slice(0, MOST_BLOCKS);
    const shownSize = shown.reduce((total, block) => total + block.size, 0);
    const rest = body.total_size - shownSize;
    if (rest > 0 && body.total_size > 0) shown.push({ item: null, size: rest });
    const total = shown.reduce((sum, block) => sum + block.size, 0);
    map.hidden = total === 0;
    if (total === 0) {
      map.replaceChildren();
      return;
    }
    const width = map.clientWidth || 600;
    const height = map.clientHeight || 240;
    const scale = (width * height) / total;
    const rectangles = squarify(shown.map((block) => block.size * scale), width, height);
    // Children left out of the picture: the smaller ones, and those past this page.
    const others = blocks.length - Math.min(blocks.length, MOST_BLOCKS) +
      (body.child_count - body.items.length);
    const elements = shown.map((block, index) => {
      const r = rectangles[index];
      const label = block.item ? shownText(block.item.name) :
        document.createTextNode(others > 0 ? `${others} more` : 'the rest');
      const content = element('span', 'label');
      content.append(label, element('span', 'size', ` ${humanSize(block.size)}`));
      let made;
      if (block.item && block.item.directory) {
        made = diskLink(body.catalogue.id, block.item.path, content, 'block folder');
      } else {
        made = element('div', block.item ? 'block file' : 'block rest');
        made.append(content);
      }
      made.classList.add(`tone${index % 6}`);
      made.title = `${block.item ? plainText(block.item.name) : 'others'}: ${humanSize(block.size)}`;
      made.style.left = `${(100 * r.x) / width}%`;
      made.style.top = `${(100 * r.y) / height}%`;
      made.style.width = `${(100 * r.w) / width}%`;
      made.style.height = `${(100 * r.h) / height}%`;
      if (r.w < 48 || r.h < 18) made.classList.add('small');
      return made;
    });
    map.replaceChildren(...elements);
  }

  let resizeTimer = 0;
  window.addEventListener('resize', () => {
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(() => {
      if (shownFolder && !$('disk-view').hidden) drawTreemap(shownFolder.body);
    }, 150);
  });

  route();
  if (!$('search-view').hidden) $('q').focus();
})();
