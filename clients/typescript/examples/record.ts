// Records the default microphone and one application until the first segment is closed, prints
// its events and levels, then decodes that segment.
//   node dist/examples/record.js BINARY ROOT [BUNDLE_ID] [STRATEGY]
import { startService } from "../src/index.js";

const [binary, root, bundleId = "org.example.Player", strategy = "process-tap"] =
  process.argv.slice(2);
if (!binary || !root) throw new Error("usage: record.js BINARY ROOT [BUNDLE_ID] [STRATEGY]");

const service = await startService({ binary, root });
service.on("stderr", (line) => console.error(line));
const audio = service.client;
const dir = `${root}/recording`;
const { captureId } = await audio.createCapture({
  dir, segmentSeconds: 2, mic: {}, remote: { strategy, match: { bundleIds: [bundleId] } },
});

const meter = audio.pollLevels(captureId, ({ tracks }) => {
  const line = Object.entries(tracks).map(([track, l]) => `${track} ${l.rmsDb} dBFS`);
  if (line.length) console.log(`levels: ${line.join(", ")}`);
}, { intervalMs: 500 });

let first: string | undefined;
for await (const event of audio.followEvents(captureId)) {
  console.log(`event ${event.seq}: ${event.type}`);
  if (event.type === "segment_closed" && !first) {
    first = event.path;
    await audio.stopCapture(captureId);
  }
  if (event.type === "capture_stopped") console.log(`summary: ${JSON.stringify(event.summary)}`);
}
await meter.done;

const decoded = await audio.decode({ input: `${dir}/${first}`, output: `${dir}/first.wav` });
console.log(`decoded: ${decoded.frames} frames, ${decoded.durationS} s`);
console.log(`service exit: ${JSON.stringify(await service.stop())}`);
