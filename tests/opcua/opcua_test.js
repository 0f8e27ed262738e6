// The OPC UA front-end against node-opcua-client, on the test host's fake
// tag engine: node opcua_test.js HOST GROUP (Browse Values Writes Security).
// Every host started is stopped when the script ends, however it ends.
"use strict";
const assert = require("node:assert/strict");
const { spawn, execFileSync } = require("node:child_process");
const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const {
    OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, UserTokenType, StatusCodes, DataType,
    TimestampsToReturn, ClientSubscription, ClientMonitoredItem, ClientMonitoredItemGroup, makeBrowsePath,
} = require("node-opcua-client");
// node-opcua-client's own dependencies, at the versions it pins.
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");
const { readCertificate, readPrivateKey, keyOperationsFromPrivateKey } = require("node-opcua-crypto");

const [hostBinary, group] = process.argv.slice(2);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "opcua-test-"));
const hosts = new Set();
process.on("exit", () => {
    for (const h of hosts) h.kill("SIGKILL");
    fs.rmSync(scratch, { recursive: true, force: true });
});

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function waitFor(what, check, ms = 20000) {
    const end = Date.now() + ms;
    for (;;) {
        const v = await check();
        if (v) return v;
        if (Date.now() > end) throw new Error("timed out waiting for " + what);
        await sleep(50);
    }
}

function freePort() {
    return new Promise((resolve, reject) => {
        const s = net.createServer();
        s.listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); });
        s.on("error", reject);
    });
}

const PASSWORDS = { ann: "ann-secret", bob: "bob-secret" };

// Starts the host with an [opcua] section and users ann (write) and bob (read).
async function startHost(options = {}) {
    const dir = fs.mkdtempSync(path.join(scratch, "host-"));
    const port = await freePort();
    const users = path.join(dir, "users");
    execFileSync(hostBinary, ["--add-user", users, "ann", "write"], { input: PASSWORDS.ann + "\n" });
    execFileSync(hostBinary, ["--add-user", users, "bob", "read"], { input: PASSWORDS.bob + "\n" });
    let config = `[opcua]\nlisten = "127.0.0.1:${port}"\nusers = "users"\n`;
    if (options.security) config += `security = [${options.security.map((s) => `"${s}"`).join(", ")}]\n`;
    if (options.anonymous !== undefined) config += `anonymous = ${JSON.stringify(options.anonymous)}\n`;
    fs.writeFileSync(path.join(dir, "vave8gw.toml"), config);
    const pki = path.join(dir, "state", "pki");
    if (options.trust) {
        fs.mkdirSync(path.join(pki, "trusted"), { recursive: true });
        fs.copyFileSync(options.trust, path.join(pki, "trusted", "client.pem"));
    }
    const args = ["--config", path.join(dir, "vave8gw.toml"), "--state-dir", path.join(dir, "state"),
                  "--write-timeout", String(options.writeTimeout ?? 3000)];
    const child = spawn(hostBinary, args, { stdio: ["pipe", "pipe", "pipe"] });
    hosts.add(child);
    const output = [];
    const take = (data) => {
        for (const line of data.toString().split("\n").filter(Boolean)) output.push(line);
    };
    child.stdout.on("data", take);
    child.stderr.on("data", take);
    child.on("exit", () => hosts.delete(child));
    await waitFor("the host to start", () => output.includes("ready") || child.exitCode !== null);
    assert.ok(output.includes("ready"), "host did not start:\n" + output.join("\n"));
    const cmd = async (line) => {
        const before = output.filter((l) => l === "ok" || l.startsWith("error")).length;
        child.stdin.write(line + "\n");
        await waitFor("host command " + line, () => output.filter((l) => l === "ok" || l.startsWith("error")).length > before);
        assert.ok(!output.some((l) => l.startsWith("error")), "host refused: " + line);
    };
    // A clean stop: exit 0 and nothing from a sanitizer.
    const stop = async () => {
        child.stdin.end();
        await waitFor("the host to stop", () => child.exitCode !== null, 20000);
        assert.equal(child.exitCode, 0, "host exit:\n" + output.slice(-30).join("\n"));
        assert.ok(!output.some((l) => /Sanitizer|runtime error/.test(l)), output.join("\n"));
    };
    return { url: `opc.tcp://127.0.0.1:${port}`, cmd, output, pki, stop };
}

// One client certificate for the whole run, made by the client's own manager.
const clientPki = path.join(scratch, "client-pki");
const certificateManager = new OPCUACertificateManager({ rootFolder: clientPki, automaticallyAcceptUnknownCertificate: true });
let clientCert = null;

async function ensureClientCertificate() {
    if (clientCert) return clientCert;
    await certificateManager.initialize();
    const client = OPCUAClient.create({ clientCertificateManager: certificateManager, applicationName: "vave8-test" });
    await client.createDefaultCertificate();
    clientCert = { certificateFile: client.certificateFile, privateKeyFile: client.privateKeyFile };
    return clientCert;
}

const POLICY = { None: SecurityPolicy.None, Basic256Sha256: SecurityPolicy.Basic256Sha256,
                 Aes256Sha256RsaPss: SecurityPolicy.Aes256_Sha256_RsaPss };
const MODE = { None: MessageSecurityMode.None, Sign: MessageSecurityMode.Sign,
               SignAndEncrypt: MessageSecurityMode.SignAndEncrypt };

async function connect(host, { policy = "None", mode = "None", user = null, cert = false } = {}) {
    const certs = await ensureClientCertificate();
    const client = OPCUAClient.create({
        applicationName: "vave8-test", endpointMustExist: false, clientCertificateManager: certificateManager,
        securityPolicy: POLICY[policy], securityMode: MODE[mode], connectionStrategy: { maxRetry: 0 },
        ...certs,
    });
    await client.connect(host.url);
    let identity = { type: UserTokenType.Anonymous };
    if (user) identity = { type: UserTokenType.UserName, userName: user, password: PASSWORDS[user] ?? "wrong" };
    if (cert) {
        identity = { type: UserTokenType.Certificate, certificateData: readCertificate(certs.certificateFile),
                     keyOperations: keyOperationsFromPrivateKey(readPrivateKey(certs.privateKeyFile)) };
    }
    try {
        const session = await client.createSession(identity);
        const ns = (await session.readNamespaceArray()).indexOf("urn:vave8:plant");
        assert.ok(ns > 0, "namespace urn:vave8:plant");
        const id = (name) => `ns=${ns};s=${name}`;
        return { client, session, ns, id, close: async () => { await session.close(); await client.disconnect(); } };
    } catch (e) {
        await client.disconnect();
        throw e;
    }
}

const TAGS = [
    // name, data type, value set, rw
    ["pump/running", DataType.Boolean, 1, true, true],
    ["pump/mode", DataType.SByte, -5, -5, true],
    ["pump/level", DataType.Byte, 200, 200, false],
    ["boiler/delta", DataType.Int16, -1234, -1234, true],
    ["boiler/setpoint", DataType.UInt16, 65000, 65000, true],
    ["boiler/energy", DataType.Int32, -2000000000, -2000000000, false],
    ["boiler/hours", DataType.UInt32, 4000000000, 4000000000, true],
    ["boiler/flow", DataType.Float, 1.5, 1.5, true],
    ["boiler/temp", DataType.Double, 21.7, 21.7, true],
];

async function readValue(c, name) {
    return c.session.read({ nodeId: c.id(name), attributeId: AttributeIds.Value }, TimestampsToReturn.Both);
}

const groups = {
    async Browse() {
        const host = await startHost();
        const c = await connect(host);
        try {
            const root = await c.session.browse("ns=0;i=85");
            const line = root.references.find((r) => r.browseName.name === "plant");
            assert.ok(line, "Objects/plant");
            const names = async (nodeId) => (await c.session.browse(nodeId)).references.map((r) => r.browseName.name).sort();
            assert.deepEqual(await names(line.nodeId), ["Diagnostics", "boiler", "counter", "pump"]);
            assert.deepEqual(await names(c.id("folder:boiler")), ["delta", "energy", "flow", "hours", "setpoint", "temp"]);
            // Every tag by its path of names, and that path leads to the tag's own node id.
            for (const [name] of TAGS) {
                const parts = name.split("/").map((p) => `/${c.ns}:${p}`).join("");
                const result = await c.session.translateBrowsePath(makeBrowsePath(line.nodeId, parts));
                assert.equal(result.statusCode, StatusCodes.Good, name);
                assert.equal(result.targets[0].targetId.toString(), c.id(name), name);
            }
            const units = await c.session.translateBrowsePath(makeBrowsePath(c.id("boiler/flow"), "/0:EngineeringUnits"));
            const eu = await c.session.read({ nodeId: units.targets[0].targetId, attributeId: AttributeIds.Value });
            assert.equal(eu.value.value.displayName.text, "m3/h");
            const desc = await c.session.read({ nodeId: c.id("boiler/flow"), attributeId: AttributeIds.Description });
            assert.equal(desc.value.value.text, "demo boiler/flow");
            // AccessLevel from the tag; UserAccessLevel also from the session (anonymous: read).
            for (const [name, , , , rw] of TAGS) {
                const [al, ual] = await c.session.read([AttributeIds.AccessLevel, AttributeIds.UserAccessLevel]
                    .map((attributeId) => ({ nodeId: c.id(name), attributeId })));
                assert.equal(al.value.value & 3, rw ? 3 : 1, name);
                assert.equal(ual.value.value & 3, 1, name);
            }
            // Diagnostics: the line and each station with tags.
            assert.deepEqual(await names(c.id("diag:")), ["Line", "Station1", "Station2"]);
            await host.cmd("station 1 good");
            await host.cmd("station 2 demoted");
            await waitFor("station 2 demoted", async () =>
                (await readValue(c, "diag:station2/State")).value.value === "demoted");
            assert.equal((await readValue(c, "diag:line/State")).value.value, "degraded");
            await host.cmd("portdown 1");
            await waitFor("port down", async () => (await readValue(c, "diag:line/PortDown")).value.value === true);
        } finally {
            await c.close();
            await host.stop();
        }
    },

    async Values() {
        const host = await startHost();
        const c = await connect(host);
        try {
            const never = await readValue(c, "counter");
            assert.equal(never.statusCode, StatusCodes.BadWaitingForInitialData);
            for (const [name, type, set, expect] of TAGS) {
                await host.cmd(`set ${name} ${set}`);
                const dv = await waitFor(name, async () => {
                    const v = await readValue(c, name);
                    return v.statusCode === StatusCodes.Good ? v : null;
                });
                assert.equal(dv.value.dataType, type, name);
                assert.ok(Math.abs(Number(dv.value.value) - Number(expect)) < 1e-6, `${name}: ${dv.value.value}`);
            }

            // A subscription sees a change with the source timestamp of the scan that saw it.
            const sub = ClientSubscription.create(c.session, { requestedPublishingInterval: 100, publishingEnabled: true });
            const item = ClientMonitoredItem.create(sub, { nodeId: c.id("boiler/setpoint"), attributeId: AttributeIds.Value },
                { samplingInterval: 100, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
            const seen = [];
            item.on("changed", (dv) => seen.push(dv));
            await waitFor("the first notification", () => seen.length > 0);
            const before = Date.now();
            await host.cmd("set boiler/setpoint 4321");
            const after = Date.now();
            const change = await waitFor("the change", () => seen.find((dv) => dv.value.value === 4321));
            const source = change.sourceTimestamp.getTime();
            assert.ok(source >= before - 5 && source <= after + 5, `source time ${source} in [${before}, ${after}]`);
            // Every change the engine passes, however close together, each with its own source time.
            await host.cmd("set boiler/setpoint 11 12 13 14 15");
            await waitFor("the last of five changes", () => seen.find((dv) => dv.value.value === 15));
            const burst = seen.filter((dv) => dv.value.value >= 11 && dv.value.value <= 15);
            assert.deepEqual(burst.map((dv) => dv.value.value), [11, 12, 13, 14, 15]);
            assert.ok(burst.every((dv, i) => i === 0 || dv.sourceTimestamp >= burst[i - 1].sourceTimestamp));
            // The server's clock still ticks for a subscriber, though nothing is sampled on a timer.
            const clock = ClientMonitoredItem.create(sub, { nodeId: "ns=0;i=2258", attributeId: AttributeIds.Value },
                { samplingInterval: 500, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
            const ticks = new Set();
            clock.on("changed", (dv) => ticks.add(dv.value.value.getTime()));
            await waitFor("two ticks of CurrentTime", () => ticks.size >= 2);
            await sub.terminate();

            // The StatusCode for each cause.
            const causes = [["noreply", StatusCodes.BadNoCommunication], ["demoted", StatusCodes.BadNoCommunication],
                            ["portdown", StatusCodes.BadNoCommunication], ["errorblock", StatusCodes.BadDeviceFailure],
                            ["garbled", StatusCodes.BadCommunicationError], ["overdue", StatusCodes.UncertainLastUsableValue],
                            ["waiting", StatusCodes.BadWaitingForInitialData]];
            for (const [cause, code] of causes) {
                await host.cmd("set pump/level 7");
                await waitFor("good again", async () => (await readValue(c, "pump/level")).statusCode === StatusCodes.Good);
                await host.cmd(`bad pump/level ${cause} 3`);
                await waitFor(`${cause} -> ${code.name}`, async () => (await readValue(c, "pump/level")).statusCode === code);
            }
        } finally {
            await c.close();
            await host.stop();
        }
    },

    async Writes() {
        const certs = await ensureClientCertificate();
        const host = await startHost({ trust: certs.certificateFile, writeTimeout: 1500 });
        const secure = { policy: "Basic256Sha256", mode: "SignAndEncrypt" };
        const ann = await connect(host, { ...secure, user: "ann" });
        const bob = await connect(host, { ...secure, user: "bob" });
        const write = (c, name, dataType, value) =>
            c.session.write({ nodeId: c.id(name), attributeId: AttributeIds.Value, value: { value: { dataType, value } } });
        try {
            for (const [name, type, , value, rw] of TAGS) {
                if (!rw) continue;
                const writeValue = type === DataType.Boolean ? true : value;
                assert.equal(await write(ann, name, type, writeValue), StatusCodes.Good, name);
                const expected = `write ${name} ${type === DataType.Boolean ? 1 : value}`;
                await waitFor(expected, () => host.output.includes(expected));
                // The engine's next scan reads it back.
                await waitFor(name + " read back", async () => {
                    const v = (await readValue(ann, name)).value.value;
                    return Math.abs(Number(v) - Number(writeValue)) < 1e-6;
                });
            }
            const writes = () => host.output.filter((l) => l.startsWith("write ")).length;
            const count = writes();
            // Refused before the line: a read-only tag, a read user, a value of the wrong type.
            assert.equal(await write(ann, "pump/level", DataType.Byte, 1), StatusCodes.BadNotWritable);
            assert.equal(await write(bob, "boiler/setpoint", DataType.UInt16, 1), StatusCodes.BadUserAccessDenied);
            assert.equal(await write(ann, "boiler/setpoint", DataType.String, "x"), StatusCodes.BadTypeMismatch);
            assert.equal(await write(ann, "boiler/temp", DataType.Double, NaN), StatusCodes.BadOutOfRange);
            assert.equal(writes(), count, "nothing refused reached the engine");

            // The engine's outcomes.
            const outcomes = [["outofrange", StatusCodes.BadOutOfRange], ["demoted", StatusCodes.BadNoCommunication],
                              ["portdown", StatusCodes.BadNoCommunication], ["readonly", StatusCodes.BadNotWritable],
                              ["failed noreply", StatusCodes.BadTimeout], ["failed garbled", StatusCodes.BadCommunicationError],
                              ["failed errorblock", StatusCodes.BadDeviceFailure], ["hang", StatusCodes.BadTimeout]];
            for (const [plan, code] of outcomes) {
                await host.cmd(`plan boiler/delta ${plan}`);
                assert.equal(await write(ann, "boiler/delta", DataType.Int16, 5), code, plan);
            }
            // After a write that never ended, the server still serves.
            assert.equal((await readValue(bob, "boiler/setpoint")).statusCode, StatusCodes.Good);
            assert.ok(host.output.some((l) => l.includes("not done within 1500 ms")));
        } finally {
            await ann.close();
            await bob.close();
            await host.stop();
        }
    },

    async Security() {
        const certs = await ensureClientCertificate();
        const host = await startHost({ anonymous: "read", security: ["None", "Basic256Sha256-Sign",
            "Basic256Sha256-SignAndEncrypt", "Aes256Sha256RsaPss-Sign", "Aes256Sha256RsaPss-SignAndEncrypt"] });
        const log = () => host.output.join("\n");
        try {
            // An untrusted client is refused, logged, and its certificate lands in rejected/.
            await assert.rejects(connect(host, { policy: "Basic256Sha256", mode: "SignAndEncrypt" }));
            const rejected = path.join(host.pki, "rejected");
            const file = await waitFor("a file in rejected/", () => fs.readdirSync(rejected)[0]);
            await waitFor("the refusal logged", () => /refused client 127\.0\.0\.1: certificate .*refused/.test(log()));
            // Trusted by moving that one file.
            fs.renameSync(path.join(rejected, file), path.join(host.pki, "trusted", file));
            const trusted = await connect(host, { policy: "Basic256Sha256", mode: "SignAndEncrypt" });
            await trusted.close();

            const endpoints = [["None", "None"], ["Basic256Sha256", "Sign"], ["Basic256Sha256", "SignAndEncrypt"],
                               ["Aes256Sha256RsaPss", "Sign"], ["Aes256Sha256RsaPss", "SignAndEncrypt"]];
            const failures = [];
            for (const [policy, mode] of endpoints) {
                for (const who of ["anonymous", "ann", "cert"]) {
                    const expected = who === "anonymous" || (who === "ann" && mode === "SignAndEncrypt") ||
                                     (who === "cert" && mode !== "None");
                    const options = { policy, mode, user: who === "ann" ? "ann" : null, cert: who === "cert" };
                    let ok = false;
                    try {
                        const c = await connect(host, options);
                        ok = (await readValue(c, "boiler/setpoint")).statusCode === StatusCodes.BadWaitingForInitialData;
                        await c.close();
                    } catch (e) {
                        if (process.env.OPCUA_TEST_DEBUG) console.error(policy, mode, who, e.message);
                    }
                    if (ok !== expected) failures.push(`${policy}-${mode} ${who}: ${ok ? "accepted" : "refused"}`);
                }
            }
            assert.deepEqual(failures, [], log().split("\n").filter((l) => /refused|Activate/.test(l)).join("\n"));
            assert.match(log(), /refused client 127\.0\.0\.1: user ann logged in over a channel that is not encrypted/);

            // A wrong password and an unknown user: refused and logged; the others go on.
            await assert.rejects(connect(host, { policy: "Basic256Sha256", mode: "SignAndEncrypt", user: "bob-wrong" }));
            PASSWORDS.eve = "whatever";
            await assert.rejects(connect(host, { policy: "Basic256Sha256", mode: "SignAndEncrypt", user: "eve" }));
            const saved = PASSWORDS.ann;
            PASSWORDS.ann = "not-it";
            await assert.rejects(connect(host, { policy: "Aes256Sha256RsaPss", mode: "SignAndEncrypt", user: "ann" }));
            PASSWORDS.ann = saved;
            await waitFor("refusals logged", () => /wrong password for user ann/.test(log()) && /unknown user eve/.test(log()));
            const after = await connect(host, { policy: "Aes256Sha256RsaPss", mode: "SignAndEncrypt", user: "ann" });
            await after.close();
        } finally {
            await host.stop();
        }
    },
};

// The line server itself on the reference plant (bench/plant: 16 stations,
// 2,000 tags) against the simulated PLC: vave8gw --config with [opcua], a
// write user over Basic256Sha256-SignAndEncrypt browsing the whole tree,
// subscribing to every tag, and writing a tag that the scan reads back from
// the PLC's memory.
groups.LineServer = async () => {
    const [vave8gw, p8sim, plantToml] = process.argv.slice(4);
    const certs = await ensureClientCertificate();
    const dir = fs.mkdtempSync(path.join(scratch, "line-"));
    const sim = spawn(p8sim, [], { stdio: ["ignore", "pipe", "pipe"] });
    hosts.add(sim);
    let pty = "";
    sim.stdout.on("data", (d) => { pty = pty || d.toString().split("\n")[0]; });
    await waitFor("the simulated PLC's pty", () => pty);
    const port = await freePort();
    execFileSync(vave8gw, ["--add-user", path.join(dir, "users"), "ann", "write"], { input: PASSWORDS.ann + "\n" });
    const plantCsv = path.join(path.dirname(plantToml), "plant.csv");
    const config = fs.readFileSync(plantToml, "utf8").replace(/^port = .*$/m, `port = "${pty}"`)
        .replace(/^file = .*$/m, `file = "${plantCsv}"`);
    fs.writeFileSync(path.join(dir, "line.toml"), config +
        `\n[opcua]\nlisten = "127.0.0.1:${port}"\nusers = "users"\nsecurity = ["Basic256Sha256-SignAndEncrypt"]\n`);
    const plantTags = fs.readFileSync(plantCsv, "utf8").trim().split("\n").slice(1).map((l) => l.split(",")[0]);
    fs.mkdirSync(path.join(dir, "state", "pki", "trusted"), { recursive: true });
    fs.copyFileSync(certs.certificateFile, path.join(dir, "state", "pki", "trusted", "client.pem"));
    const gw = spawn(vave8gw, ["--config", path.join(dir, "line.toml"), "--state-dir", path.join(dir, "state")],
                     { stdio: ["ignore", "pipe", "pipe"] });
    hosts.add(gw);
    const log = [];
    gw.stderr.on("data", (d) => log.push(d.toString()));
    await waitFor("the line server", () => log.join("").includes("OPC UA: serving") || gw.exitCode !== null);
    assert.ok(log.join("").includes("OPC UA: serving 2000 tags"), log.join(""));
    // The write bound from the plant's line: 9600 8E1, a 200 ms read limit, a 5 ms turnaround.
    assert.match(log.join(""), /a write waits at most 3164 ms, of a Boolean 4646 ms/);
    const host = { url: `opc.tcp://127.0.0.1:${port}` };
    const c = await connect(host, { policy: "Basic256Sha256", mode: "SignAndEncrypt", user: "ann" });
    try {
        // The whole tree: every tag of the plant once, in its folders.
        const found = [];
        const walk = async (nodeId) => {
            for (const r of (await c.session.browse(nodeId)).references) {
                const id = r.nodeId.toString();
                if (r.nodeClass === 2) found.push(id.slice(id.indexOf(";s=") + 3));  // a Variable
                else if (!id.endsWith(";s=diag:")) await walk(id);
            }
        };
        await walk(c.id("folder:"));
        assert.deepEqual(found.sort(), [...plantTags].sort());

        // Every tag subscribed; each scanned and delivered Good.
        const sub = ClientSubscription.create(c.session, { requestedPublishingInterval: 100, publishingEnabled: true });
        const group = ClientMonitoredItemGroup.create(sub,
            plantTags.map((name) => ({ nodeId: c.id(name), attributeId: AttributeIds.Value })),
            { samplingInterval: 100, queueSize: 10, discardOldest: true }, TimestampsToReturn.Both);
        const good = new Set();
        const seen = [];
        const target = "st14/setpoints0/setpoint004";  // int32, read-write, scanned every 5 s
        group.on("changed", (item, dv) => {
            const name = item.itemToMonitor.nodeId.value;
            if (dv.statusCode === StatusCodes.Good) good.add(name);
            if (name === target) seen.push(dv);
        });
        await waitFor("every tag's first scan", () => good.size === plantTags.length, 60000);

        const before = Date.now();
        const status = await c.session.write({ nodeId: c.id(target), attributeId: AttributeIds.Value,
                                               value: { value: { dataType: DataType.Int32, value: -123456 } } });
        assert.equal(status, StatusCodes.Good);
        const change = await waitFor("the written value scanned back", () => seen.find((dv) => dv.value.value === -123456));
        assert.ok(change.sourceTimestamp.getTime() >= before - 5, "source time after the write");
        await sub.terminate();
    } finally {
        await c.close();
        gw.kill("SIGTERM");
        await waitFor("the line server to stop", () => gw.exitCode !== null || gw.signalCode !== null);
        sim.kill("SIGTERM");
    }
};

(async () => {
    if (!groups[group]) throw new Error("unknown group " + group);
    await groups[group]();
})().then(() => {
    console.log(`opcua ${group}: 1 passed, 0 failed`);
    process.exit(0);
}, (e) => {
    console.error(e);
    console.log(`opcua ${group}: 0 passed, 1 failed`);
    process.exit(1);
});
