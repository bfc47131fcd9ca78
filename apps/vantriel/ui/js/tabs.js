// The tab strip of a page: tabs `tab-NAME` showing panes `pane-NAME`, one at a time; the
// arrow keys, Home and End move along the strip as a tab list's do.

import { $ } from "./core.js";

// Wires the strip `.tabs` for `names` (the first one shown); `onShow(name)` runs after a
// pane is shown. Returns show(name, focus) and current().
export function makeTabs(names, onShow) {
  let current = names[0];
  const show = (name, focus) => {
    if (!names.includes(name)) return;
    current = name;
    for (const n of names) {
      const b = $("tab-" + n);
      const on = n === name;
      b.setAttribute("aria-selected", on ? "true" : "false");
      b.tabIndex = on ? 0 : -1;
      $("pane-" + n).hidden = !on;
    }
    if (focus) $("tab-" + name).focus();
    if (onShow) onShow(name);
  };
  const strip = document.querySelector(".tabs");
  strip.addEventListener("click", (e) => {
    const b = e.target.closest("[role=tab]");
    if (b) show(b.dataset.tab);
  });
  strip.addEventListener("keydown", (e) => {
    const i = names.indexOf(current);
    let n = -1;
    if (e.key === "ArrowRight") n = (i + 1) % names.length;
    else if (e.key === "ArrowLeft") n = (i + names.length - 1) % names.length;
    else if (e.key === "Home") n = 0;
    else if (e.key === "End") n = names.length - 1;
    if (n < 0) return;
    e.preventDefault();
    show(names[n], true);
  });
  return { show, current: () => current };
}
