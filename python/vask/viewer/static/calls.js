// The search across every stored trace (the "All traces" mode of the search
// field): the server's calls index answers /api/calls with the query written as
// `vask calls` takes it; each result opens its trace at the call. Plain script,
// loaded after viewer.js, whose helpers ($, el, api, plural) it uses.
"use strict";

// A search across every trace: the calls index answers, the results open the trace at the call.
async function runCallsSearch(q) {
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
  if (body.not_indexed) {
    box.append(el("div", "call-note", `${plural(body.not_indexed, "trace")} not indexed yet: vask calls or vask traces reindex indexes them`));
  }
  box.hidden = !box.childElementCount;
  const more = body.matches.length >= body.limit ? ` (the first ${body.limit})` : "";
  status.textContent = body.matches.length ? `${plural(body.matches.length, "call")}${more}` : "no match";
}

function hideCallsResults() {
  const box = $("calls-results");
  if (box) box.hidden = true;
}
