// Both PCs meet the signalling server: registration, the ICE list it hands out, a TURN
// relay through coturn, and a technician asking for a PC that nobody registered.
import test from 'node:test';
import assert from 'node:assert/strict';
import { withTwoPcs } from '../lib/twopc.mjs';
import { waitToast } from '../lib/host.mjs';

const ONLINE = 'Disponible · esperando a quien te ayude';
const OFFLINE = 'Esa PC no está disponible: Vantriel cerrado, sin internet o con «Disponible» apagado.';

let pcs;
withTwoPcs((p) => { pcs = p; });

test('both pages register under their own IDs', async () => {
  for (const pc of [pcs.host, pcs.tech]) {
    await pc.page.waitForFunction((want) => document.getElementById('hostStatus').textContent.trim() === want,
      ONLINE, { timeout: 15000 });
    const shown = await pc.page.locator('#myId').textContent();
    assert.equal(shown.replace(/\D/g, ''), pc.id);
  }
});

test('the ICE list names only loopback STUN and TURN, TURN with credentials', async () => {
  const { iceServers } = await (await fetch(pcs.signalUrl + '/ice')).json();
  const urls = iceServers.flatMap((s) => [].concat(s.urls));
  assert.deepEqual(urls.map((u) => u.split(':')[0]).sort(), ['stun', 'turn']);
  for (const u of urls) assert.match(u, /^(stun|turn):127\.0\.0\.1:\d+(\?transport=udp)?$/);
  const turn = iceServers.find((s) => [].concat(s.urls).some((u) => u.startsWith('turn:')));
  assert.match(turn.username, /^\d+:vantriel$/);
  assert.ok(turn.credential.length > 0);
});

// Proves coturn, its secret and the loopback relay work before any session relies on them.
test('a data channel echoes through the TURN relay alone', async () => {
  const { iceServers } = await (await fetch(pcs.signalUrl + '/ice')).json();
  const result = await pcs.tech.page.evaluate(async (servers) => {
    const config = { iceServers: servers, iceTransportPolicy: 'relay' };
    const a = new RTCPeerConnection(config);
    const b = new RTCPeerConnection(config);
    // Whole descriptions once gathering ends, so no candidate races a description.
    const described = async (pc) => {
      await pc.setLocalDescription();
      while (pc.iceGatheringState !== 'complete') await new Promise((r) => setTimeout(r, 20));
      return pc.localDescription;
    };
    b.ondatachannel = ({ channel }) => { channel.onmessage = (m) => channel.send('eco:' + m.data); };
    const channel = a.createDataChannel('eco');
    const echoed = new Promise((resolve, reject) => {
      channel.onopen = () => channel.send('hola');
      channel.onmessage = (m) => resolve(m.data);
      setTimeout(() => reject(new Error(`no echo; ICE ${a.iceConnectionState}/${b.iceConnectionState}`)), 15000);
    });
    await b.setRemoteDescription(await described(a));
    await a.setRemoteDescription(await described(b));
    const echo = await echoed;
    const stats = [...(await a.getStats()).values()];
    // The pair in use, as the transport names it (a pair's own flags can lag the echo).
    const transport = stats.find((s) => s.type === 'transport' && s.selectedCandidatePairId);
    const pair = stats.find((s) => s.id === transport?.selectedCandidatePairId);
    const local = stats.find((s) => s.id === pair?.localCandidateId);
    a.close();
    b.close();
    return { echo, localType: local?.candidateType, localAddress: local?.address };
  }, iceServers);
  assert.deepEqual(result, { echo: 'eco:hola', localType: 'relay', localAddress: '127.0.0.1' });
});

test('asking for an ID that nobody registered says that PC is not available', async () => {
  const page = pcs.tech.page;
  await page.fill('#peerId', '700000009');
  await page.fill('#peerKey', 'K7M2QX');
  await page.click('#connectBtn');
  assert.equal(await waitToast(page, OFFLINE, 5000), OFFLINE);
});

test('neither page logged an error', () => {
  assert.deepEqual(pcs.pageErrors(), []);
});
