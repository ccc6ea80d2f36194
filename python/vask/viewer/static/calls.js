// The search across every stored trace (the "All traces" mode of the search
// field): the server's calls index answers /api/calls with the query written as
// `vask calls` takes it; each result opens its trace at the call. Plain script,
// loaded after viewer.js, whose helpers ($, el, api, plural) it uses.
"use strict";

// The search asked again while the calls index grows: one at a time, the newest search's.
let callsAgain = null;

// A search across every trace: the calls index answers, the results open the trace at the call.
async function runCallsSearch(q) {
  clearTimeout(callsAgain);
  const status = $("search-status");
  const box = $("calls-results");
  status.textContent = "searching all traces…";
  const { body } = await api(`/api/calls?${new URLSearchParams({ q }).toString()}`);
  box.replaceChildren();
  for (const m of body.matches) {
    const row = el("a", "call-hit");
    row.href = "#" + new URLSearchParams({ trace: m.trace, thread: m.thread, node: String(m.node) }).toString();
    const where = `${m.test ? m.test + " (" + m.test_outcome + ")" : m.trace} · ${m.thread_name || m.thread}`;
    row.append(el("span", "call-where", where + "  "), el("span", "", m.label + (m.truncated ? "  (matched on a cut value)" : "")));
    row.title = `${m.trace} · ${m.label}`;
    row.addEventListener("click", () => { box.hidden = true; });
    box.append(row);
  }
  const indexing = body.indexing;
  if (indexing && indexing.running) {
    const far = indexing.total ? `${indexing.done} of ${plural(indexing.total, "trace")}` : "the traces";
    box.append(el("div", "call-note", `indexing ${far}… the results cover what is indexed so far`));
    // asked again while the index grows, as long as the same search is shown
    clearTimeout(callsAgain);  // another search may have set one while this one waited
    callsAgain = setTimeout(() => {
      if (!box.hidden && $("search-text").value.trim() === q && $("search-mode").value === "calls") runCallsSearch(q).catch(report);
    }, 1000);
  } else if (body.not_indexed) {
    const note = el("div", "call-note", `${plural(body.not_indexed, "trace")} not indexed yet${indexing && indexing.error ? ` (indexing failed: ${indexing.error})` : ""} `);
    const start = el("button", "call-index", "index them");
    start.addEventListener("click", (event) => {
      event.preventDefault();
      start.disabled = true;
      indexCalls().then(() => runCallsSearch(q)).catch(report);
    });
    note.append(start);
    box.append(note);
  }
  box.hidden = !box.childElementCount;
  const more = body.matches.length >= body.limit ? ` (the first ${body.limit})` : "";
  status.textContent = body.matches.length ? `${plural(body.matches.length, "call")}${more}` : "no match";
}

// Asks the server to index the traces the calls index lacks (its one request that writes).
function indexCalls() {
  return api("/api/calls/index", { method: "POST", headers: { "X-Vask": "1" } });
}

function hideCallsResults() {
  const box = $("calls-results");
  if (box) box.hidden = true;
}
