// The MQTT front-end (over the fake engine) against Debian's mosquitto,
// seen by a subscriber nobody here wrote: the npm mqtt client, with Eclipse
// Tahu's sparkplug-payload decoding the Sparkplug B payloads.
//
// Usage: node mqtt_test.js FAKELINE MOSQUITTO GROUP
//   GROUP: Sparkplug PrimaryHost Json Auth Tls Forward Restart SlowBroker
//   LineServer takes VAVE8GW and P8SIM after GROUP: the line server's tag
//   engine scanning the simulated PLC, instead of the fake engine.
// MQTT_OUTAGE_S sets how long the broker stays away in Forward (default 5;
// 30 for the longer run in the README).
'use strict';

const { test, after } = require('node:test');
const assert = require('node:assert');
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const mqtt = require('mqtt');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

const [FAKELINE, MOSQUITTO, GROUP, VAVE8GW, P8SIM] = process.argv.slice(2);
const OUTAGE_S = Number(process.env.MQTT_OUTAGE_S || 5);
const WAIT_MS = 20000;
const children = new Set();
const clients = new Set();
const servers = new Set();
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vave8-mqtt-'));
// mosquitto started as root runs as its own user: it must read the test's
// files and write its persistence folder.
fs.chmodSync(scratch, 0o755);

// Servers and the line go away even when a test fails.
function stopAll() {
    for (const c of clients) c.end(true);
    for (const s of servers) s.close();
    for (const p of children) p.kill('SIGKILL');
}
after(() => {
    stopAll();
    fs.rmSync(scratch, { recursive: true, force: true });
});
process.on('exit', stopAll);

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, check, timeout = WAIT_MS) {
    const deadline = Date.now() + timeout;
    for (;;) {
        const v = await check();
        if (v) return v;
        if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
        await sleep(20);
    }
}

function freePort() {
    return new Promise((resolve, reject) => {
        const s = net.createServer();
        s.on('error', reject);
        s.listen(0, '127.0.0.1', () => {
            const { port } = s.address();
            s.close(() => resolve(port));
        });
    });
}

function canConnect(port) {
    return new Promise((resolve) => {
        const s = net.connect(port, '127.0.0.1');
        s.on('connect', () => { s.destroy(); resolve(true); });
        s.on('error', () => resolve(false));
    });
}

class Child {
    constructor(args, opts = {}) {
        this.proc = spawn(args[0], args.slice(1), { stdio: ['pipe', 'pipe', 'pipe'], ...opts });
        children.add(this.proc);
        this.out = [];
        this.err = [];
        this.exited = null;
        const collect = (stream, into) => {
            let rest = '';
            stream.on('data', (d) => {
                rest += d;
                const lines = rest.split('\n');
                rest = lines.pop();
                into.push(...lines);
            });
        };
        collect(this.proc.stdout, this.out);
        collect(this.proc.stderr, this.err);
        this.proc.on('exit', (code, signal) => {
            this.exited = { code, signal };
            children.delete(this.proc);
        });
    }
    send(line) { this.proc.stdin.write(line + '\n'); }
    async waitOut(re, timeout) { return until(`${re} on stdout`, () => this.out.find((l) => re.test(l)), timeout); }
    async waitErr(re, timeout) { return until(`${re} on stderr`, () => this.err.find((l) => re.test(l)), timeout); }
    async stop(signal = 'SIGTERM') {
        if (this.exited) return;
        this.proc.kill(signal);
        await until('exit', () => this.exited);
    }
}

// mosquitto on a free loopback port.
class Broker {
    constructor(port, { passwordFile, tls } = {}) {
        this.port = port;
        this.dir = fs.mkdtempSync(path.join(scratch, 'broker-'));
        fs.chmodSync(this.dir, 0o777);
        const lines = [`listener ${port} 127.0.0.1`, `allow_anonymous ${passwordFile ? 'false' : 'true'}`,
            'max_queued_messages 0', 'log_dest stderr'];
        if (passwordFile) lines.push(`password_file ${passwordFile}`);
        if (tls) lines.push(`cafile ${tls.ca}`, `certfile ${tls.cert}`, `keyfile ${tls.key}`);
        this.conf = path.join(this.dir, 'mosquitto.conf');
        fs.writeFileSync(this.conf, lines.join('\n') + '\n');
    }
    async start() {
        this.child = new Child([MOSQUITTO, '-c', this.conf]);
        const deadline = Date.now() + WAIT_MS;
        while (!(await canConnect(this.port))) {
            if (this.child.exited) throw new Error(`mosquitto exited: ${this.child.err.join('\n')}`);
            if (Date.now() > deadline) throw new Error('mosquitto did not listen');
            await sleep(50);
        }
    }
    async stop() { await this.child.stop('SIGTERM'); }
}

// The way from the line to the broker, which a test can cut and restore:
// the broker is away for the line alone, and the subscriber, connected
// throughout, sees everything the broker takes. (Restarting the broker
// instead races the subscriber's reconnection against the line's, and
// Debian's mosquitto 2.0.11 may then hold back a queued QoS 1 message.)
class Gate {
    constructor(brokerPort) {
        this.brokerPort = brokerPort;
        this.open = true;
        this.sockets = new Set();
    }
    async start() {
        this.port = await freePort();
        this.server = net.createServer((down) => {
            if (!this.open) return down.destroy();
            const up = net.connect(this.brokerPort, '127.0.0.1');
            for (const [a, b] of [[down, up], [up, down]]) {
                this.sockets.add(a);
                a.pipe(b);
                a.on('error', () => b.destroy());
                a.on('close', () => { this.sockets.delete(a); b.destroy(); });
            }
        });
        await new Promise((resolve) => this.server.listen(this.port, '127.0.0.1', resolve));
        servers.add(this.server);
    }
    cut() {
        this.open = false;
        for (const sock of this.sockets) sock.destroy();
    }
    restore() { this.open = true; }
}

// The line server's side: the front-end over the fake engine.
function writeConfig(name, port, extra = '', body = null) {
    const dir = fs.mkdtempSync(path.join(scratch, `${name}-`));
    const text = body || `[mqtt]\nbroker = "mqtt://127.0.0.1:${port}"\nclient_id = "edge-${name}"\nkeepalive_s = 5\n${extra}\n` +
        '[mqtt.sparkplug]\ngroup_id = "plant"\nedge_node_id = "line1"\n[mqtt.json]\nprefix = "vave8/line1"\n';
    fs.writeFileSync(path.join(dir, 'line.toml'), text);
    return dir;
}

async function startLine(dir) {
    const line = new Child([FAKELINE, path.join(dir, 'line.toml')], { env: { ...process.env, MQTT_NODE_DATA_MS: '200' } });
    await line.waitOut(/^ready$/);
    return line;
}

// A clean stop: its death sent, its buffer closed, and (under the
// sanitizers) nothing leaked.
async function quit(line) {
    line.send('quit');
    await line.waitOut(/^stopped$/);
    await until('line exit', () => line.exited);
    assert.strictEqual(line.exited.code, 0, line.err.slice(-20).join('\n'));
}

// The line's statistics as it reports them now.
async function lineStats(line) {
    const seen = line.out.length;
    line.send('stats');
    const reply = await until('stats', () => line.out.slice(seen).find((l) => l.startsWith('stats ')));
    return JSON.parse(reply.slice(6));
}

// Every message under the topics, decoded, in the order it came.
async function subscribe(port, topics, opts = {}) {
    const url = `${opts.tls ? 'mqtts' : 'mqtt'}://127.0.0.1:${port}`;
    const c = mqtt.connect(url, { reconnectPeriod: 200, connectTimeout: 5000, ...opts });
    clients.add(c);
    c.got = [];
    c.on('message', (topic, payload, packet) => {
        const m = { topic, payload, retain: packet.retain, qos: packet.qos };
        // (Commands are the test's own, some of them garbage on purpose.)
        if (topic.startsWith('spBv1.0/') && !topic.startsWith('spBv1.0/STATE/')) {
            try { m.spb = sparkplug.decodePayload(payload); } catch (e) { if (!topic.includes('CMD/')) throw e; }
        }
        else { try { m.json = JSON.parse(payload.toString()); } catch { m.text = payload.toString(); } }
        c.got.push(m);
    });
    await until('subscriber connected', () => c.connected);
    await c.subscribeAsync(topics, { qos: 1 });
    return c;
}

const N = 'spBv1.0/plant/';
const find = (c, topic, from = 0) => c.got.slice(from).find((m) => m.topic === topic);
const metric = (msg, name) => msg.spb.metrics.find((m) => m.name === name);
const num = (v) => (typeof v === 'object' && v !== null && 'low' in v ? Number(v.toString()) : v);

// Sparkplug's seq: every message of the edge node but NDEATH, one more each
// time (0 after 255), from 0 at each NBIRTH; each at QoS 0, not retained.
function checkSeq(msgs) {
    let expect = null;
    for (const m of msgs) {
        if (!m.spb || m.topic.includes('/NDEATH/') || m.topic.includes('CMD/')) continue;
        assert.strictEqual(m.qos, 0, `QoS of ${m.topic}`);
        assert.strictEqual(m.retain, false, `retain of ${m.topic}`);
        const seq = num(m.spb.seq);
        if (m.topic.includes('/NBIRTH/')) expect = 0;
        assert.strictEqual(seq, expect, `seq of ${m.topic}`);
        expect = (expect + 1) % 256;
    }
}

const groups = {
    async Sparkplug() {
        const port = await freePort();
        const broker = new Broker(port);
        await broker.start();
        const sub = await subscribe(port, [`${N}#`, 'vave8/line1/#']);
        const dir = writeConfig('sp', port);
        let line = await startLine(dir);

        // Births: the node's first, every metric with name, alias, type and quality.
        const nbirth = await until('NBIRTH', () => find(sub, `${N}NBIRTH/line1`));
        const d1 = await until('DBIRTH station01', () => find(sub, `${N}DBIRTH/line1/station01`));
        await until('DBIRTH station02', () => find(sub, `${N}DBIRTH/line1/station02`));
        assert.ok(sub.got.indexOf(nbirth) < sub.got.indexOf(d1), 'NBIRTH before DBIRTH');
        const bdSeq = num(metric(nbirth, 'bdSeq').value);
        assert.strictEqual(metric(nbirth, 'Node Control/Rebirth').value, false);
        assert.strictEqual(metric(nbirth, 'Node Control/Rebirth').type, 'Boolean');
        assert.ok(metric(nbirth, 'Stations/station01/State'));
        const types = { 'tank/level': 'UInt16', 'tank/temp': 'Float', 'pump/run': 'Boolean', count: 'Int32' };
        for (const [name, type] of Object.entries(types)) {
            const m = metric(d1, name);
            assert.ok(m, `${name} in DBIRTH`);
            assert.strictEqual(m.type, type, name);
            assert.strictEqual(typeof num(m.alias), 'number', `${name} alias`);
            assert.ok(num(m.timestamp) > 0, `${name} timestamp`);
            assert.strictEqual(m.properties.Quality.value, 0, `${name} not scanned: bad`);
            assert.strictEqual(m.value, null, `${name} not scanned: null`);
        }
        assert.strictEqual(metric(d1, 'tank/level').properties.engUnit.value, 'mm');
        const d2 = find(sub, `${N}DBIRTH/line1/station02`);
        const types2 = { flow: 'Double', 'valve/open': 'Boolean', small: 'Int8', bytes: 'UInt8', total: 'UInt32' };
        for (const [name, type] of Object.entries(types2)) assert.strictEqual(metric(d2, name).type, type, name);
        const aliases = [...d1.spb.metrics, ...d2.spb.metrics, ...nbirth.spb.metrics]
            .filter((m) => m.alias !== undefined).map((m) => num(m.alias));
        assert.strictEqual(new Set(aliases).size, aliases.length, 'aliases unique in the edge node');

        // A scan cycle's changes: one DDATA per device, by alias, and JSON.
        const mark = sub.got.length;
        line.send('set tank/level 42 count -7 tank/temp 1.5 small -3 total 4000000000 flow 12.5');
        const dd1 = await until('DDATA station01', () => find(sub, `${N}DDATA/line1/station01`, mark));
        const dd2 = await until('DDATA station02', () => find(sub, `${N}DDATA/line1/station02`, mark));
        assert.strictEqual(dd1.spb.metrics.length, 3);
        const byAlias = (d, msg) => Object.fromEntries(msg.spb.metrics.map((m) => [
            d.spb.metrics.find((x) => num(x.alias) === num(m.alias)).name, num(m.value)]));
        assert.deepStrictEqual(byAlias(d1, dd1), { 'tank/level': 42, count: -7, 'tank/temp': 1.5 });
        assert.deepStrictEqual(byAlias(d2, dd2), { small: -3, total: 4000000000, flow: 12.5 });
        assert.ok(dd1.spb.metrics.every((m) => m.name === undefined && m.properties.Quality.value === 192));
        // (The first snapshot, before any scan, may come late: null.)
        const j = await until('JSON tank/level', () => sub.got.slice(mark).find((m) => m.topic === 'vave8/line1/tank/level' && m.json.value !== null));
        assert.strictEqual(j.json.value, 42);
        assert.strictEqual(j.json.quality, 'good');
        assert.ok(j.json.ts > 1.6e12);

        // Rebirth on NCMD over the same connection, same bdSeq.
        const before = sub.got.length;
        const ncmd = sparkplug.encodePayload({ timestamp: Date.now(), metrics: [{ name: 'Node Control/Rebirth', type: 'Boolean', value: true }] });
        await sub.publishAsync(`${N}NCMD/line1`, ncmd);
        const reborn = await until('NBIRTH again', () => find(sub, `${N}NBIRTH/line1`, before));
        await until('DBIRTH again', () => find(sub, `${N}DBIRTH/line1/station02`, before));
        assert.strictEqual(num(metric(reborn, 'bdSeq').value), bdSeq);
        assert.strictEqual(metric(find(sub, `${N}DBIRTH/line1/station01`, before), 'tank/level').value, 42);
        assert.strictEqual((await lineStats(line)).reconnects, 0, 'rebirth without a new connection');
        assert.ok(!sub.got.some((m) => m.topic.includes('NDEATH')), 'no death on rebirth');

        // DCMD by alias and by name reaches the engine's write path.
        const aliasOf = num(metric(d1, 'tank/level').alias);
        await sub.publishAsync(`${N}DCMD/line1/station01`, sparkplug.encodePayload({ timestamp: Date.now(),
            metrics: [{ alias: aliasOf, type: 'UInt16', value: 7 }] }));
        await line.waitOut(/^write tank\/level 7$/);
        await sub.publishAsync(`${N}DCMD/line1/station02`, sparkplug.encodePayload({ timestamp: Date.now(),
            metrics: [{ name: 'flow', type: 'Double', value: -2.5 }] }));
        await line.waitOut(/^write flow -2.5$/);

        // A demoted station dies and is born again when it answers.
        let m0 = sub.got.length;
        line.send('station 2 demoted');
        await until('DDEATH station02', () => find(sub, `${N}DDEATH/line1/station02`, m0));
        // ... and the node's statistics say so, by alias.
        const stateAlias = num(metric(reborn, 'Stations/station02/State').alias);
        await until('NDATA with the station state', () => sub.got.slice(m0).some((m) => m.topic === `${N}NDATA/line1` &&
            m.spb.metrics.some((x) => num(x.alias) === stateAlias && x.value === 'demoted')));
        assert.ok(!find(sub, `${N}DDEATH/line1/station01`, m0), 'the other station lives');
        const st = await until('JSON station state', () => sub.got.slice(m0).find((m) => m.topic === 'vave8/line1/_status/station02'));
        assert.strictEqual(st.json.state, 'demoted');
        // Back, it is born once the scan has read each of its tags again
        // (the JSON state says at once that it answers)...
        const answers = async () => {
            const from = sub.got.length;
            line.send('station 2 good');
            await until('JSON station02 good', () => sub.got.slice(from).find((m) =>
                m.topic === 'vave8/line1/_status/station02' && m.json.state === 'good'));
            return from;
        };
        m0 = await answers();
        assert.ok(!find(sub, `${N}DBIRTH/line1/station02`, m0), 'no birth with the values of a dead station');
        line.send('set flow 1 valve/open 1 small 2 bytes 3 total 4');
        const back = await until('DBIRTH station02 back', () => find(sub, `${N}DBIRTH/line1/station02`, m0));
        assert.deepStrictEqual(back.spb.metrics.map((m) => [m.name, num(m.value), m.properties.Quality.value]),
            [['flow', 1, 192], ['valve/open', true, 192], ['small', 2, 192], ['bytes', 3, 192], ['total', 4, 192]]);
        // ... or, when a tag is not read, after its slowest scan period and
        // a margin, with what it has.
        line.send('station 2 demoted');
        await until('DDEATH station02 again', () => find(sub, `${N}DDEATH/line1/station02`, m0));
        m0 = await answers();
        line.send('set flow 5');
        const partial = await until('DBIRTH station02 partial', () => find(sub, `${N}DBIRTH/line1/station02`, m0));
        assert.strictEqual(metric(partial, 'flow').properties.Quality.value, 192);
        assert.strictEqual(metric(partial, 'total').properties.Quality.value, 0);
        checkSeq(sub.got);

        // Nothing a client sends stops the line: garbage, unknown devices
        // and metrics, a NaN; it still answers a rebirth afterwards.
        const garbage = [
            [`${N}NCMD/line1`, Buffer.from([0xff, 0x01, 0x02, 0x0a, 0xff])],
            [`${N}DCMD/line1/station01`, Buffer.from('not protobuf at all')],
            [`${N}DCMD/line1/station09`, sparkplug.encodePayload({ timestamp: 1, metrics: [{ alias: 0, type: 'UInt16', value: 1 }] })],
            [`${N}DCMD/line1/station01`, sparkplug.encodePayload({ timestamp: 1, metrics: [
                { alias: 4, type: 'Double', value: 1 }, { alias: 1e9, type: 'Int32', value: 1 },
                { name: 'no/such/tag', type: 'Int32', value: 1 }, { name: 'tank/level', type: 'Double', value: NaN },
                { name: 'tank/level', type: 'String', value: 'x' }] })],
            ['vave8/line1/tank/level/set', Buffer.from('{"value":')],
            ['vave8/line1/no/such/set', Buffer.from('1')],
        ];
        for (const [topic, payload] of garbage) await sub.publishAsync(topic, payload, { qos: 1 });
        await line.waitErr(/DCMD for station01: tank\/level has no number/);
        m0 = sub.got.length;
        await sub.publishAsync(`${N}NCMD/line1`, ncmd);
        await until('NBIRTH after garbage', () => find(sub, `${N}NBIRTH/line1`, m0));
        assert.ok(!line.out.some((l) => /^write .* (1|NaN)$/.test(l)), 'no write from garbage');

        // Killed: the broker sends the Will, the NDEATH with the session's bdSeq.
        m0 = sub.got.length;
        await line.stop('SIGKILL');
        const death = await until('NDEATH', () => find(sub, `${N}NDEATH/line1`, m0), 30000);
        assert.strictEqual(num(metric(death, 'bdSeq').value), bdSeq);
        assert.strictEqual(death.qos, 1, 'the Will at QoS 1');
        assert.strictEqual(death.retain, false, 'the Will not retained');

        // Restarted on the same state folder: the next bdSeq.
        m0 = sub.got.length;
        line = await startLine(dir);
        const again = await until('NBIRTH after restart', () => find(sub, `${N}NBIRTH/line1`, m0));
        assert.strictEqual(num(metric(again, 'bdSeq').value), (bdSeq + 1) % 256);

        // A clean stop sends the death itself.
        m0 = sub.got.length;
        await quit(line);
        const cleanDeath = await until('NDEATH on stop', () => find(sub, `${N}NDEATH/line1`, m0));
        assert.strictEqual(num(metric(cleanDeath, 'bdSeq').value), (bdSeq + 1) % 256);
        printSession(sub.got);
    },

    async Json() {
        const port = await freePort();
        const broker = new Broker(port);
        await broker.start();
        const body = `[mqtt]\nbroker = "mqtt://127.0.0.1:${port}"\n[mqtt.json]\nprefix = "plant/a"\n`;
        const dir = writeConfig('json', port, '', body);
        const line = await startLine(dir);
        const sub = await subscribe(port, ['plant/a/#']);
        // Retained: a subscriber that comes later still sees the value.
        line.send('set pump/run 1 valve/open 0 flow 3.5 tank/temp 0.1');
        await until('JSON values', () => sub.got.find((m) => m.topic === 'plant/a/tank/temp' && m.json.value !== null));
        const late = await subscribe(port, ['plant/a/#']);
        const run = await until('retained value', () => late.got.find((m) => m.topic === 'plant/a/pump/run'));
        assert.ok(run.retain);
        assert.strictEqual(run.json.value, true);
        assert.strictEqual(late.got.find((m) => m.topic === 'plant/a/valve/open').json.value, false);
        assert.strictEqual(late.got.find((m) => m.topic === 'plant/a/flow').json.value, 3.5);
        assert.strictEqual(late.got.find((m) => m.topic === 'plant/a/tank/temp').json.value, 0.1);
        const status = await until('station state', () => late.got.find((m) => m.topic === 'plant/a/_status/station01'));
        assert.strictEqual(status.json.state, 'good');

        // A bad sample says why.
        const m1 = sub.got.length;
        line.send('station 1 portdown');
        const bad = await until('bad quality', () => sub.got.slice(m1).find((m) => m.topic === 'plant/a/count'));
        assert.strictEqual(bad.json.quality, 'bad');
        assert.strictEqual(bad.json.cause, 'port_down');

        // Sets: done, refused for a read-only tag, refused for a non-number.
        const cases = [
            ['tank/level', '17', 'done', /^write tank\/level 17$/],
            ['pump/run', 'false', 'done', /^write pump\/run 0$/],
            ['flow', '{"value": -1.25}', 'done', /^write flow -1.25$/],
            ['count', '5', 'read_only', null],
            ['tank/level', '"high"', 'invalid', null],
        ];
        for (const [tag, payload, status, write] of cases) {
            const m0 = sub.got.length;
            await sub.publishAsync(`plant/a/${tag}/set`, payload, { qos: 1 });
            const r = await until(`set result ${tag} ${payload}`, () => sub.got.slice(m0).find((m) => m.topic === `plant/a/${tag}/set/result`));
            assert.strictEqual(r.json.status, status, `${tag} ${payload}`);
            if (write) await line.waitOut(write);
        }
        // A retained set is carried out when it comes, never again when a
        // restarted line subscribes and the broker hands it over.
        await sub.publishAsync('plant/a/tank/level/set', '99', { qos: 1, retain: true });
        await line.waitOut(/^write tank\/level 99$/);
        await quit(line);
        const again = await startLine(dir);
        await again.waitErr(/ignored a retained command/);
        await sub.publishAsync('plant/a/tank/level/set', '', { qos: 1, retain: true });
        await quit(again);
        assert.ok(!again.out.some((l) => l.startsWith('write')));
    },

    async Auth() {
        const port = await freePort();
        const pw = path.join(scratch, 'passwd');
        execFileSync('mosquitto_passwd', ['-b', '-c', pw, 'edge', 'right-one']);
        fs.chmodSync(pw, 0o644);
        const broker = new Broker(port, { passwordFile: pw });
        await broker.start();
        const sub = await subscribe(port, [`${N}#`], { username: 'edge', password: 'right-one' });
        // Wrong password: one clear line, and the line keeps buffering.
        const badDir = writeConfig('auth-bad', port, 'username = "edge"\npassword_file = "pw"\n');
        fs.writeFileSync(path.join(badDir, 'pw'), 'wrong\n');
        const bad = await startLine(badDir);
        await bad.waitErr(/refused the connection: .*(not authorised|bad user name or password)/i);
        bad.send('set count 1');
        await until('buffered', async () => (await lineStats(bad)).buffered > 0);
        assert.strictEqual(bad.err.filter((l) => /refused the connection/.test(l)).length, 1, 'said once');
        await quit(bad);
        // The right one from its file.
        const dir = writeConfig('auth', port, 'username = "edge"\npassword_file = "pw"\n');
        fs.writeFileSync(path.join(dir, 'pw'), 'right-one\n');
        const line = await startLine(dir);
        await until('NBIRTH with a password', () => find(sub, `${N}NBIRTH/line1`));
        await quit(line);
    },

    async Tls() {
        const port = await freePort();
        const d = fs.mkdtempSync(path.join(scratch, 'tls-'));
        fs.chmodSync(d, 0o755);
        const f = (n) => path.join(d, n);
        const ssl = (...a) => execFileSync('openssl', a, { stdio: 'ignore' });
        ssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=test CA',
            '-keyout', f('ca.key'), '-out', f('ca.pem'));
        ssl('req', '-newkey', 'rsa:2048', '-nodes', '-subj', '/CN=127.0.0.1', '-keyout', f('server.key'), '-out', f('server.csr'));
        fs.writeFileSync(f('ext'), 'subjectAltName=IP:127.0.0.1\n');
        ssl('x509', '-req', '-in', f('server.csr'), '-CA', f('ca.pem'), '-CAkey', f('ca.key'), '-CAcreateserial',
            '-days', '2', '-extfile', f('ext'), '-out', f('server.pem'));
        for (const n of ['ca.pem', 'server.pem', 'server.key']) fs.chmodSync(f(n), 0o644);
        const broker = new Broker(port, { tls: { ca: f('ca.pem'), cert: f('server.pem'), key: f('server.key') } });
        await broker.start();
        const sub = await subscribe(port, [`${N}#`], { tls: true, ca: fs.readFileSync(f('ca.pem')), servername: '127.0.0.1' });
        // Without the CA the broker's certificate is refused: nothing is sent.
        const untrusted = await startLine(writeConfig('tls-untrusted', port, '',
            `[mqtt]\nbroker = "mqtts://127.0.0.1:${port}"\n[mqtt.sparkplug]\ngroup_id = "other"\n`));
        await untrusted.waitErr(/cannot connect to the broker 127.0.0.1:\d+: A TLS error/);
        await quit(untrusted);
        const dir = writeConfig('tls', port, '', `[mqtt]\nbroker = "mqtts://127.0.0.1:${port}"\nca_file = "${f('ca.pem')}"\n` +
            '[mqtt.sparkplug]\ngroup_id = "plant"\nedge_node_id = "line1"\n');
        const line = await startLine(dir);
        await until('NBIRTH over TLS', () => find(sub, `${N}NBIRTH/line1`));
        line.send('set count 5');
        const dd = await until('DDATA over TLS', () => find(sub, `${N}DDATA/line1/station01`));
        assert.strictEqual(num(dd.spb.metrics[0].value), 5);
        await quit(line);
    },

    // With a primary host: births only once its STATE says online, data
    // held while it is offline, a new session when it comes back.
    async PrimaryHost() {
        const port = await freePort();
        const broker = new Broker(port);
        await broker.start();
        const sub = await subscribe(port, [`${N}#`, 'spBv1.0/STATE/#']);
        const line = await startLine(writeConfig('host', port, '',
            `[mqtt]\nbroker = "mqtt://127.0.0.1:${port}"\n[mqtt.sparkplug]\ngroup_id = "plant"\nedge_node_id = "line1"\nprimary_host_id = "scada"\n`));
        await line.waitErr(/waiting for the primary host scada/);
        line.send('set count 1');
        const state = (online, ts) => sub.publishAsync('spBv1.0/STATE/scada', JSON.stringify({ online, timestamp: ts }), { qos: 1, retain: true });
        const t0 = Date.now();
        await state(true, t0);
        const nbirth = await until('NBIRTH', () => find(sub, `${N}NBIRTH/line1`));
        const stateAt = sub.got.findIndex((m) => m.topic === 'spBv1.0/STATE/scada');
        assert.ok(stateAt >= 0 && stateAt < sub.got.indexOf(nbirth), 'no birth before the host is online');
        const bdSeq = num(metric(nbirth, 'bdSeq').value);
        const values = (from) => sub.got.slice(from).filter((m) => m.topic === `${N}DDATA/line1/station01`)
            .flatMap((m) => m.spb.metrics.map((x) => [num(x.value), !!x.isHistorical]));
        await until('held value, historical', () => values(0).some(([v, h]) => v === 1 && h));
        let m0 = sub.got.length;
        line.send('set count 2');
        await until('live value', () => values(m0).some(([v, h]) => v === 2 && !h));

        m0 = sub.got.length;
        await state(false, t0 + 1);
        const death = await until('NDEATH', () => find(sub, `${N}NDEATH/line1`, m0));
        assert.strictEqual(num(metric(death, 'bdSeq').value), bdSeq);
        await line.waitErr(/waiting for the primary host/);
        line.send('set count 3');
        m0 = sub.got.length;
        await state(true, t0 + 2);
        const again = await until('NBIRTH again', () => find(sub, `${N}NBIRTH/line1`, m0));
        assert.strictEqual(num(metric(again, 'bdSeq').value), (bdSeq + 1) % 256);
        await until('held value 3, historical', () => values(m0).some(([v, h]) => v === 3 && h));
        // A STATE older than the one acted on changes nothing.
        await state(false, t0);
        m0 = sub.got.length;
        line.send('set count 4');
        await until('live value 4', () => values(m0).some(([v, h]) => v === 4 && !h));
        assert.ok(!find(sub, `${N}NDEATH/line1`, m0));
        checkSeq(sub.got);
        await sub.publishAsync('spBv1.0/STATE/scada', '', { qos: 1, retain: true });
        await quit(line);
    },

    // The real line server: vave8gw --config with [mqtt], scanning p8sim.
    // A JSON set and a DCMD land in the PLC's memory, and the scan reads
    // them back as DDATA and JSON.
    async LineServer() {
        const port = await freePort();
        const broker = new Broker(port);
        await broker.start();
        const sub = await subscribe(port, [`${N}#`, 'vave8/line1/#']);
        const sim = new Child([P8SIM]);
        const pty = await sim.waitOut(/^\/dev\//);
        const dir = fs.mkdtempSync(path.join(scratch, 'gw-'));
        fs.writeFileSync(path.join(dir, 'line.toml'), `[line]\nname = "line1"\nport = "${pty}"\nscan_ms = 200\n\n` +
            '[[tag]]\nname = "tank/level"\naddress = "00400EC"\ntype = "uint16"\naccess = "rw"\n\n' +
            '[[tag]]\nname = "count"\naddress = "0080108"\ntype = "uint32"\n\n' +
            `[mqtt]\nbroker = "mqtt://127.0.0.1:${port}"\nstate_dir = "state"\n` +
            '[mqtt.sparkplug]\ngroup_id = "plant"\n[mqtt.json]\n');
        const statusFile = path.join(dir, 'status.json');
        const gw = new Child([VAVE8GW, '--config', path.join(dir, 'line.toml'), '--stats-interval', '1',
            '--status-file', statusFile]);
        const dbirth = await until('DBIRTH station00', () => find(sub, `${N}DBIRTH/line1/station00`));
        assert.deepStrictEqual(dbirth.spb.metrics.map((m) => [m.name, m.type]), [['tank/level', 'UInt16'], ['count', 'UInt32']]);
        const alias = num(metric(dbirth, 'tank/level').alias);
        const ddata = (v, from) => sub.got.slice(from).find((m) => m.topic === `${N}DDATA/line1/station00` &&
            m.spb.metrics.some((x) => num(x.alias) === alias && num(x.value) === v));

        let m0 = sub.got.length;
        await sub.publishAsync('vave8/line1/tank/level/set', '1234', { qos: 1 });
        const r = await until('set result', () => sub.got.slice(m0).find((m) => m.topic === 'vave8/line1/tank/level/set/result'));
        assert.strictEqual(r.json.status, 'done');
        await until('1234 read back as DDATA', () => ddata(1234, m0));
        await until('1234 read back as JSON', () => sub.got.slice(m0).find((m) => m.topic === 'vave8/line1/tank/level' && m.json.value === 1234));

        m0 = sub.got.length;
        await sub.publishAsync(`${N}DCMD/line1/station00`, sparkplug.encodePayload({ timestamp: Date.now(),
            metrics: [{ alias, type: 'UInt16', value: 77 }] }));
        await until('77 read back as DDATA', () => ddata(77, m0));
        await gw.waitErr(/mqtt online, \d+ sent, 0 buffered, 0 dropped/);
        checkSeq(sub.got);
        // The status file carries the front-end's figures beside the tags'.
        const doc = await until('mqtt in the status file', () => {
            try {
                const d = JSON.parse(fs.readFileSync(statusFile, 'utf8'));
                return d.mqtt && d.mqtt.online && d.mqtt.sent > 0 && d.tags.length === 2 ? d : null;
            } catch (e) {
                return null;
            }
        });
        assert.strictEqual(doc.mqtt.dropped, 0);

        m0 = sub.got.length;
        await gw.stop('SIGTERM');
        assert.strictEqual(gw.exited.code, 0, gw.err.slice(-10).join('\n'));
        await until('NDEATH on stop', () => find(sub, `${N}NDEATH/line1`, m0));
        await sim.stop();
    },

    // The broker away while values change: afterwards every change, in
    // order, the ones from the outage marked historical.
    async Forward() {
        // Sparkplug alone: its data goes at QoS 0, and only the checkpoints
        // tell what the broker took.
        const { gate, sub, line } = await outageSetup('fwd', { json: false });
        let i = 0;
        const tick = async (ms) => {
            const end = Date.now() + ms;
            while (Date.now() < end) { line.send(`set count ${++i}`); await sleep(50); }
        };
        await tick(3000);
        const beforeOutage = i;
        gate.cut();
        await line.waitErr(/lost the broker/);
        await tick(OUTAGE_S * 1000);
        const duringOutage = i;
        gate.restore();
        await tick(1000);
        await checkAllArrived(sub, i, line, { json: false });
        checkSeq(sub.got);
        const hist = historicalValues(sub);
        assert.ok(hist.some((v) => v > beforeOutage && v <= duringOutage), 'outage values are historical');
        // What the broker acknowledged before it went is never sent again
        // (a second of margin for a loaded machine).
        assert.ok(hist.every((v) => v > beforeOutage - 20), `only what was at risk is historical: ${hist[0]}`);
        await quit(line);
    },

    // The buffer outlives the line server: stopped, or killed, and started
    // again while the broker is away, nothing is lost.
    async Restart() {
        const setup = await outageSetup('rst');
        const { gate, sub, dir } = setup;
        let { line } = setup;
        gate.cut();
        for (let i = 1; i <= 50; i++) line.send(`set count ${i}`);
        await quit(line);
        line = await startLine(dir);
        await line.waitErr(/50 changes from before the restart/);
        for (let i = 51; i <= 100; i++) line.send(`set count ${i}`);
        // Killed: what was committed (at least once a second) is kept. The
        // wait is three times that second, for a loaded machine.
        await sleep(3000);
        await line.stop('SIGKILL');
        line = await startLine(dir);
        await line.waitErr(/100 changes from before the restart/);
        gate.restore();
        await checkAllArrived(sub, 100, line);
        assert.ok(historicalValues(sub).includes(1));
        await quit(line);
    },

    // A broker that stops reading while the connection stays up (stopped with
    // SIGSTOP): what it has not acknowledged waits in the disk buffer, not in
    // memory, and reaches it in order once it reads again, as current values.
    async SlowBroker() {
        const { broker, sub, line } = await outageSetup('slow');
        broker.child.proc.kill('SIGSTOP');
        try {
            for (let i = 1; i <= 300; i++) line.send(`set count ${i}`);
            await until('changes buffered while connected', async () => {
                const s = await lineStats(line);
                return s.connected && s.buffered > 200;
            });
            await line.waitErr(/takes changes slower than they come/);
        } finally {
            broker.child.proc.kill('SIGCONT');
        }
        await checkAllArrived(sub, 300, line);
        assert.deepStrictEqual(historicalValues(sub), [], 'delayed, not history');
        const s = await lineStats(line);
        assert.strictEqual(s.reconnects, 0);
        await until('buffer empty', async () => (await lineStats(line)).buffered === 0);
        await quit(line);
    },
};

// A broker, the subscriber, and a line that has been born, connected to the
// broker through a gate.
async function outageSetup(name, { json = true } = {}) {
    const port = await freePort();
    const broker = new Broker(port);
    await broker.start();
    const gate = new Gate(port);
    await gate.start();
    const sub = await subscribe(port, [`${N}#`, 'vave8/line1/count']);
    const dir = writeConfig(name, gate.port, '', json ? null : `[mqtt]\nbroker = "mqtt://127.0.0.1:${gate.port}"\n` +
        'keepalive_s = 5\n[mqtt.sparkplug]\ngroup_id = "plant"\nedge_node_id = "line1"\n');
    const line = await startLine(dir);
    await until('DBIRTH', () => find(sub, `${N}DBIRTH/line1/station01`));
    return { broker, gate, sub, dir, line };
}

function historicalValues(sub) {
    const out = [];
    for (const m of sub.got) {
        if (m.topic !== `${N}DDATA/line1/station01`) continue;
        for (const x of m.spb.metrics) if (x.isHistorical) out.push(num(x.value));
    }
    return out;
}

// The count tag's values 1..last each arrive, in order, by DDATA and JSON
// (a value the broker had before a connection dropped may come twice).
async function checkAllArrived(sub, last, line, { json: withJson = true } = {}) {
    const spb = () => sub.got.filter((m) => m.topic === `${N}DDATA/line1/station01`).flatMap((m) => m.spb.metrics.map((x) => num(x.value)));
    // (Not the null of the first snapshot, before the tag was scanned.)
    const json = () => sub.got.filter((m) => m.topic === 'vave8/line1/count' && m.json.value !== null).map((m) => m.json.value);
    await until(`value ${last} by DDATA and JSON`, () => spb().includes(last) && (!withJson || json().includes(last)), 60000)
        .catch((e) => { line.send('stats'); throw e; });
    for (const [what, seen] of withJson ? [['DDATA', spb()], ['JSON', json()]] : [['DDATA', spb()]]) {
        const unique = seen.filter((v, k) => k === 0 || v !== seen[k - 1]);
        const firstSeen = unique[0];
        const want = Array.from({ length: last - firstSeen + 1 }, (_, k) => firstSeen + k);
        assert.ok(firstSeen <= 2, `${what} from the start`);
        assert.deepStrictEqual(unique, want, `${what}: every change once, in order`);
    }
}

// The session as the subscriber saw it, for the README and the report.
function printSession(msgs) {
    for (const m of msgs) {
        if (!m.spb) continue;
        const ms = m.spb.metrics.map((x) => `${x.name ?? '#' + num(x.alias)}=${JSON.stringify(num(x.value))}` +
            `${x.isHistorical ? '(h)' : ''}`).slice(0, 5);
        console.log(`# ${m.topic} seq=${num(m.spb.seq)} ${ms.join(' ')}${m.spb.metrics.length > 5 ? ' ...' : ''}`);
    }
}

if (!groups[GROUP]) {
    console.error(`unknown group ${GROUP}`);
    process.exit(64);
}
test(`mqtt ${GROUP}`, { timeout: 170000 }, groups[GROUP]);
