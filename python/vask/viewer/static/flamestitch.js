// The flame chart's bars that are not calls of the open trace itself: calls of a
// flushed subtree drawn in place of its marker, a marker whose subtree is not
// drawn (or is still loading), and fold records drawn as one block each.
// viewer.js asks flameExtra() for such a bar's look and target, and hands each
// timeline answer to flameLoading(), which shows the loading indicator and asks
// again until the subtrees the zoom needs are loaded.
"use strict";

const FLAME_RETRY = 400;  // ms between asking again while subtrees load

// {fill, label, tip, select: [trace, thread, node], reveal} for a bar with a seventh entry.
function flameExtra(b, dark) {
  const [node, , s, e, name, merged, x] = b;
  const data = S.flame.data;
  if (x.folded !== undefined) {
    return {
      fill: dark ? "#6b5a2e" : "#f0d98c",
      label: x.label || `… ${fmtCount(x.folded)} folded calls`,
      tip: `${x.label || `${fmtCount(x.folded)} folded calls`}: counted, not recorded`,
      select: [S.traceId, S.flame.thread, node],
      reveal: true,
    };
  }
  if (x.flushed !== undefined) {
    const calls = x.calls ? `${fmtCount(x.calls)} calls` : "calls";
    const state = x.loading ? "loading…" : "zoom in to draw them";
    return {
      fill: dark ? "#3d4a5c" : "#d9e3f0",
      label: `⤓ ${x.label || "subtree"}: ${calls} stored apart (${state})`,
      tip: `subtree ${x.flushed}: ${calls} stored apart · ${state}`,
      select: [S.traceId, S.flame.thread, node],
      reveal: true,
    };
  }
  const sub = data && data.subtrees ? data.subtrees[x.sub] : null;
  const text = merged ? `${fmtCount(merged)} calls` : (data.names[name] || "?");
  return {
    fill: merged ? (dark ? "#4a5260" : "#c9ced6") : `hsl(${hue(name < 0 ? 0 : name)}, ${dark ? 45 : 60}%, ${dark ? 38 : 72}%)`,
    label: text,
    tip: merged
      ? `${text}, each under a pixel (stored apart in ${sub ? sub.trace : "?"}): click to zoom in`
      : `${text} · ${fmtDuration(e - s)} · stored apart in ${sub ? sub.trace : "?"}`,
    select: sub ? [sub.trace, sub.thread, node] : null,
    reveal: false,
  };
}

// The indicator while flushed subtrees load, and asking again until they are.
function flameLoading(data) {
  const box = $("flame-loading");
  if (!box) return;
  const n = data && data.loading ? data.loading.length : 0;
  box.hidden = n === 0;
  box.textContent = n ? `loading ${plural(n, "flushed subtree")}…` : "";
  if (n) fetchFlame(FLAME_RETRY);
}

// Whether the bar flameExtra() described is the selected call.
function flameSelected(ext) {
  const t = ext.select;
  const now = S.selected;
  return !!(t && now && t[0] === now.trace && t[1] === now.thread && t[2] === now.node);
}
