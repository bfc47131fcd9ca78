// The statistics line of a session, from one getStats() report. Pure: the caller keeps
// the previous sample (bytes and time) for the rate.

// `entries` are the report's values; `role` picks the video direction (host: outbound,
// technician: inbound); `prev` is the previous sample or null. Returns the line and the
// sample to keep.
export function statsLine(entries, role, prev, now) {
  const list = Array.from(entries || []);
  const byId = new Map(list.map((e) => [e.id, e]));
  const pair = list.find(
    (e) => e.type === "candidate-pair" && e.state === "succeeded" && (e.nominated || e.selected),
  );
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
  return { line: parts.filter(Boolean).join(" · "), sample };
}
