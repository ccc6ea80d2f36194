// The vask viewer page: trace list, call tree, details, flame chart and search.
// Everything comes from the server's small JSON requests; the page never holds
// a whole trace. Plain script, no build step, nothing from the network.
"use strict";

const ROW = 22;           // height of a tree row, px (matches --row)
const PAGE = 200;         // children fetched per request
const BAR = 18;           // height of a flame chart level, px

const $ = (id) => document.getElementById(id);
const S = {
  traces: [],
  traceId: null,
  summary: null,
  rows: [],
  selected: null,          // {trace, thread, node}
  flame: { thread: null, from: 0, to: 1, data: null, seq: 0, timer: 0, hover: null },
  search: { q: "", mode: "name", hit: null, cursor: 0, seq: 0 },
  loadingGaps: new Set(),
  opening: 0,              // counts openTrace calls: an earlier one's answers are dropped
  diff: null,              // the diff view: {a, b, rows, changes, at}
  pickA: null,             // "Compare…": the trace picked as A
  byTask: false,           // the tree regrouped by asyncio task (tasks.js)
  taskFocus: null,         // the task root last opened by a link: {trace, thread, task}
};

// -- helpers ------------------------------------------------------------------

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}

function fmtDuration(s) {
  if (s === null || s === undefined || !isFinite(s)) return "";
  if (s < 0) s = 0;
  const three = (v) => v.toPrecision(3).replace(/(\.\d*?)0+$/, "$1").replace(/\.$/, "");
  if (s < 0.9995e-6) return `${Math.round(s * 1e9)} ns`;
  if (s < 0.9995e-3) return `${three(s * 1e6)} µs`;
  if (s < 0.9995) return `${three(s * 1e3)} ms`;
  if (s < 59.95) return `${three(s)} s`;
  const whole = Math.round(s), m = Math.floor(whole / 60);
  return `${m}m${String(whole - m * 60).padStart(2, "0")}s`;
}

function fmtBytes(n) {
  const units = ["B", "KiB", "MiB", "GiB"];
  let v = n, u = 0;
  while (v >= 1024 && u < units.length - 1) { v /= 1024; u++; }
  return u ? `${v.toFixed(1)} ${units[u]}` : `${v} B`;
}

function fmtCount(n) { return Number(n || 0).toLocaleString("en-US"); }

function plural(n, word) { return `${fmtCount(n)} ${word}${n === 1 ? "" : "s"}`; }

class HttpError extends Error {}

async function api(path, init = {}) {
  const res = await fetch(path, { ...init, headers: { Accept: "application/json", ...init.headers } });
  let body = null;
  try { body = await res.json(); } catch (e) { body = null; }
  if (!res.ok) throw new HttpError((body && body.error) || `${res.status} ${res.statusText}`);
  return { status: res.status, body };
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Fetches a trace request, waiting (with the progress overlay) while the trace is indexed.
// `dropped()`, when given, says the answer is no longer wanted: the wait ends with null.
async function traceApi(traceId, what, params, dropped) {
  const q = params ? "?" + new URLSearchParams(params).toString() : "";
  const path = `/api/trace/${encodeURIComponent(traceId)}${what ? "/" + what : ""}${q}`;
  for (;;) {
    const { status, body } = await api(path);
    if (dropped && dropped()) return null;
    if (status !== 202) { hideOverlay(); return body; }
    showOverlay(`Indexing trace ${traceId}…`, body.total ? body.done / body.total : 0,
      body.total ? `${fmtBytes(body.done)} of ${fmtBytes(body.total)} · ${body.seconds} s` : "");
    await sleep(300);
  }
}

function showOverlay(text, fraction, extra) {
  $("overlay").hidden = false;
  $("overlay-text").textContent = extra ? `${text} ${extra}` : text;
  $("overlay-bar").style.width = `${Math.round(Math.max(0, Math.min(1, fraction)) * 100)}%`;
}
function hideOverlay() { $("overlay").hidden = true; }

function report(error) {
  const msg = error && error.message ? error.message : String(error);
  $("search-status").textContent = msg;
  $("search-status").title = msg;
}

// -- the trace list -----------------------------------------------------------

async function loadTraces() {
  try {
    const { body } = await api("/api/traces");
    S.traces = body.traces;
  } catch (e) { report(e); S.traces = []; }
  renderTraces();
}

function traceKind(t) {
  if (t.source === "pytest") return "test";
  if (t.source === "django") return "request";
  return t.source || "";
}

function renderTraces() {
  const list = $("trace-list");
  const filter = $("trace-filter").value.trim().toLowerCase();
  list.replaceChildren();
  let hidden = 0;
  for (const t of S.traces) {
    const hay = `${t.name || ""} ${t.id} ${traceKind(t)} ${t.time}`.toLowerCase();
    if (filter && !hay.includes(filter)) continue;
    // flushed subtrees open in place under their markers, trace points from their call's
    // details; listed only when filtered for
    if (t.subtree_of && !filter && t.id !== S.traceId) { hidden++; continue; }
    const li = el("li");
    li.dataset.id = t.id;
    if (t.id === S.traceId) li.className = "current";
    // a process the traced program started, under its parent's trace
    if (t.depth && !filter) li.style.marginLeft = `${Math.min(t.depth, 6)}em`;
    li.append(el("div", "t-name", t.name || t.id));
    const facts = el("div", "t-facts", `${t.time} · ${plural(t.calls, "call")} · ${t.size_text}`);
    li.append(facts);
    const chips = el("div");
    const kind = traceKind(t);
    if (kind) chips.append(el("span", `chip ${kind}`, kind));
    if (t.subtree_of) chips.append(el("span", "chip", t.trace_point ? "trace point" : "flushed subtree"));
    if (t.parent_pid != null) chips.append(el("span", "chip", `pid ${t.pid} (parent ${t.parent_pid})`));
    if (t.subtrees) chips.append(el("span", "chip", plural(t.subtrees, "subtree")));
    if (t.trace_points) chips.append(el("span", "chip", plural(t.trace_points, "trace point")));
    if (t.documents > 1) chips.append(el("span", "chip", `${t.documents} documents`));
    if (t.damaged.length) chips.append(el("span", "chip bad", "damaged"));
    if (chips.childElementCount) li.append(chips);
    li.title = t.damaged.length ? t.damaged.map((d) => `document ${d.document}: ${d.reason}`).join("\n") : t.id;
    if (t.id === S.pickA) li.classList.add("pick-a");
    li.addEventListener("click", () => pickOrOpen(t.id));
    list.append(li);
  }
  if (hidden) list.append(el("li", "muted", `${plural(hidden, "flushed subtree")} not listed: type in the filter to list them`));
  if (!list.childElementCount) list.append(el("li", "muted", S.traces.length ? "no trace matches" : "no traces stored yet"));
}

// -- opening a trace ----------------------------------------------------------

async function openTrace(traceId, focus) {
  const opening = ++S.opening;
  leaveDiff();
  S.traceId = traceId;
  S.selected = null;
  S.search.hit = null;
  $("search-next").disabled = true;
  $("search-status").textContent = "";
  renderTraces();
  setHash();
  $("details").replaceChildren(el("div", "empty", "Select a call to see its arguments, locals and return value."));
  let summary;
  try {
    summary = await traceApi(traceId, "", null, () => opening !== S.opening);
  } catch (e) {
    if (opening !== S.opening) return;
    hideOverlay();
    S.summary = null;
    S.rows = [{ type: "note", depth: 0, text: `This trace cannot be shown: ${e.message}` }];
    $("trace-title").replaceChildren(el("b", "", traceId), el("span", "chip bad", "cannot be read"));
    drawTree();
    return;
  }
  if (opening !== S.opening) return;
  S.summary = summary;
  renderTitle();
  const threads = shownThreads(summary);
  if (S.byTask && typeof tasksTraceOpened === "function") {
    await tasksTraceOpened(traceId, threads);
  } else {
    await showByThread(traceId, summary);
  }
  if (opening !== S.opening) return;
  setupFlame(threads);
  if (focus) await selectNode(traceId, focus.thread, focus.node, true);
}

function shownThreads(summary) {
  return summary.threads.filter((t) => t.calls > 0 || t.top > 0);
}

// The tree by thread (the default): a root per thread, the first one open.
async function showByThread(traceId, summary) {
  S.rows = [];
  const threads = shownThreads(summary);
  for (const t of threads) {
    S.rows.push({ type: "thread", trace: traceId, thread: t.key, depth: 0, node: 0, info: t, expanded: false });
  }
  if (!threads.length) S.rows.push({ type: "note", depth: 0, text: "This trace recorded no calls." });
  if (summary.damaged.length) {
    S.rows.unshift({ type: "note", depth: 0, text: summary.damaged.map((d) => `document ${d.document} is damaged (${d.reason}); showing the rest`).join(" · ") });
  }
  drawTree();
  const first = S.rows.findIndex((r) => r.type === "thread");
  if (first >= 0) await expand(first);
}

function renderTitle() {
  const s = S.summary;
  const title = $("trace-title");
  title.replaceChildren();
  title.append(el("b", "", s.name || s.trace_id));
  const facts = [plural(s.calls, "call"), fmtBytes(s.size), plural(s.threads.length, "thread")];
  if (s.duration !== null) facts.push(fmtDuration(s.duration));
  if (s.python) facts.push(`Python ${s.python}`);
  title.append(el("span", "muted", facts.join(" · ")));
  title.title = `${s.trace_id}${s.command.length ? "\n" + s.command.join(" ") : ""}`;
}

function setHash() {
  if (S.diff) return;
  const p = new URLSearchParams();
  if (S.traceId) p.set("trace", S.traceId);
  if (S.byTask) p.set("by", "task");
  if (S.selected && S.selected.trace === S.traceId) {
    p.set("thread", S.selected.thread);
    p.set("node", S.selected.node);
  }
  history.replaceState(null, "", "#" + p.toString());
}

// -- the tree -----------------------------------------------------------------

function childRows(parent, items, depth) {
  return items.map((data) => (data.kind === "suspended"
    ? { type: "note", depth, text: `⏸ ${data.text}`, suspended: true }
    : { type: "node", trace: parent.trace, thread: parent.thread, node: data.node, depth, data, expanded: false }));
}

// group: "" (the thread's tree), "resumes", "task" (a level of the tree by task, without
// other tasks' steps) or "taskroot" (a task's root: `node` is the task's id).
async function fetchChildren(trace, thread, node, offset, limit, group) {
  if (group === "taskroot") return traceApi(trace, "tasks", { thread, task: node, offset, limit });
  if (group === "tasklist") return fetchTaskList(trace, thread, offset, limit);
  const params = { thread, node, offset, limit };
  if (group) params.group = group;
  return traceApi(trace, "children", params);
}

function subtreeEnd(i) {
  const depth = S.rows[i].depth;
  let j = i + 1;
  while (j < S.rows.length && S.rows[j].depth > depth) j++;
  return j;
}

async function expand(i) {
  const r = S.rows[i];
  if (!r || r.expanded || r.busy) return;
  r.busy = true;
  drawTree();
  try {
    let added = [];
    if (r.type === "node" && r.data.kind === "flushed") {
      added = await flushedRows(r);
    } else if (r.type === "thread" || r.type === "node" || r.type === "group" || r.type === "task") {
      const group = r.type === "group" ? "resumes" : r.type === "task" ? "taskroot" : r.byTask ? "task" : "";
      const page = await fetchChildren(r.trace, r.thread, r.node, 0, PAGE, group);
      added = childRows(r, page.items, r.depth + 1);
      if (r.byTask) for (const c of added) c.byTask = true;
      if (page.total > page.items.length) {
        added.push({ type: "gap", trace: r.trace, thread: r.thread, node: r.node, group, byTask: r.byTask, depth: r.depth + 1, from: page.items.length, to: page.total, dir: "down" });
      }
      if (r.type === "node" && r.data.resumes) {
        added.push({ type: "group", trace: r.trace, thread: r.thread, node: r.node, depth: r.depth + 1, count: r.data.resumes, expanded: false });
      }
    }
    if (!added.length) added.push({ type: "note", depth: r.depth + 1, text: "no calls recorded under this one" });
    const at = S.rows.indexOf(r);
    if (at < 0) return;
    S.rows.splice(at + 1, 0, ...added);
    r.expanded = true;
  } catch (e) {
    report(e);
  } finally {
    r.busy = false;
  }
  drawTree();
}

// The calls of a flushed subtree, read from the trace the marker names, in place.
async function flushedRows(r) {
  const target = r.data.flushed_trace;
  if (!target) return [{ type: "note", depth: r.depth + 1, text: "the marker names no trace" }];
  let sub;
  try {
    sub = await traceApi(target, "", null);
  } catch (e) {
    return [{ type: "note", depth: r.depth + 1, text: `trace ${target} cannot be read: ${e.message}` }];
  }
  let thread = sub.threads.find((t) => t.key === r.thread);
  if (!thread && sub.threads.length === 1) thread = sub.threads[0];
  if (!thread) return [{ type: "note", depth: r.depth + 1, text: `trace ${target} has no thread ${r.thread}` }];
  const parent = { trace: target, thread: thread.key };
  const page = await fetchChildren(target, thread.key, 0, 0, PAGE, "");
  const rows = childRows(parent, page.items, r.depth + 1);
  if (page.total > page.items.length) {
    rows.push({ type: "gap", trace: target, thread: thread.key, node: 0, group: "", depth: r.depth + 1, from: page.items.length, to: page.total, dir: "down" });
  }
  return rows;
}

function collapse(i) {
  const r = S.rows[i];
  if (!r || !r.expanded) return;
  S.rows.splice(i + 1, subtreeEnd(i) - i - 1);
  r.expanded = false;
  drawTree();
}

function expandable(r) {
  if (r.type === "thread" || r.type === "group" || r.type === "task") return true;
  if (r.type !== "node") return false;
  return r.data.children || r.data.resumes > 0 || r.data.kind === "flushed";
}

// Loads the part of a gap row next to what is already shown (or around `index`).
async function loadGap(r, index) {
  if (S.loadingGaps.has(r)) return;
  S.loadingGaps.add(r);
  try {
    let offset;
    if (index !== undefined) offset = Math.max(r.from, Math.min(index - PAGE / 2, r.to - PAGE));
    else offset = r.dir === "up" ? Math.max(r.from, r.to - PAGE) : r.from;
    const limit = Math.min(PAGE, r.to - offset);
    const page = await fetchChildren(r.trace, r.thread, r.node, offset, limit, r.group);
    const at = S.rows.indexOf(r);
    if (at < 0) return;
    const rows = r.group === "tasklist" ? taskRows(r.trace, r.thread, page.items) : childRows(r, page.items, r.depth);
    if (r.byTask) for (const c of rows) c.byTask = true;
    const end = offset + page.items.length;
    const parts = [];
    if (offset > r.from) parts.push({ ...r, to: offset, dir: "up" });
    parts.push(...rows);
    if (end < r.to) parts.push({ ...r, from: end, dir: "down" });
    S.rows.splice(at, 1, ...parts);
  } catch (e) {
    report(e);
  } finally {
    S.loadingGaps.delete(r);
  }
  drawTree();
}

// Draws the tree at the next frame: for scrolling and for changes that move no row.
let renderQueued = 0;
function renderTree() {
  if (renderQueued) return;
  renderQueued = requestAnimationFrame(() => { renderQueued = 0; drawRows(); });
}

// Draws the tree at once. Called after every change of S.rows, in the same task, so that
// no click or key ever meets rows drawn for a model that has moved on since.
function drawTree() {
  if (renderQueued) { cancelAnimationFrame(renderQueued); renderQueued = 0; }
  drawRows();
}

// For each drawn row element: the row it shows and whether it showed it open. A click acts
// on that row and on what the person saw ("▸" opens, "▾" closes), wherever the row is now.
const drawnRows = new WeakMap();

function clickedRow(ev) {
  const rowEl = ev.target.closest(".row");
  const shown = rowEl && drawnRows.get(rowEl);
  if (!shown) return null;
  const i = S.rows.indexOf(shown.row);
  return i < 0 ? null : { i, r: shown.row, open: shown.open };  // gone: closed or trace left
}

function setOpen(i, open) {
  if (open) expand(i); else collapse(i);
}

function drawRows() {
  const tree = $("tree");
  $("tree-spacer").style.height = `${S.rows.length * ROW}px`;
  const first = Math.max(0, Math.floor(tree.scrollTop / ROW) - 10);
  const last = Math.min(S.rows.length, Math.ceil((tree.scrollTop + tree.clientHeight) / ROW) + 10);
  const box = $("tree-rows");
  const out = [];
  for (let i = first; i < last; i++) {
    const r = S.rows[i];
    const div = rowElement(r, i);
    div.style.top = `${i * ROW}px`;
    out.push(div);
    if (r.type === "gap" && !S.loadingGaps.has(r)) loadGap(r);
  }
  box.replaceChildren(...out);
}

function indent(depth) { return `${Math.min(depth, 40) * 14 + 6}px`; }

function rowElement(r, i) {
  const div = el("div", "row");
  div.dataset.index = i;
  drawnRows.set(div, { row: r, open: !!r.expanded });
  div.style.paddingLeft = indent(r.depth);
  const tw = el("span", "tw", expandable(r) ? (r.busy ? "…" : r.expanded ? "▾" : "▸") : "");
  div.append(tw);
  const main = el("span", "main");
  div.append(main);
  if (r.type === "thread") {
    div.classList.add("thread");
    const t = r.info;
    main.append(el("span", "", `thread ${t.name}`));
    const facts = r.byTask ? taskThreadText(r) : `  ${plural(t.calls, "call")}`;
    main.append(el("span", "muted", `  ${t.native_id ? "native " + t.native_id : t.key} ·${facts}`));
    return div;
  }
  if (r.type === "note") {
    div.classList.add("note");
    if (r.suspended) div.classList.add("suspended");
    main.textContent = r.text;
    return div;
  }
  if (r.type === "task") return taskRowElement(r, div, main);
  if (r.type === "gap") {
    div.classList.add("more");
    main.textContent = `⋯ ${plural(r.to - r.from, r.group === "tasklist" ? "more task" : "more call")} (loading)`;
    return div;
  }
  if (r.type === "group") {
    div.classList.add("more");
    main.textContent = `↻ ${plural(r.count, "resume")} of this frame`;
    return div;
  }
  const d = r.data;
  if (S.selected && S.selected.trace === r.trace && S.selected.thread === r.thread && S.selected.node === r.node) {
    div.classList.add("selected");
  }
  if (S.search.hit && S.search.hit.trace === r.trace && S.search.hit.thread === r.thread && S.search.hit.node === r.node) {
    div.classList.add("hit");
  }
  if (d.kind === "plugin" && d.starts_task !== undefined) {
    div.classList.add("plugin");
    main.append(taskLink(r.trace, r.thread, d.starts_task, d.label));
    if (d.args) main.append(el("span", "args", `  ${d.args}`));
    return div;
  }
  if (d.kind === "plugin") {
    div.classList.add("plugin");
    main.append(el("span", "nm", `◆ ${d.label}${d.subtype ? " (" + d.subtype + ")" : ""}`));
    if (d.args) main.append(el("span", "args", `  ${d.args}`));
    return div;
  }
  if (d.kind === "flushed") {
    div.classList.add("flushed");
    main.append(el("span", "nm", `⤓ ${d.label}`));
    main.append(el("span", "args", `  ${plural(d.segments || 0, "call")} (with their callees) stored apart in ${d.flushed_trace} · open to load them here`));
    return div;
  }
  main.append(el("span", "nm", d.label));
  if (d.body === "function") main.append(el("span", "args", `(${d.args})`));
  if (d.event && d.event !== "call") main.append(el("span", "badge resume", d.event));
  else if (d.resume_of !== undefined) main.append(el("span", "badge resume", "resume"));
  if (d.resumes) main.append(el("span", "badge resume", `${d.resumes} resumes`));
  if (d.status === "return") main.append(el("span", "val", `  → ${d.value}`));
  else if (d.status === "yield") main.append(el("span", "yld", `  ⇢ yield ${d.value}`));
  else if (d.status === "unwind") main.append(el("span", "exc", `  !! ${d.value}`));
  else main.append(el("span", "open", "  (no return recorded)"));
  const right = el("span", "right");
  right.append(el("span", "dur", fmtDuration(d.dur)));
  const bar = el("span", "durbar");
  const fill = el("i");
  const span = threadSpan(r);
  fill.style.width = `${span && d.dur ? Math.max(2, Math.min(100, (d.dur / span) * 100)) : 0}%`;
  bar.append(fill);
  right.append(bar);
  const loc = el("span", "loc", d.path || "");
  loc.title = d.path || "";
  right.append(loc);
  div.append(right);
  return div;
}

function threadSpan(r) {
  if (!S.summary || r.trace !== S.traceId) return null;
  const t = S.summary.threads.find((x) => x.key === r.thread);
  return t && t.end !== null && t.start !== null ? t.end - t.start : null;
}

function rowIndexOf(trace, thread, node) {
  return S.rows.findIndex((r) => r.type === "node" && r.trace === trace && r.thread === thread && r.node === node);
}

// -- selection and details -----------------------------------------------------

async function selectNode(trace, thread, node, reveal) {
  S.selected = { trace, thread, node };
  if (trace === S.traceId && S.summary && thread !== S.flame.thread && S.summary.threads.some((t) => t.key === thread)) {
    flameThread(thread);  // the timeline follows the selection to its thread
  }
  setHash();
  renderTree();
  drawFlame();
  let d;
  try {
    d = await traceApi(trace, "node", { thread, node });
  } catch (e) { report(e); return; }
  const now = S.selected;
  if (!now || now.trace !== trace || now.thread !== thread || now.node !== node) return;
  renderDetails(trace, d);
  if (!reveal) return;
  if (S.byTask && trace === S.traceId && typeof revealInTasks === "function") await revealInTasks(trace, thread, node);
  else await revealPath(trace, thread, d.path_to);
}

// Expands the tree down to the last node of `path` ([{node, index}]) and scrolls to it.
async function revealPath(trace, thread, path) {
  const parent = S.rows.findIndex((r) => r.type === "thread" && r.trace === trace && r.thread === thread);
  if (parent >= 0) await revealBelow(S.rows[parent], path);
}

// As revealPath, from the row `top` (a thread's or a task's root) down.
async function revealBelow(top, path) {
  let parent = S.rows.indexOf(top);
  if (parent < 0) return;
  for (let step = 0; step < path.length; step++) {
    if (!S.rows[parent].expanded) await expand(parent);
    let at = findChild(parent, path[step].node);
    if (at < 0) {
      const gap = findGap(parent, path[step].index);
      if (!gap) return;
      await loadGap(gap, path[step].index);
      at = findChild(parent, path[step].node);
      if (at < 0) return;
    }
    parent = at;
  }
  scrollToRow(parent);
}

function scrollToRow(i) {
  const tree = $("tree");
  const top = i * ROW;
  $("tree-spacer").style.height = `${S.rows.length * ROW}px`;  // before scrolling there
  if (top < tree.scrollTop || top > tree.scrollTop + tree.clientHeight - ROW * 2) {
    tree.scrollTop = Math.max(0, top - tree.clientHeight / 3);
  }
  renderTree();
}

function findChild(parent, node) {
  const depth = S.rows[parent].depth + 1;
  for (let j = parent + 1; j < S.rows.length && S.rows[j].depth >= depth; j++) {
    const r = S.rows[j];
    if (r.depth === depth && r.type === "node" && r.node === node) return j;
  }
  return -1;
}

function findGap(parent, index) {
  const depth = S.rows[parent].depth + 1;
  for (let j = parent + 1; j < S.rows.length && S.rows[j].depth >= depth; j++) {
    const r = S.rows[j];
    if (r.depth === depth && r.type === "gap" && r.group !== "resumes" && r.from <= index && index < r.to) return r;
  }
  return null;
}

// A stored value (the server's JSON form) as an expandable element.
function valueNode(v, depth) {
  depth = depth || 0;
  if (v === null) return el("span", "v-lit", "None");
  if (v === true) return el("span", "v-lit", "True");
  if (v === false) return el("span", "v-lit", "False");
  if (typeof v === "number") return marked(el("span", "v-num", String(v)));
  if (typeof v === "string") return marked(el("span", "v-str", pyString(v)));
  switch (v.t) {
    case "repr": return marked(el("span", "v-repr", v.v));
    case "num": return el("span", "v-num", v.v);
    case "bytes": return el("span", "v-str", v.v);
    case "assign": {
      const span = el("span", "kv");
      span.append(el("span", "k", v.name), valueNode(v.v, depth + 1));
      return span;
    }
    case "ext": {
      const span = el("span", "v-ext", `<ext ${v.code}: `);
      span.append(valueNode(v.v, depth + 1), document.createTextNode(">"));
      return span;
    }
    case "dict": return boxNode(v.v, depth, "dict");
    case "object": return objectNode(v, depth);
    case "list": case "tuple": case "set": case "frozenset": return boxNode(v.v, depth, v.t);
    default: return el("span", "v-repr", JSON.stringify(v));
  }
}

// The text a value search found, marked where the details show it.
function marked(span) {
  const q = S.detailHit;
  if (q && span.textContent.toLowerCase().includes(q)) span.classList.add("v-hit");
  return span;
}

function pyString(s) {
  const q = s.includes("'") && !s.includes('"') ? '"' : "'";
  return q + s.replace(/\\/g, "\\\\").replace(new RegExp(q, "g"), "\\" + q) + q;
}

// How Python writes each kind of container.
const BRACKETS = { dict: ["{", "}"], list: ["[", "]"], tuple: ["(", ")"], set: ["{", "}"], frozenset: ["frozenset({", "})"] };

function boxNode(items, depth, kind) {
  const box = el("span", "v-box");
  const n = items.length;
  const [open, close] = BRACKETS[kind] || BRACKETS.list;
  if (!n) return el("span", "v-repr", kind === "set" ? "set()" : kind === "frozenset" ? "frozenset()" : open + close);
  const head = el("span", "v-head", `${open}${plural(n, "item")}${close}`);
  const body = el("div", "v-items");
  let filled = false;
  const fill = () => {
    if (filled) return;
    filled = true;
    for (let i = 0; i < n; i++) {
      const row = el("div", "kv");
      if (kind === "dict") row.append(el("span", "k", items[i][0]), valueNode(items[i][1], depth + 1));
      else row.append(el("span", "k", String(i)), valueNode(items[i], depth + 1));
      body.append(row);
    }
  };
  head.addEventListener("click", () => { fill(); box.classList.toggle("open"); });
  const holdsHit = S.detailHit && JSON.stringify(items).toLowerCase().includes(S.detailHit);
  if ((depth < 1 && n <= 12) || holdsHit) { fill(); box.classList.add("open"); }
  box.append(head, body);
  return box;
}

// An object stored by its fields: Type(a=1, …), its fields below when opened,
// with the full type name and address on the head's tooltip.
function objectNode(v, depth) {
  const n = v.v.length;
  if (!n) return el("span", "v-repr", `<${v.type} object at ${v.addr}>`);
  const box = el("span", "v-box");
  const names = v.v.map(([k]) => (k === "<...>" ? "…" : k)).join(", ");
  const head = el("span", "v-head", `${v.name}(${names.length > 60 ? names.slice(0, 59) + "…" : names})`);
  head.title = `${v.type} at ${v.addr}`;
  const body = el("div", "v-items");
  let filled = false;
  const fill = () => {
    if (filled) return;
    filled = true;
    for (const [k, item] of v.v) {
      const row = el("div", "kv");
      row.append(el("span", "k", k), valueNode(item, depth + 1));
      body.append(row);
    }
  };
  head.addEventListener("click", () => { fill(); box.classList.toggle("open"); });
  const holdsHit = S.detailHit && JSON.stringify(v.v).toLowerCase().includes(S.detailHit);
  if ((depth < 1 && n <= 12) || holdsHit) { fill(); box.classList.add("open"); }
  box.append(head, body);
  return box;
}

function section(title, ...children) {
  const s = el("section");
  s.append(el("h3", "", title), ...children);
  return s;
}

function namedValues(v) {
  const box = el("div", "vals");
  if (v && v.t === "dict") {
    if (!v.v.length) box.append(el("span", "note", "(none)"));
    for (const [k, item] of v.v) {
      const row = el("div", "kv");
      row.append(el("span", "k", k), valueNode(item, 1));
      box.append(row);
    }
  } else {
    box.append(valueNode(v, 0));
  }
  return box;
}

function nodeLink(trace, thread, node, text) {
  const a = el("a", "", text);
  a.addEventListener("click", () => selectNode(trace, thread, node, true));
  return a;
}

function renderDetails(trace, d) {
  const hit = S.search.hit;
  S.detailHit = S.search.mode === "value" && hit && hit.trace === trace && hit.thread === d.thread.key && hit.node === d.node ? S.search.q.toLowerCase() : null;
  const pane = $("details");
  pane.replaceChildren();
  const thread = d.thread.key;
  pane.append(el("h2", "", d.label));
  const sub = [d.qualname, d.path].filter(Boolean).join(" · ");
  if (sub) pane.append(el("div", "sub", sub));
  if (d.path_to && d.path_to.length > 1) {
    const crumbs = el("div", "crumbs");
    d.path_to.slice(0, -1).forEach((p, i) => {
      if (i) crumbs.append(document.createTextNode(" › "));
      crumbs.append(nodeLink(trace, thread, p.node, p.label));
    });
    pane.append(crumbs);
  }
  const facts = el("dl", "facts");
  const fact = (k, v) => { if (v === null || v === undefined || v === "") return; facts.append(el("dt", "", k)); const dd = el("dd"); if (v instanceof Node) dd.append(v); else dd.textContent = v; facts.append(dd); };
  fact("thread", `${d.thread.name}${d.thread.native_id ? " (native " + d.thread.native_id + ")" : ""}`);
  if (d.kind === "call") {
    fact("started", d.started !== null ? `${new Date(d.started * 1000).toLocaleTimeString()} · +${fmtDuration(d.start)}` : "before tracing began");
    fact("duration", d.dur !== null ? fmtDuration(d.dur) : d.status === "open" ? "never returned" : "");
    fact("event", [d.event || "(began before tracing)", d.end_event].filter(Boolean).join(" → "));
    if (d.call_site) {
      const site = el("span");
      site.append(document.createTextNode(`line ${d.call_site.line} of `));
      if (d.call_site.caller !== null) site.append(nodeLink(trace, thread, d.call_site.caller, "the caller"));
      else site.append(document.createTextNode("a caller not in this tree"));
      fact("call site", site);
    }
    fact("frame id", d.frame_id);
    if (d.end_path && d.end_path !== d.path) fact("ended at", d.end_path);
  } else {
    fact("time", d.start !== null ? `+${fmtDuration(d.start)}` : "");
  }
  pane.append(section("Call", facts));
  if (d.kind !== "call") {
    pane.append(section(d.kind === "flushed" ? "Marker" : "Record", namedValues(d.record)));
    if (d.kind === "flushed" && d.flushed_trace) {
      const a = el("a", "", `open trace ${d.flushed_trace}`);
      a.addEventListener("click", () => openTrace(d.flushed_trace));
      pane.append(section("Stored apart", a));
    }
    return;
  }
  if (d.globals_note) pane.append(section("Namespace", el("div", "note", d.globals_note)));
  else if (d.locals_call !== undefined) {
    pane.append(section("Arguments", namedValues(d.arguments !== undefined ? d.arguments : d.locals_call)));
    if (d.locals_call_other !== undefined) pane.append(section("Other locals at call", namedValues(d.locals_call_other)));
  }
  if (d.exception !== undefined) {
    const box = el("div", "vals exc-box");
    box.append(valueNode(d.exception, 0));
    pane.append(section(d.end_event === "unwind" ? "Exception" : "Thrown", box));
  } else if (d.returned !== undefined) {
    const box = el("div", "vals");
    box.append(valueNode(d.returned, 0));
    pane.append(section(d.end_event === "yield" ? "Yielded value" : "Return value", box));
  } else if (d.status === "open") {
    pane.append(section("Return value", el("div", "note", "no return recorded")));
  }
  if (d.locals_return !== undefined && !d.globals_note) pane.append(section("Locals at return", namedValues(d.locals_return)));
  if (d.assignments && d.assignments.length) {
    const box = el("div", "vals");
    for (const a of d.assignments) {
      const row = el("div", "kv");
      row.append(el("span", "muted", (a.path || "").split(":").pop()), valueNode(a.value, 1));
      box.append(row);
    }
    pane.append(section("Assignments", box));
  }
  if (d.parts && d.parts.length > 1) {
    const box = el("div");
    d.parts.forEach((p, i) => {
      if (i) box.append(document.createTextNode(" · "));
      const a = nodeLink(trace, thread, p.node, `${i + 1}: ${p.event}`);
      if (p.node === d.node) a.style.fontWeight = "700";
      box.append(a);
    });
    pane.append(section("Parts of this frame", box));
  }
  if (d.plugins && d.plugins.length) {
    const box = el("div");
    for (const p of d.plugins) {
      const row = el("div", "plugin-rec");
      row.append(el("span", "chip request", `${p.where}`), nodeLink(trace, thread, p.node, `${p.type}${p.subtype ? " (" + p.subtype + ")" : ""}`));
      row.append(namedValues(p.fields));
      box.append(row);
    }
    pane.append(section("Around it", box));
  }
  if (d.trace_points && d.trace_points.length) {
    const box = el("div");
    for (const tp of d.trace_points) {
      const a = el("a", "", tp.name || tp.trace);
      a.addEventListener("click", () => openTrace(tp.trace));
      box.append(a, el("br"));
    }
    pane.append(section("Trace points", box));
  }
}

// -- the flame chart --------------------------------------------------------------

function setupFlame(threads) {
  const select = $("flame-thread");
  select.replaceChildren();
  for (const t of threads) {
    const o = el("option", "", `${t.name} · ${plural(t.calls, "call")}`);
    o.value = t.key;
    select.append(o);
  }
  if (threads.length) flameThread(threads[0].key);
  else { S.flame.thread = null; S.flame.data = null; drawFlame(); }
}

function flameThread(key) {
  const t = S.summary.threads.find((x) => x.key === key);
  S.flame.thread = key;
  $("flame-thread").value = key;
  const start = t && t.start !== null ? t.start : 0;
  let end = t && t.end !== null ? t.end : start + 1;
  if (end <= start) end = start + 1e-3;
  S.flame.full = [start, end];
  S.flame.from = start - (end - start) * 0.01;
  S.flame.to = end + (end - start) * 0.01;
  S.flame.data = null;
  fetchFlame(0);
}

function fetchFlame(delay) {
  clearTimeout(S.flame.timer);
  S.flame.timer = setTimeout(async () => {
    const seq = ++S.flame.seq;
    const f = S.flame;
    if (!f.thread || !S.traceId) return;
    try {
      const data = await traceApi(S.traceId, "timeline", { thread: f.thread, from: f.from, to: f.to, width: canvasWidth() });
      if (seq !== S.flame.seq) return;
      f.data = data;
      drawFlame();
      flameLoading(data);
    } catch (e) { report(e); }
  }, delay);
}

function canvasWidth() { return Math.max(100, Math.round($("flame").clientWidth)); }

function hue(n) { return (n * 137.508) % 360; }

function drawFlame() {
  const canvas = $("flame");
  const f = S.flame;
  const dpr = window.devicePixelRatio || 1;
  const w = canvas.clientWidth;
  let levels = 1;
  if (f.data) for (const b of f.data.bars) levels = Math.max(levels, b[1] + 1);
  const h = Math.max(120, Math.min(levels * BAR + 4, 420));
  canvas.style.height = `${h}px`;
  canvas.width = Math.round(w * dpr);
  canvas.height = Math.round(h * dpr);
  const g = canvas.getContext("2d");
  g.setTransform(dpr, 0, 0, dpr, 0, 0);
  g.clearRect(0, 0, w, h);
  $("flame-range").textContent = `${fmtDuration(Math.max(0, f.from))} – ${fmtDuration(f.to)} (${fmtDuration(f.to - f.from)} shown)`;
  if (!f.data) return;
  const scale = w / (f.to - f.from);
  const dark = matchMedia("(prefers-color-scheme: dark)").matches;
  g.font = "11px ui-monospace, DejaVu Sans Mono, monospace";
  g.textBaseline = "middle";
  const sel = S.selected && S.selected.trace === S.traceId && S.selected.thread === f.thread ? S.selected.node : -1;
  let selBox = null;
  for (const b of f.data.bars) {
    const [node, depth, s, e, name, merged] = b;
    const x = (s - f.from) * scale;
    const bw = Math.max(1, (e - s) * scale);
    if (x > w || x + bw < 0) continue;
    const y = depth * BAR + 2;
    const ext = b[6] ? flameExtra(b, dark) : null;
    if (ext) g.fillStyle = ext.fill;
    else if (merged) g.fillStyle = dark ? "#4a5260" : "#c9ced6";
    else g.fillStyle = `hsl(${hue(name < 0 ? 0 : name)}, ${dark ? 45 : 60}%, ${dark ? 38 : 72}%)`;
    g.fillRect(x, y, bw - (bw > 3 ? 1 : 0), BAR - 2);
    const picked = ext ? flameSelected(ext) : node === sel;
    if (picked && !merged) selBox = [x, y, bw, BAR - 2];
    if (bw > 36) {
      const label = ext ? ext.label : merged ? `${fmtCount(merged)} calls` : (f.data.names[name] || "?");
      g.fillStyle = dark ? "#e8edf3" : "#1d2430";
      g.save();
      g.beginPath();
      g.rect(Math.max(x, 0), y, Math.min(bw, w) - 2, BAR - 2);
      g.clip();
      g.fillText(label, Math.max(x, 0) + 4, y + (BAR - 2) / 2);
      g.restore();
    }
  }
  if (selBox) {
    g.strokeStyle = dark ? "#ffffff" : "#000000";
    g.lineWidth = 2;
    g.strokeRect(selBox[0] + 1, selBox[1] + 1, Math.max(selBox[2] - 2, 2), selBox[3] - 2);
  }
}

function barAt(x, y) {
  const f = S.flame;
  if (!f.data) return null;
  const t = f.from + (x / $("flame").clientWidth) * (f.to - f.from);
  const depth = Math.floor((y - 2) / BAR);
  const px = (f.to - f.from) / $("flame").clientWidth;
  let best = null;
  for (const b of f.data.bars) {
    if (b[1] !== depth) continue;
    if (t >= b[2] - px && t <= b[3] + px) { best = b; if (t >= b[2] && t <= b[3]) break; }
  }
  return best;
}

function setupFlameEvents() {
  const canvas = $("flame");
  let drag = null;
  canvas.addEventListener("wheel", (ev) => {
    ev.preventDefault();
    const f = S.flame;
    const x = ev.offsetX / canvas.clientWidth;
    const at = f.from + x * (f.to - f.from);
    const factor = Math.pow(1.0015, ev.deltaY);
    const span = Math.max((f.to - f.from) * factor, 1e-7);
    f.from = at - x * span;
    f.to = f.from + span;
    drawFlame();
    fetchFlame(120);
  }, { passive: false });
  canvas.addEventListener("mousedown", (ev) => {
    drag = { x: ev.clientX, from: S.flame.from, to: S.flame.to, moved: false };
    canvas.classList.add("dragging");
  });
  window.addEventListener("mousemove", (ev) => {
    if (drag) {
      const dx = ev.clientX - drag.x;
      if (Math.abs(dx) > 3) drag.moved = true;
      if (drag.moved) {
        const dt = (dx / canvas.clientWidth) * (drag.to - drag.from);
        S.flame.from = drag.from - dt;
        S.flame.to = drag.to - dt;
        drawFlame();
        fetchFlame(120);
      }
      return;
    }
    if (ev.target !== canvas) { $("flame-tip").hidden = true; return; }
    const b = barAt(ev.offsetX, ev.offsetY);
    const tip = $("flame-tip");
    if (!b) { tip.hidden = true; return; }
    tip.hidden = false;
    tip.textContent = b[6] ? flameExtra(b, false).tip : b[5] ? `${fmtCount(b[5])} calls, each under a pixel: click to zoom in` : `${S.flame.data.names[b[4]] || "?"} · ${fmtDuration(b[3] - b[2])}`;
    tip.style.left = `${Math.min(ev.offsetX + 12, canvas.clientWidth - 200)}px`;
    tip.style.top = `${ev.offsetY + 34}px`;
  });
  window.addEventListener("mouseup", (ev) => {
    if (!drag) return;
    const moved = drag.moved;
    drag = null;
    canvas.classList.remove("dragging");
    if (moved || ev.target !== canvas) return;
    const b = barAt(ev.offsetX, ev.offsetY);
    if (!b) return;
    const ext = b[6] && !b[5] ? flameExtra(b, false) : null;
    if (ext) {
      if (ext.select) selectNode(ext.select[0], ext.select[1], ext.select[2], ext.reveal);
      return;
    }
    if (b[5]) {
      const pad = (b[3] - b[2]) * 0.1;
      S.flame.from = b[2] - pad;
      S.flame.to = b[3] + pad;
      drawFlame();
      fetchFlame(0);
      return;
    }
    selectNode(S.traceId, S.flame.thread, b[0], true);
  });
  canvas.addEventListener("dblclick", () => {
    const [s, e] = S.flame.full || [0, 1];
    S.flame.from = s - (e - s) * 0.01;
    S.flame.to = e + (e - s) * 0.01;
    drawFlame();
    fetchFlame(0);
  });
  $("flame-thread").addEventListener("change", (ev) => flameThread(ev.target.value));
  window.addEventListener("resize", () => { drawFlame(); fetchFlame(150); renderTree(); });
}

// -- search -------------------------------------------------------------------

async function runSearch(next) {
  const q = $("search-text").value.trim();
  const mode = $("search-mode").value;
  if (mode === "calls") {  // across every trace: calls.js
    if (q) runCallsSearch(q).catch(report);
    return;
  }
  hideCallsResults();
  if (!q || !S.traceId) return;
  const s = S.search;
  if (!next || q !== s.q || mode !== s.mode) {
    s.q = q; s.mode = mode; s.hit = null; s.cursor = 0; s.count = 0;
  }
  const seq = ++s.seq;
  const status = $("search-status");
  status.textContent = "searching…";
  try {
    for (;;) {
      const params = { q, mode };
      if (mode === "value") params.cursor = s.cursor;
      else if (s.hit) { params.thread = s.hit.thread; params.node = s.hit.node; }
      const res = await traceApi(S.traceId, "search", params);
      if (seq !== s.seq) return;
      if (res.match) {
        s.count += 1;
        s.cursor = res.cursor || 0;
        s.hit = { trace: S.traceId, thread: res.match.thread, node: res.match.node };
        const where = res.match.path.map((p) => p.label).join(" › ");
        status.textContent = `match ${s.count}: ${where}`;
        status.title = where;
        $("search-next").disabled = false;
        await selectNode(S.traceId, res.match.thread, res.match.node, true);
        return;
      }
      if (res.done) {
        status.textContent = s.count ? `no more matches (${plural(s.count, "match")}); Next starts over` : "no match";
        s.hit = null; s.cursor = 0; s.count = 0;
        $("search-next").disabled = false;
        renderTree();
        return;
      }
      s.cursor = res.cursor;
      status.textContent = `searching… ${Math.round((res.progress || 0) * 100)}%`;
    }
  } catch (e) { report(e); }
}

// -- wiring ---------------------------------------------------------------------

function setup() {
  const tree = $("tree");
  tree.addEventListener("scroll", renderTree);
  tree.addEventListener("click", (ev) => {
    if (ev.target.closest("a")) return;  // a link in a row: its own action
    const hit = clickedRow(ev);
    if (!hit) return;
    const { i, r } = hit;
    if (ev.target.classList.contains("tw") || r.type !== "node") {
      if (expandable(r)) setOpen(i, !hit.open);
      return;
    }
    selectNode(r.trace, r.thread, r.node, false);
  });
  tree.addEventListener("dblclick", (ev) => {
    const hit = clickedRow(ev);
    if (hit && hit.r.type === "node" && expandable(hit.r)) setOpen(hit.i, !hit.open);
  });
  tree.addEventListener("keydown", (ev) => {
    if (!S.selected) return;
    const i = rowIndexOf(S.selected.trace, S.selected.thread, S.selected.node);
    if (i < 0) return;
    let j = -1;
    if (ev.key === "ArrowDown") j = i + 1;
    else if (ev.key === "ArrowUp") j = i - 1;
    else if (ev.key === "ArrowRight" && expandable(S.rows[i])) { expand(i); ev.preventDefault(); return; }
    else if (ev.key === "ArrowLeft") { if (S.rows[i].expanded) collapse(i); ev.preventDefault(); return; }
    else return;
    ev.preventDefault();
    while (j >= 0 && j < S.rows.length && S.rows[j].type !== "node") j += ev.key === "ArrowDown" ? 1 : -1;
    if (j < 0 || j >= S.rows.length) return;
    const r = S.rows[j];
    selectNode(r.trace, r.thread, r.node, false);
    const top = j * ROW;
    if (top < tree.scrollTop) tree.scrollTop = top;
    else if (top + ROW > tree.scrollTop + tree.clientHeight) tree.scrollTop = top + ROW - tree.clientHeight;
  });
  $("trace-filter").addEventListener("input", renderTraces);
  $("reload-traces").addEventListener("click", loadTraces);
  $("toggle-traces").addEventListener("click", () => { $("layout").classList.toggle("no-traces"); drawFlame(); });
  $("search").addEventListener("submit", (ev) => { ev.preventDefault(); runSearch(false); });
  $("search-next").addEventListener("click", () => runSearch(true));
  $("search-mode").addEventListener("change", () => {
    const mode = $("search-mode").value;
    $("search-text").placeholder = mode === "value" ? "Search calls by a value's text…"
      : mode === "calls" ? "reserve --arg qty > 100 --raised ValueError" : "Search calls by function name…";
    if (mode !== "calls") hideCallsResults();
  });
  window.addEventListener("keydown", (ev) => {
    if (ev.key === "F3" || (ev.key === "g" && (ev.ctrlKey || ev.metaKey))) { ev.preventDefault(); runSearch(true); }
  });
  setupFlameEvents();
  setupDiff();
  window.addEventListener("hashchange", () => {
    const p = new URLSearchParams(location.hash.slice(1));
    if (p.get("diff")) { openDiffHash(p.get("diff")).catch(report); return; }
    const wanted = p.get("trace");
    const focus = p.get("thread") && p.get("node") !== null ? { thread: p.get("thread"), node: Number(p.get("node")) } : null;
    if (wanted && wanted !== S.traceId) openTrace(wanted, focus).catch(report);
    else if (wanted && focus) selectNode(wanted, focus.thread, focus.node, true).catch(report);
  });
}

// -- the diff view: two traces as one merged call tree -------------------------

function pickOrOpen(id) {
  if (S.pickA === null) { openTrace(id).catch(report); return; }
  if (S.pickA === "?") {
    S.pickA = id;
    $("compare-status").textContent = "now pick B";
    renderTraces();
    return;
  }
  const a = S.pickA;
  S.pickA = null;
  $("compare-status").textContent = "";
  location.hash = `diff=${a}..${id}`;
}

function setupDiff() {
  $("compare").addEventListener("click", () => {
    S.pickA = S.pickA === null ? "?" : null;
    $("compare-status").textContent = S.pickA ? "pick A, then B" : "";
    renderTraces();
  });
  $("diff-first").addEventListener("click", () => { if (S.diff && S.diff.first !== null) selectDiffRow(S.diff.first); });
  $("diff-next").addEventListener("click", () => stepChange(1));
  $("diff-prev").addEventListener("click", () => stepChange(-1));
  $("diff-rows").addEventListener("keydown", (ev) => {
    if (ev.key === "n" || ev.key === "ArrowDown") { ev.preventDefault(); stepChange(1); }
    if (ev.key === "p" || ev.key === "ArrowUp") { ev.preventDefault(); stepChange(-1); }
  });
}

function leaveDiff() {
  if (!S.diff) return;
  S.diff = null;
  $("diff-box").hidden = true;
  $("tree").hidden = false;
  $("flame-box").hidden = false;
}

async function openDiffHash(text) {
  const [a, b] = text.split("..");
  if (!a || !b) throw new Error(`not two traces: ${text}`);
  await openDiff(a, b);
}

async function openDiff(a, b) {
  ++S.opening;
  S.traceId = null;
  S.diff = { a, b, rows: [], changes: [], at: -1, first: null };
  $("tree").hidden = true;
  $("flame-box").hidden = true;
  $("diff-box").hidden = false;
  $("diff-rows").replaceChildren(el("div", "drow muted", "Comparing…"));
  $("trace-title").replaceChildren(el("b", "", "A "), el("span", "", a), el("b", "", "  B "), el("span", "", b));
  $("details").replaceChildren(el("div", "empty", "Select a change to see its values side by side."));
  renderTraces();
  const q = "?" + new URLSearchParams({ a, b }).toString();
  let body;
  for (;;) {
    const res = await api(`/api/diff${q}`);
    if (!S.diff || S.diff.a !== a || S.diff.b !== b) return;
    if (res.status !== 202) { hideOverlay(); body = res.body; break; }
    showOverlay("Indexing both traces…", res.body.total ? res.body.done / res.body.total : 0, "");
    await sleep(300);
  }
  const d = S.diff;
  d.rows = body.rows;
  d.first = body.first;
  d.changes = body.rows.map((r, i) => (r.changes !== undefined ? i : -1)).filter((i) => i >= 0);
  const c = body.counts;
  $("diff-counts").textContent = `${fmtCount(c.matched)} matched · ${fmtCount(c.changed)} changed · ${fmtCount(c.added)} added · ${fmtCount(c.removed)} removed`;
  renderDiffRows(body.cut);
  if (d.first !== null) selectDiffRow(d.first);
  else $("diff-status").textContent = "no differences";
}

const DIFF_MARKS = { changed: "~", added: "+", removed: "−" };

function renderDiffRows(cut) {
  const box = $("diff-rows");
  box.replaceChildren();
  S.diff.rows.forEach((r, i) => {
    const isChange = r.changes !== undefined;
    const row = el("div", `drow ${r.status}${isChange ? " change" : ""}`);
    row.dataset.index = i;
    row.style.paddingLeft = indent(r.depth);
    row.append(el("span", "mark", DIFF_MARKS[r.status] || ""));
    row.append(el("span", "dlabel", r.label));
    if (r.status === "added") row.append(el("span", "dnote", `only in B${r.calls_below ? `, ${plural(r.calls_below, "call")} inside` : ""}`));
    if (r.status === "removed") row.append(el("span", "dnote", `only in A${r.calls_below ? `, ${plural(r.calls_below, "call")} inside` : ""}`));
    if (r.status === "changed") row.append(el("span", "dnote", r.changes.map((ch) => ch.name || ch.what).join(", ")));
    if (r.path) row.append(el("span", "dpath", r.path));
    if (isChange) row.addEventListener("click", () => selectDiffRow(i));
    box.append(row);
  });
  if (cut) box.append(el("div", "drow muted", "… more differences than shown here: vask traces diff --json lists them all"));
  if (!S.diff.rows.length) box.append(el("div", "drow muted", "The two traces do not differ (addresses, ids and times left out)."));
}

function stepChange(step) {
  const d = S.diff;
  if (!d || !d.changes.length) return;
  const pos = d.changes.indexOf(d.at);
  const next = pos < 0 ? (step > 0 ? 0 : d.changes.length - 1) : Math.max(0, Math.min(d.changes.length - 1, pos + step));
  selectDiffRow(d.changes[next]);
}

function selectDiffRow(i) {
  const d = S.diff;
  d.at = i;
  const box = $("diff-rows");
  for (const node of box.querySelectorAll(".drow.sel")) node.classList.remove("sel");
  const row = box.querySelector(`.drow[data-index="${i}"]`);
  if (row) { row.classList.add("sel"); row.scrollIntoView({ block: "nearest" }); }
  const pos = d.changes.indexOf(i);
  $("diff-status").textContent = `change ${pos + 1} of ${d.changes.length}${i === d.first ? " · first divergence" : ""}`;
  $("diff-prev").disabled = pos <= 0;
  $("diff-next").disabled = pos >= d.changes.length - 1;
  renderDiffDetails(d.rows[i]);
}

function renderDiffDetails(r) {
  const pane = $("details");
  pane.replaceChildren();
  pane.append(el("h2", "", r.label));
  const what = { changed: "changed", added: "only in B", removed: "only in A" }[r.status];
  pane.append(el("div", "sub", [what, r.path].filter(Boolean).join(" · ")));
  const chain = [];
  let depth = r.depth;
  for (let j = S.diff.rows.indexOf(r) - 1; j >= 0 && depth > 0; j--) {
    if (S.diff.rows[j].depth < depth) { chain.unshift(S.diff.rows[j].label); depth = S.diff.rows[j].depth; }
  }
  if (chain.length) pane.append(el("div", "crumbs", chain.join(" › ")));
  if (r.changes && r.changes.length) {
    const table = el("table", "sbs");
    const head = el("tr");
    head.append(el("th", "", "value"), el("th", "", "A"), el("th", "", "B"));
    table.append(head);
    for (const ch of r.changes) {
      const tr = el("tr");
      tr.append(el("th", "", ch.name ? `${ch.what} ${ch.name}` : ch.what));
      tr.append(el("td", "a", ch.a === null ? "(none)" : ch.a));
      tr.append(el("td", "b", ch.b === null ? "(none)" : ch.b));
      table.append(tr);
    }
    pane.append(section("Values", table));
  } else if (r.calls_below) {
    pane.append(section("Calls", el("div", "", `${plural(r.calls_below, "call")} inside`)));
  }
}

async function start() {
  setup();
  const p = new URLSearchParams(location.hash.slice(1));
  const wanted = p.get("trace");
  // A trace named in the address opens while the list loads (listing many large
  // traces reads each one's head): its tree need not wait for the list.
  const listed = loadTraces();
  if (wanted && !p.get("diff")) {
    const focus = p.get("thread") && p.get("node") !== null ? { thread: p.get("thread"), node: Number(p.get("node")) } : null;
    if (p.get("by") === "task" && typeof markByTask === "function") markByTask(true);
    await Promise.all([listed, openTrace(wanted, focus)]);
    return;
  }
  await listed;
  if (p.get("by") === "task" && typeof markByTask === "function") markByTask(true);
  if (p.get("diff")) await openDiffHash(p.get("diff"));
  else if (S.traces.length) await openTrace(S.traces[0].id);
  else { S.rows = [{ type: "note", depth: 0, text: "No traces stored yet: run a program under vask first (vask run script.py)." }]; drawTree(); }
}

// Once every script of the page has run (tasks.js and calls.js build on this one).
if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", () => start().catch(report));
else start().catch(report);
