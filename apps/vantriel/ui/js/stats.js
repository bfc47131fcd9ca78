// The statistics line of a session, from one getStats() report. Pure: the caller keeps
// the previous sample (bytes and time) for the rate.

// `entries` are the report's values; `role` picks the video direction (host: outbound,
// technician: inbound); `prev` is the previous sample or null. Returns the line, the
// sample to keep, and `quiet`: nothing at all arrived on the transport since `prev` (media,
// RTCP and ICE checks all stopped: the path is gone, whether or not ICE has noticed yet).
export function statsLine(entries, role, prev, now) {
  const list = Array.from(entries || []);
  const byId = new Map(list.map((e) => [e.id, e]));
  // The transport names the pair in use; other succeeded pairs (a relay nominated
  // earlier, the old ones after an ICE restart) may still be listed before it.
  const transport = list.find((e) => e.type === "transport" && e.selectedCandidatePairId);
  const pair =
    (transport && byId.get(transport.selectedCandidatePairId)) ||
    list.find((e) => e.type === "candidate-pair" && e.state === "succeeded" && (e.nominated || e.selected));
  const kind = role === "host" ? "outbound-rtp" : "inbound-rtp";
  const rtp = list.find((e) => e.type === kind && (e.kind === "video" || e.mediaType === "video"));
  const parts = [];
  if (pair) {
    const local = byId.get(pair.localCandidateId);
    const remote = byId.get(pair.remoteCandidateId);
    const relay = [local, remote].some((c) => c && c.candidateType === "relay");
    parts.push(relay ? "TURN" : "P2P");
    if (typeof pair.currentRoundTripTime === "number") parts.push(Math.round(pair.currentRoundTripTime * 1000) + " ms");
  }
  let sample = prev;
  const received = transport && typeof transport.bytesReceived === "number" ? transport.bytesReceived : null;
  if (rtp) {
    if (typeof rtp.framesPerSecond === "number") parts.push(Math.round(rtp.framesPerSecond) + " fps");
    if (rtp.frameWidth && rtp.frameHeight) parts.push(rtp.frameWidth + "×" + rtp.frameHeight);
    const bytes = role === "host" ? rtp.bytesSent : rtp.bytesReceived;
    if (typeof bytes === "number") {
      if (prev && now > prev.at && bytes >= prev.bytes) {
        const kbps = ((bytes - prev.bytes) * 8) / (now - prev.at);
        parts.push(kbps >= 1000 ? (kbps / 1000).toFixed(1) + " Mbps" : Math.round(kbps) + " kbps");
      }
      sample = { bytes, at: now };
    }
  }
  const quiet = !!(prev && received !== null && prev.received === received);
  if (received !== null) sample = { ...sample, received };
  return { line: parts.filter(Boolean).join(" · "), sample, quiet };
}
