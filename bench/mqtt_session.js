// A Sparkplug session of the line server on the reference plant, as a
// subscriber sees it, decoded by Eclipse Tahu's sparkplug-payload: births,
// a DCMD and the data it brings back, a rebirth, a station's death and
// return, and the node's death when the server is killed. For the record
// (bench/README.md), not a test: it prints what came, abridged.
//
// Usage: node bench/mqtt_session.js BUILD_BIN_DIR [PLANT.toml]
//   (the npm packages of tests/mqtt, installed by scripts/setup.sh)
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const modules = path.join(__dirname, '..', 'tests', 'mqtt', 'node_modules');
const mqtt = require(path.join(modules, 'mqtt'));
const sparkplug = require(path.join(modules, 'sparkplug-payload')).get('spBv1.0');

const [BIN, PLANT = path.join(__dirname, 'plant', 'plant.toml')] = process.argv.slice(2);
if (!BIN) {
    console.error('usage: node bench/mqtt_session.js BUILD_BIN_DIR [PLANT.toml]');
    process.exit(64);
}
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vave8-session-'));
fs.chmodSync(scratch, 0o755);
const children = [];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function stopAll() { for (const c of children) if (c.exitCode === null) c.kill('SIGKILL'); }
process.on('exit', () => { stopAll(); fs.rmSync(scratch, { recursive: true, force: true }); });

async function until(what, check, timeout = 90000) {
    const deadline = Date.now() + timeout;
    for (;;) {
        const v = check();
        if (v) return v;
        if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
        await sleep(50);
    }
}
function freePort() {
    return new Promise((resolve) => {
        const s = net.createServer();
        s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    });
}
function run(args, opts = {}) {
    const p = spawn(args[0], args.slice(1), { stdio: ['ignore', 'pipe', 'pipe'], ...opts });
    children.push(p);
    p.lines = [];
    p.stdout.on('data', (d) => p.lines.push(...d.toString().split('\n').filter(Boolean)));
    p.stderr.on('data', () => {});
    return p;
}
function control(sock, line) {
    return new Promise((resolve, reject) => {
        const c = net.connect(sock, () => c.write(line + '\n'));
        c.on('data', (d) => { c.end(); resolve(d.toString().trim()); });
        c.on('error', reject);
    });
}

const num = (v) => (typeof v === 'object' && v !== null && 'low' in v ? Number(v.toString()) : v);
function show(m) {
    if (!m.spb) return `${m.topic}`;
    const seq = m.spb.seq === undefined || m.spb.seq === null ? '' : ` seq=${num(m.spb.seq)}`;
    const ms = m.spb.metrics;
    const shown = ms.slice(0, 3).map((x) => {
        const q = x.properties && x.properties.Quality ? `(q${x.properties.Quality.value})` : '';
        return `${x.name ?? '#' + num(x.alias)}=${JSON.stringify(num(x.value))}${q}`;
    });
    return `${m.topic}${seq} [${ms.length} metrics] ${shown.join(' ')}${ms.length > 3 ? ' ...' : ''}`;
}

(async () => {
    const port = await freePort();
    fs.writeFileSync(path.join(scratch, 'mosquitto.conf'),
        `listener ${port} 127.0.0.1\nallow_anonymous true\nlog_dest none\n`);
    run(['/usr/sbin/mosquitto', '-c', path.join(scratch, 'mosquitto.conf')]);
    const sock = path.join(scratch, 'p8sim.sock');
    const sim = run([path.join(BIN, 'p8sim'), '--pace', '115200', '--turnaround', '5', '--control', sock]);
    const pty = await until('p8sim', () => sim.lines[0]);

    // The plant as it is, its tag file where it lies, [mqtt] here; a
    // demoted station tried every 5 s so that it comes back soon.
    const plantDir = path.dirname(path.resolve(PLANT));
    let text = fs.readFileSync(PLANT, 'utf8')
        .replace(/^file\s*=\s*"([^"]+)"/m, (_, f) => `file = "${path.resolve(plantDir, f)}"`)
        .replace(/^\[line\]$/m, '[line]\ndemote_s = 5');
    text += `\n[mqtt]\nbroker = "mqtt://127.0.0.1:${port}"\nkeepalive_s = 5\nstate_dir = "${scratch}/state"\n` +
        '[mqtt.sparkplug]\ngroup_id = "site"\n';
    const config = path.join(scratch, 'line.toml');
    fs.writeFileSync(config, text);

    await sleep(300);
    const got = [];
    const sub = mqtt.connect(`mqtt://127.0.0.1:${port}`, { reconnectPeriod: 200 });
    sub.on('message', (topic, payload) => {
        const m = { topic, at: Date.now() };
        try { m.spb = sparkplug.decodePayload(payload); } catch { /* STATE or garbage */ }
        got.push(m);
        console.log(`+${((m.at - t0) / 1000).toFixed(1).padStart(5)} s  ${show(m)}`);
    });
    await until('subscriber', () => sub.connected);
    await sub.subscribeAsync('spBv1.0/site/#', { qos: 1 });
    const t0 = Date.now();
    const note = (s) => console.log(`+${((Date.now() - t0) / 1000).toFixed(1).padStart(5)} s  -- ${s}`);
    const freeModbus = await freePort();
    note('vave8gw --config plant.toml with [mqtt], scanning p8sim at 115200 baud');
    let gw = run([path.join(BIN, 'vave8gw'), '--config', config, '--port', pty, '--listen', `127.0.0.1:${freeModbus}`]);
    const find = (re, from = 0) => got.slice(from).find((m) => re.test(m.topic));
    await until('the births', () => got.filter((m) => /DBIRTH/.test(m.topic)).length >= 16);

    // A DCMD writes a read-write tag; the scan reads it back as DDATA.
    const d3 = find(/DBIRTH\/plant\/station03$/);
    const tag = d3.spb.metrics.find((x) => x.name === 'st03/outputs3/output074');
    note(`DCMD station03 st03/outputs3/output074 (alias ${num(tag.alias)}) = true`);
    let mark = got.length;
    await sub.publishAsync('spBv1.0/site/DCMD/plant/station03', sparkplug.encodePayload({
        timestamp: Date.now(), metrics: [{ alias: num(tag.alias), type: 'Boolean', value: true }] }));
    await until('the DDATA', () => got.slice(mark).some((m) => /DDATA\/plant\/station03/.test(m.topic) &&
        m.spb.metrics.some((x) => num(x.alias) === num(tag.alias) && x.value === true)));

    note('NCMD Node Control/Rebirth = true');
    mark = got.length;
    await sub.publishAsync('spBv1.0/site/NCMD/plant', sparkplug.encodePayload({
        timestamp: Date.now(), metrics: [{ name: 'Node Control/Rebirth', type: 'Boolean', value: true }] }));
    await until('the rebirth', () => got.slice(mark).filter((m) => /DBIRTH/.test(m.topic)).length >= 16);

    note('p8sim: station 5 stops answering');
    mark = got.length;
    await control(sock, 'stations 0-4,6-15');
    await until('DDEATH station05', () => find(/DDEATH\/plant\/station05$/, mark));
    note('p8sim: station 5 answers again');
    await control(sock, 'stations all');
    await until('DBIRTH station05', () => find(/DBIRTH\/plant\/station05$/, mark));

    note('vave8gw killed (SIGKILL): the broker sends its Will');
    mark = got.length;
    gw.kill('SIGKILL');
    await until('NDEATH', () => find(/NDEATH\/plant$/, mark));
    sub.end(true);
    stopAll();
    process.exit(0);
})().catch((e) => { console.error(e.message); stopAll(); process.exit(1); });
