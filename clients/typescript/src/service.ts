// Runs the service as a child of this process: reads its READY line, forwards its standard
// error and state lines as events, reports its exit.
import { spawn, type ChildProcess } from "node:child_process";
import { EventEmitter } from "node:events";
import { createInterface } from "node:readline";

import { AudioClient } from "./client.js";

export interface ServiceOptions {
  /** The velmorrant-audio executable. */
  binary: string;
  /** Absolute directory below which every capture and decoded file must lie. */
  root: string;
  /** The process whose exit ends the service; this process by default. */
  parentPid?: number;
  /** Added to this process's environment for the child; an undefined value removes a variable. */
  env?: NodeJS.ProcessEnv;
  /** How long the READY line may take; 10 s by default. */
  readyTimeoutMs?: number;
}

/** What the READY line tells: the service's pid, its loopback port, this run's token. */
export interface Ready {
  pid: number;
  port: number;
  token: string;
  version: string;
}

/** A state line: how many captures record now. */
export interface ServiceState {
  recording: number;
}

export interface ServiceExit {
  code: number | null;
  signal: NodeJS.Signals | null;
}

export interface ServiceEvents {
  /** One line of the service's standard error, as written ("[audio] ..."). */
  stderr: [line: string];
  state: [state: ServiceState];
  /** The service ended; every line it wrote was delivered before. */
  exit: [exit: ServiceExit];
}

/** The service could not be started: no READY line in time, an exit, or no executable. */
export class ServiceStartError extends Error {
  override readonly name = "ServiceStartError";
  constructor(
    message: string,
    /** What it wrote on standard error meanwhile (the last 20 lines). */
    readonly stderr: string[],
    /** How it ended, when it ran at all. */
    readonly exit?: ServiceExit,
  ) {
    super(message);
  }
}

const READY = "VELMORRANT_AUDIO_READY ";
const STATE = "VELMORRANT_AUDIO_STATE ";
const KEPT_STARTUP_LINES = 20;

export class AudioService extends EventEmitter<ServiceEvents> {
  /**
   * Standard error lines read before the READY line (the last 20). Every later line comes as a
   * "stderr" event to listeners added right after startService() resolves.
   */
  readonly startupStderr: string[] = [];
  /** Settles with the exit of the service. */
  readonly exited: Promise<ServiceExit>;
  #ready?: Ready;
  #client?: AudioClient;
  #exit?: ServiceExit;
  readonly #child: ChildProcess;

  /** @internal Use startService(). */
  constructor(child: ChildProcess) {
    super();
    this.#child = child;
    this.exited = new Promise((resolve) => {
      child.on("close", (code, signal) => {
        this.#exit = { code, signal };
        this.emit("exit", this.#exit);
        resolve(this.#exit);
      });
    });
  }

  get ready(): Ready {
    if (!this.#ready) throw new Error("the service is not ready yet");
    return this.#ready;
  }

  /** Typed calls to this service, with its port and token. */
  get client(): AudioClient {
    this.#client ??= new AudioClient({ port: this.ready.port, token: this.ready.token });
    return this.#client;
  }

  /** The service's exit once it happened. */
  get exit(): ServiceExit | undefined {
    return this.#exit;
  }

  /**
   * Sends SIGTERM (the service finalises every capture, at most about 3 s) and resolves with
   * the exit; SIGKILL follows after `killAfterMs` if it has not exited by then.
   */
  async stop(killAfterMs = 10_000): Promise<ServiceExit> {
    if (this.#exit) return this.#exit;
    this.#child.kill("SIGTERM");
    const timer = setTimeout(() => this.#child.kill("SIGKILL"), killAfterMs);
    try {
      return await this.exited;
    } finally {
      clearTimeout(timer);
    }
  }

  /** @internal */
  setReady(ready: Ready): void {
    this.#ready = ready;
  }
}

/** Starts the service and resolves once its READY line was read. */
export function startService(options: ServiceOptions): Promise<AudioService> {
  const parentPid = String(options.parentPid ?? process.pid);
  const args = ["serve", "--root", options.root, "--parent-pid", parentPid];
  const child = spawn(options.binary, args, {
    stdio: ["ignore", "pipe", "pipe"],
    env: { ...process.env, ...options.env },
  });
  const service = new AudioService(child);
  const timeoutMs = options.readyTimeoutMs ?? 10_000;

  return new Promise<AudioService>((resolve, reject) => {
    let settled = false;
    const fail = async (message: string, kill: boolean) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      if (kill) child.kill("SIGKILL");
      // Waits for the exit so that no child outlives a failed start and its last lines are in.
      const exit = child.pid === undefined ? undefined : await service.exited;
      reject(new ServiceStartError(message, service.startupStderr, exit));
    };
    const timer = setTimeout(
      () => void fail(`${options.binary} printed no READY line within ${timeoutMs} ms`, true),
      timeoutMs,
    );

    createInterface({ input: child.stderr!, crlfDelay: Infinity }).on("line", (line) => {
      if (!settled) {
        service.startupStderr.push(line);
        if (service.startupStderr.length > KEPT_STARTUP_LINES) service.startupStderr.shift();
      }
      service.emit("stderr", line);
    });
    createInterface({ input: child.stdout!, crlfDelay: Infinity }).on("line", (line) => {
      if (line.startsWith(STATE)) {
        const state = parseJson<ServiceState>(line.slice(STATE.length));
        if (state) service.emit("state", state);
        return;
      }
      if (settled || !line.startsWith(READY)) return;
      const ready = parseJson<Ready>(line.slice(READY.length));
      if (!ready) {
        void fail(`${options.binary} printed a READY line that is not JSON: ${line}`, true);
        return;
      }
      settled = true;
      clearTimeout(timer);
      service.setReady(ready);
      resolve(service);
    });
    child.on("error", (error) =>
      void fail(`${options.binary} could not be started: ${error.message}`, false));
    void service.exited.then((exit) => {
      const how = exit.signal ? `signal ${exit.signal}` : `status ${exit.code}`;
      const last = service.startupStderr.at(-1);
      const said = last ? `: ${last}` : "";
      void fail(`${options.binary} exited with ${how} before READY${said}`, false);
    });
  });
}

function parseJson<T>(text: string): T | undefined {
  try {
    return JSON.parse(text) as T;
  } catch {
    return undefined;
  }
}
