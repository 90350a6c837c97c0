// Against the real service: VELMORRANT_AUDIO_BIN, else build/velmorrant-audio of this tree.
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import { existsSync, mkdtempSync } from "node:fs";
import { mkdtemp, rm, writeFile } from "node:fs/promises";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { after, before, test } from "node:test";
import { promisify } from "node:util";

import { ApiError, AudioClient, ServiceStartError, startService } from "../src/index.js";
import type { AudioService, CaptureEvent, CaptureRequest, Levels } from "../src/index.js";

const repo = new URL("../../../../", import.meta.url).pathname; // from dist/test/
const binary = process.env.VELMORRANT_AUDIO_BIN ?? join(repo, "build/velmorrant-audio");
const run = promisify(execFile);
const base = mkdtempSync(join(tmpdir(), "va-client-")); // every directory of the tests
const temp = (name: string) => mkdtemp(join(base, `${name}-`));
const tone = (dir: string, strategy = "test-tone"): CaptureRequest =>
  ({ dir, segmentSeconds: 1, remote: { strategy, match: { bundleIds: ["x"] } } });
const failure = (p: Promise<unknown>) => p.then(() => assert.fail("it succeeded"), (e) => e);

let root: string, env: NodeJS.ProcessEnv, service: AudioService;
const stderr: string[] = [], states: number[] = [];

before(async () => {
  root = await temp("root");
  // No audio server, and never the user's own.
  env = { XDG_RUNTIME_DIR: await temp("run"), PIPEWIRE_REMOTE: join(root, "none"),
    VELMORRANT_AUDIO_TEST_STRATEGIES: "1" };
  service = await startService({ binary, root, env });
  service.on("stderr", (line) => stderr.push(line)).on("state", (s) => states.push(s.recording));
});
after(async () => [await service.stop(), await rm(base, { recursive: true, force: true })]);

test("a start that fails says why and leaves no child", async () => {
  const silent = join(root, "silent.sh");
  const script = '#!/bin/sh\necho "[audio] waiting" >&2\nexec sleep 60\n';
  await writeFile(silent, script, { mode: 0o755 });
  for (const [options, message, line, exit] of [
    [{ binary: silent, root, readyTimeoutMs: 500 }, /no READY line within 500 ms/,
      "[audio] waiting", { code: null, signal: "SIGKILL" }],
    [{ binary, root: "relative" }, /exited with status 2/,
      "velmorrant-audio: --root must be an absolute directory", { code: 2, signal: null }],
    [{ binary: join(root, "missing"), root }, /could not be started/, undefined, undefined],
  ] as const) {
    const error = await failure(startService(options));
    assert.ok(error instanceof ServiceStartError);
    assert.match(error.message, message);
    assert.deepEqual([error.stderr.at(-1), error.exit], [line, exit]);
  }
});

test("a capture through every call: events to the end, levels, stop, list, decode", async () => {
  const audio = service.client;
  assert.deepEqual(await audio.health(), { ok: true, version: service.ready.version });
  const [capabilities, permissions] = [await audio.capabilities(), await audio.permissions()];
  assert.deepEqual([capabilities.decode, permissions.microphone], [true, "not_determined"]);
  assert.deepEqual(await audio.sources(), { inputs: [], applications: [] });
  const request: CaptureRequest = Object.assign(tone(`${root}/rec`), { colour: "red" });
  const { captureId, ignoredFields } = await audio.createCapture(request);
  assert.deepEqual(ignoredFields, ["colour"]);
  const listed = async () =>
    (await audio.listCaptures()).captures.find((c) => c.captureId === captureId);
  assert.deepEqual(await listed(), { captureId, dir: `${root}/rec`, tracks: ["remote"],
    recording: true, startNs: (await listed())?.startNs, stoppedNs: null });

  const readings: Levels[] = [];
  const meter = audio.pollLevels(captureId, (levels) => readings.push(levels));
  const seen: CaptureEvent[] = [];
  let summary;
  for await (const event of audio.followEvents(captureId, { wait: 2 })) {
    seen.push(event);
    if (event.type === "segment_closed" && !summary) summary = await audio.stopCapture(captureId);
  }
  await meter.done;
  const last = seen.at(-1);
  assert.ok(last?.type === "capture_stopped");
  assert.deepEqual([last.summary, await audio.stopCapture(captureId)], [summary, summary]);
  assert.deepEqual(seen.map((e) => e.seq), seen.map((_, i) => i + 1));
  assert.deepEqual((await audio.events(captureId, { after: last.seq })).events, []);
  assert.equal(readings.at(-1)?.recording, false);
  const remote = readings.flatMap((r) => r.tracks["remote"] ?? []);
  assert.ok(remote.some((t) => Math.abs(t.rmsDb + 15.1) < 0.3 && Math.abs(t.peakDb + 12) < 0.3),
    `a sine of amplitude 0.25 is -15.1 dBFS RMS, -12.0 peak: ${JSON.stringify(remote)}`);
  const stopped = await listed();
  assert.deepEqual([stopped?.recording, typeof stopped?.stoppedNs], [false, "number"]);
  const closed = seen.find((e) => e.type === "segment_closed");
  assert.ok(closed?.type === "segment_closed");
  const input = `${root}/rec/${closed.path}`;
  assert.deepEqual(await audio.decode({ input, output: `${root}/d.wav` }),
    { frames: closed.frames, durationS: closed.frames / 16000, ignoredFields: [] });
});

test("errors are ApiErrors with status, code and field", async () => {
  const audio = service.client;
  const stranger = new AudioClient({ port: service.ready.port, token: "0".repeat(64) });
  const create = (request: CaptureRequest) => () => audio.createCapture(request);
  for (const [call, status, code, field] of [
    [create({ ...tone(`${root}/a`), segmentSeconds: 0 }), 400, "bad_request", "segmentSeconds"],
    [create(tone("/elsewhere/a")), 403, "outside_root", "dir"],
    [create(tone(`${root}/no/a`)), 403, "outside_root", "dir"],
    [create(tone(`${root}/a`, "x")), 422, "unsupported_strategy", "remote.strategy"],
    [() => audio.events("00000000-0000-0000-0000-000000000000"), 404, "not_found", undefined],
    [() => audio.decode({ input: "/a", output: "/a.mp3" }), 400, "bad_request", "output"],
    [() => stranger.health(), 401, "unauthorized", undefined],
  ] as const) {
    const error = await failure(call());
    assert.ok(error instanceof ApiError, String(error));
    assert.deepEqual([error.status, error.code, error.field], [status, code, field]);
    assert.ok(error.message.length > 0);
  }
});

test("the example records, follows, meters and decodes", async () => {
  const example = join(repo, "clients/typescript/dist/examples/record.js");
  const args = [example, binary, await temp("example"), "x", "test-tone"];
  const { stdout } = await run(process.execPath, args, { env: { ...process.env, ...env } });
  assert.match(stdout, /event 1: track_started/);
  assert.match(stdout, /levels: remote -15\.\d dBFS/);
  assert.match(stdout, /: capture_stopped\nsummary: \{"tracks":\{"mic":\{.*\},"remote":\{/);
  assert.match(stdout, /decoded: 32000 frames, 2 s\nservice exit: \{"code":0,"signal":null\}/);
});

const noPipeWire = !existsSync("/usr/bin/pipewire") && "no PipeWire";
test("a mic capture on a private audio server hears it", { skip: noPipeWire }, async () => {
  const dir = await temp("pw");
  const player = join(dirname(binary), "tools/audio-env/va-tone-player"); // the binary's build
  const VA_TONE_PLAYER = existsSync(player) ? player : process.env.VA_TONE_PLAYER;
  const audioEnv = (...args: string[]) =>
    run(join(repo, "scripts/audio-env"), args, { env: { ...process.env, VA_TONE_PLAYER } });
  await audioEnv("start", dir, "--bare");
  try {
    await audioEnv("mic", dir, "client_mic", "1000", "--default");
    const pairs = (await audioEnv("env", dir)).stdout.trim().split(/\s+/);
    const serverEnv = Object.fromEntries(pairs.map((p) => p.split(/=(.*)/s).slice(0, 2)));
    const pw = await startService({ binary, root, env: { ...serverEnv, PIPEWIRE_REMOTE: undefined } });
    const audio = pw.client;
    const { captureId } = await audio.createCapture({ dir: `${root}/m`, segmentSeconds: 1, mic: {} });
    for await (const event of audio.followEvents(captureId))
      if (event.type === "segment_closed") break;
    const { tracks } = await audio.levels(captureId); // a sine of 0.5 is -9.0 dBFS RMS
    assert.ok(Math.abs((tracks["mic"]?.rmsDb ?? -120) + 9.0) < 0.5, JSON.stringify(tracks));
    assert.deepEqual(await pw.stop(), { code: 0, signal: null });
  } finally {
    await audioEnv("stop", dir);
  }
});

test("stop ends the service with status 0 after its lines and state", async () => {
  assert.deepEqual(await service.stop(), { code: 0, signal: null });
  assert.ok(stderr.length > 0 && stderr.every((line) => line.startsWith("[audio] ")));
  assert.deepEqual([states.includes(1), states.at(-1)], [true, 0]);
});
