// What the page knows of its host: the last state, identity and settings replies. Only
// this module assigns them; others read the live bindings and replace them through
// the setters.
export let S = null; // last reply of GET /api/estado
export let ID = null; // last reply of POST /api/identidad
export let AJ = null; // settings as GET /api/ajustes sent them

export function setS(v) {
  S = v;
}
export function setID(v) {
  ID = v;
}
export function setAJ(v) {
  AJ = v;
}
