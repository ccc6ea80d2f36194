// Grouping by asyncio task: a "By task" toggle in the header. When on, the
// panel above the call tree lists each task of the trace's threads as a tree
// of its own (the top-level calls of its steps, with the stretches it was
// suspended in between); a call links to its place in the call tree, and a
// task's header to the call that created it. Built on viewer.js's helpers
// (S, api, el, nodeLink, fmtCount, plural); viewer.js calls tasksTraceOpened.
"use strict";

const TASKS = { on: false, traceId: null, threads: [], seq: 0 };

function setupTasks() {
  const button = el("button", "", "By task");
  button.id = "by-task";
  button.type = "button";
  button.title = "Group the calls by asyncio task (each task a tree of its own)";
  button.setAttribute("aria-pressed", "false");
  button.addEventListener("click", () => {
    TASKS.on = !TASKS.on;
    button.setAttribute("aria-pressed", String(TASKS.on));
    button.classList.toggle("on", TASKS.on);
    renderTasks().catch(report);
  });
  $("search").before(button);
  const box = el("div", "tasks-box");
  box.id = "tasks-box";
  box.hidden = true;
  $("tree").before(box);
}

// Hook: viewer.js calls this once a trace's summary is in.
function tasksTraceOpened(traceId, threads) {
  TASKS.traceId = traceId;
  TASKS.threads = threads.map((t) => t.key);
  if (TASKS.on) renderTasks().catch(report);
}

function taskRow(thread, r) {
  const line = el("div", "task-row");
  if (r.kind === "suspended") {
    line.classList.add("suspended");
    line.append(el("span", "muted", `⏸ ${r.text}`));
    return line;
  }
  const text = r.kind === "call" ? `${r.label}(${r.args || ""})` : `${r.label} ${r.args || ""}`;
  line.append(nodeLink(TASKS.traceId, thread, r.node, text));
  if (r.event === "resume") line.append(el("span", "muted", " [resume]"));
  if (r.value !== undefined) line.append(el("span", "muted", `  ${r.status === "yield" ? "⇢" : "→"} ${r.value}`));
  return line;
}

async function renderTasks() {
  const box = $("tasks-box");
  const seq = ++TASKS.seq;
  if (!TASKS.on || !TASKS.traceId) {
    box.hidden = true;
    box.replaceChildren();
    return;
  }
  box.hidden = false;
  box.replaceChildren(el("div", "muted", "Reading tasks…"));
  const parts = [];
  for (const thread of TASKS.threads) {
    const path = `/api/trace/${encodeURIComponent(TASKS.traceId)}/tasks?thread=${encodeURIComponent(thread)}`;
    const { body } = await api(path);
    if (seq !== TASKS.seq) return;
    for (const task of body.tasks || []) {
      const head = el("div", "task-head");
      head.append(el("b", "", task.label));
      const facts = [plural(task.calls, "call"), plural(task.steps, "step")];
      if (task.parent_task_id !== null) facts.push(`started by task ${task.parent_task_id}`);
      head.append(el("span", "muted", ` · ${facts.join(" · ")}`));
      if (task.created_in) {
        head.append(el("span", "muted", " · in "));
        head.append(nodeLink(TASKS.traceId, thread, task.created_in.node, task.created_in.label));
      }
      const section = el("div", "task");
      section.append(head, ...task.rows.map((r) => taskRow(thread, r)));
      parts.push(section);
    }
  }
  if (!parts.length) parts.push(el("div", "muted", "No asyncio tasks were recorded in this trace."));
  box.replaceChildren(...parts);
}

setupTasks();
