// The technician's page served by the signalling server: its one entry point.
import { $ } from "./core.js";

$("main").dataset.ready = "1";
