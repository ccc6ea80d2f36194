// The call tree by asyncio task: a "By task" toggle in the header. When on, the
// tree has a root per task (its steps' calls in order, a note per stretch it was
// suspended) after each thread's root, which keeps the calls that ran in no task.
// The server groups (GET /api/trace/ID/tasks); the page only lays out its answers,
// level by level as with the thread tree, and the task list itself a page at a time
// (a gap row of group "tasklist" loads the next page when scrolled to). A "→ starts
// task N" row and a task's "started by task N" open that task's root. Built on viewer.js's helpers and rows
// (S, expand, revealBelow, scrollToRow, …); viewer.js calls tasksTraceOpened,
// revealInTasks, taskRowElement and taskLink.
"use strict";

const TASKS = { seq: 0 };

function setupTasks() {
  const button = el("button", "", "By task");
  button.id = "by-task";
  button.type = "button";
  button.title = "Regroup the call tree by asyncio task (each task a tree of its own)";
  button.setAttribute("aria-pressed", "false");
  button.addEventListener("click", () => setByTask(!S.byTask).catch(report));
  $("search").before(button);
}

// The toggle's state, without laying out the tree (a page opened with "by=task").
function markByTask(on) {
  S.byTask = on;
  S.taskFocus = null;
  const button = $("by-task");
  button.setAttribute("aria-pressed", String(on));
  button.classList.toggle("on", on);
}

async function setByTask(on) {
  markByTask(on);
  setHash();
  if (!S.summary || S.diff) return;
  const opening = S.opening;
  const traceId = S.traceId;
  if (on) await tasksTraceOpened(traceId, shownThreads(S.summary));
  else await showByThread(traceId, S.summary);
  if (opening !== S.opening) return;
  const sel = S.selected;
  if (sel && sel.trace === traceId) await selectNode(sel.trace, sel.thread, sel.node, true);
}

// Lays out the trace's tree by task (viewer.js calls this when a trace opens while on).
async function tasksTraceOpened(traceId, threads) {
  const seq = ++TASKS.seq;
  S.rows = [{ type: "note", depth: 0, text: "Grouping the calls by task…" }];
  drawTree();
  const rows = [];
  for (const t of threads) {
    const body = await traceApi(traceId, "tasks", { thread: t.key, offset: 0, limit: PAGE });
    if (seq !== TASKS.seq || traceId !== S.traceId || !S.byTask) return;
    rows.push({ type: "thread", trace: traceId, thread: t.key, depth: 0, node: 0, info: t, expanded: false, byTask: true, outside: body.outside_calls, tasks: body.total });
    if (body.note) rows.push({ type: "note", depth: 0, text: body.note });
    rows.push(...taskRows(traceId, t.key, body.tasks));
    if (body.total > body.tasks.length) {
      rows.push({ type: "gap", trace: traceId, thread: t.key, node: 0, group: "tasklist", byTask: true, depth: 0, from: body.tasks.length, to: body.total, dir: "down" });
    }
  }
  if (!rows.some((r) => r.type === "task")) rows.unshift({ type: "note", depth: 0, text: "No asyncio tasks were recorded in this trace." });
  S.rows = rows;
  drawTree();
  const first = S.rows.findIndex((r) => r.type === "task");
  if (first >= 0) await expand(first);
}

function taskRows(trace, thread, tasks) {
  return tasks.map((task) => ({ type: "task", trace, thread, node: task.task_id, depth: 0, info: task, expanded: false, byTask: true }));
}

// A page of a thread's task list, shaped as a page of children (for loadGap).
async function fetchTaskList(trace, thread, offset, limit) {
  const body = await traceApi(trace, "tasks", { thread, offset, limit });
  return { items: body.tasks, total: body.total, offset: body.offset };
}

function taskIndex(trace, thread, task) {
  return S.rows.findIndex((r) => r.type === "task" && r.trace === trace && r.thread === thread && r.node === task);
}

// The row of a task's root, its page of the task list loaded first if need be
// (`index`: its place in the list, when known); -1 when it is not listed.
async function taskRow(trace, thread, task, index) {
  let i = taskIndex(trace, thread, task);
  if (i >= 0) return i;
  if (index === undefined) {
    index = (await traceApi(trace, "tasks", { thread, index_of: task })).index;
  }
  if (index === null || index === undefined) return -1;
  const gap = S.rows.find((r) => r.type === "gap" && r.group === "tasklist" && r.trace === trace && r.thread === thread && r.from <= index && index < r.to);
  if (gap) await loadGap(gap, index);
  return taskIndex(trace, thread, task);
}

// Opens a task's root (turning the tree by task on if needed) and scrolls to it.
async function openTask(trace, thread, task) {
  if (!S.byTask) await setByTask(true);
  const i = await taskRow(trace, thread, task);
  if (i < 0) { report(new Error(`none of the calls task ${task} ran were recorded (asyncio's own code is not)`)); return; }
  S.taskFocus = { trace, thread, task };
  if (!S.rows[i].expanded) await expand(i);
  scrollToRow(taskIndex(trace, thread, task));
}

function taskLink(trace, thread, task, text) {
  const a = el("a", "task-link", text);
  a.dataset.task = task;
  a.addEventListener("click", () => openTask(trace, thread, task).catch(report));
  return a;
}

// Expands the tree by task down to `node`: in its task's root, or in its thread's.
async function revealInTasks(trace, thread, node) {
  const path = `/api/trace/${encodeURIComponent(trace)}/tasks?thread=${encodeURIComponent(thread)}&node=${node}`;
  const { body } = await api(path);
  if (!S.byTask || trace !== S.traceId) return;
  const top = body.task === null
    ? S.rows.find((r) => r.type === "thread" && r.trace === trace && r.thread === thread)
    : S.rows[await taskRow(trace, thread, body.task, body.task_index)];
  if (top) await revealBelow(top, body.path);
}

function taskRowElement(r, div, main) {
  const t = r.info;
  div.classList.add("thread", "task-root");
  const focus = S.taskFocus;
  if (focus && focus.trace === r.trace && focus.thread === r.thread && focus.task === r.node) div.classList.add("selected");
  main.append(el("span", "", t.label));
  const facts = [plural(t.calls, "call"), plural(t.steps, "step")];
  if (t.eager) facts.push("started eagerly");
  main.append(el("span", "muted", `  ${facts.join(" · ")}`));
  if (t.parent_task_id !== null) {
    main.append(el("span", "muted", " · started by "));
    main.append(taskLink(r.trace, r.thread, t.parent_task_id, `task ${t.parent_task_id}`));
  }
  if (t.created_in) {
    main.append(el("span", "muted", " · in "));
    main.append(nodeLink(r.trace, r.thread, t.created_in.node, t.created_in.label));
  }
  return div;
}

// The thread's root in the tree by task: the calls of no task.
function taskThreadText(r) {
  return ` ${plural(r.outside, "call")} outside tasks · ${plural(r.tasks, "task")}`;
}

setupTasks();
