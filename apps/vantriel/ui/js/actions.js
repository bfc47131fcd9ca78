// Small things the page asks of its host, each with what happens when the host cannot:
// open a link or a folder, the donation page.

import { DONATE_URL } from "./core.js";
import { t } from "./i18n.js";
import { post } from "./api.js";
import { toast } from "./ui.js";

export function openLink(what, url) {
  return post("/api/abrir", url ? { what, url } : { what }).catch(() => null);
}

export async function donate() {
  let ok = false;
  try {
    const r = await post("/api/abrir", { what: "donar" });
    ok = !!(r && r.ok);
  } catch (e) {
    ok = false;
  }
  if (ok) toast(t("donThanks"));
  else window.open(DONATE_URL, "_blank", "noopener");
}
