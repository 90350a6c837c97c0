// Compiled by tsc with the tests, never run: each @ts-expect-error line must stay a compile error.
import type { AudioClient } from "../src/index.js";

export async function typeChecks(audio: AudioClient): Promise<void> {
  // @ts-expect-error "device" is no key of "mic" (it is "deviceUid")
  await audio.createCapture({ dir: "/r/a", mic: { device: "x" } });
  const mic = { deviceUid: "x", device: "x" };
  // @ts-expect-error exact even when not an object literal
  await audio.createCapture({ dir: "/r/a", mic });
  const remote = { strategy: "s", match: { bundleIds: [], bundleID: [] } };
  // @ts-expect-error an unknown key two levels down
  await audio.createCapture({ dir: "/r/a", remote });
  // @ts-expect-error decode knows input and output only
  await audio.decode({ input: "/r/a.m4a", output: "/r/a.wav", rate: 8000 });
  for await (const event of audio.followEvents("id")) {
    // @ts-expect-error narrowed by "type": a capture_stopped event has no "path"
    if (event.type === "capture_stopped") void event.path;
  }
}
