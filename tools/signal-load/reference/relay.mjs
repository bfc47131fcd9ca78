// The reference relay: the host/join/answer/signal exchange of vantriel-signal in a
// few lines of Node's ws, with none of its checks. Usage: node relay.mjs PORT
import { WebSocketServer } from 'ws';

const hosts = new Map(); // id -> host socket
const sessions = new Map(); // sid -> { host, tech }
let next = 1;
const wss = new WebSocketServer({ host: '127.0.0.1', port: Number(process.argv[2] || 8891) });
wss.on('connection', (ws, req) => {
  const [, kind, id] = req.url.split('/');
  ws.on('message', (raw) => {
    let m;
    try { m = JSON.parse(raw); } catch { return; }
    if (kind === 'host' && m.t === 'hello') { hosts.set(id, ws); ws.send('{"t":"ready"}'); }
    else if (kind === 'join' && m.t === 'join') {
      const host = hosts.get(id);
      if (!host) return ws.send('{"t":"offline"}');
      ws.sid = String(next++);
      sessions.set(ws.sid, { host, tech: ws });
      host.send(JSON.stringify({ t: 'req', sid: ws.sid, name: m.name, pass: m.pass, iceServers: [] }));
      ws.send('{"t":"waiting","timeout":60}');
    } else if (m.t === 'answer') {
      const s = sessions.get(m.sid);
      if (s) s.tech.send(JSON.stringify(m.ok ? { t: 'accepted', name: '', iceServers: [] } : { t: 'denied', reason: m.reason }));
    } else if (m.t === 'signal') {
      const s = sessions.get(kind === 'host' ? m.sid : ws.sid);
      if (!s) return;
      if (kind === 'host') s.tech.send(JSON.stringify({ t: 'signal', data: m.data }));
      else s.host.send(JSON.stringify({ t: 'signal', sid: ws.sid, data: m.data }));
    }
  });
});
wss.on('listening', () => console.log(`listening on http://127.0.0.1:${wss.address().port}`));
