// Typed calls to the service's API: one HTTP/1.1 request per connection on 127.0.0.1, JSON in
// and out, the bearer token of the READY line on each.
import http from "node:http";
import { setTimeout as sleep } from "node:timers/promises";

import type {
  Capabilities,
  CaptureCreated,
  CaptureEvent,
  CaptureList,
  CaptureRequest,
  DecodeRequest,
  DecodeResult,
  ErrorBody,
  ErrorCode,
  EventPage,
  Exact,
  Health,
  Levels,
  Permissions,
  Sources,
  StopSummary,
} from "./types.js";

/** An answer of status 400 or more, or one that is not the JSON the service sends. */
export class ApiError extends Error {
  override readonly name = "ApiError";
  constructor(
    /** HTTP status; 0 when the answer could not be read as JSON. */
    readonly status: number,
    /** The body's "error"; "bad_response" when the answer could not be read as JSON. */
    readonly code: ErrorCode | "bad_response",
    message: string,
    /** The JSON path of the refused request field or query parameter, when one was refused. */
    readonly field?: string,
  ) {
    super(message);
  }
}

export interface Endpoint {
  port: number;
  token: string;
  /** 127.0.0.1 unless told: the service listens on loopback only. */
  host?: string;
}

export interface CallOptions {
  signal?: AbortSignal;
}

export interface EventsOptions extends CallOptions {
  /** The last sequence number already seen (the "next" of the previous page); 0 at first. */
  after?: number;
  /** Seconds to wait for an event when none is there yet, 0 to 25. */
  wait?: number;
}

export interface LevelsPollerOptions extends CallOptions {
  /** Between the end of one answer and the next request; 100 ms by default. */
  intervalMs?: number;
}

export interface LevelsPoller {
  /**
   * Settles once polling ends: after the first answer with "recording" false (delivered), on
   * stop() or the signal; rejects with the error of a failed request.
   */
  readonly done: Promise<void>;
  /** Ends polling; resolves with `done`. */
  stop(): Promise<void>;
}

// How long a request may go without any traffic before it is given up (socket idle time). A
// long poll adds its wait; a decode is answered however long it takes and has no limit.
const IDLE_TIMEOUT_MS = 30_000;

export class AudioClient {
  readonly #endpoint: Required<Endpoint>;

  constructor(endpoint: Endpoint) {
    this.#endpoint = { host: "127.0.0.1", ...endpoint };
  }

  health(options?: CallOptions): Promise<Health> {
    return this.#call("GET", "/health", options);
  }

  capabilities(options?: CallOptions): Promise<Capabilities> {
    return this.#call("GET", "/capabilities", options);
  }

  permissions(options?: CallOptions): Promise<Permissions> {
    return this.#call("GET", "/permissions", options);
  }

  sources(options?: CallOptions): Promise<Sources> {
    return this.#call("GET", "/sources", options);
  }

  /** Recording captures and the stopped ones still kept, oldest first. */
  listCaptures(options?: CallOptions): Promise<CaptureList> {
    return this.#call("GET", "/captures", options);
  }

  /** Starts a capture. A key the request type does not know is a compile error. */
  createCapture<R extends CaptureRequest>(
    request: R & Exact<CaptureRequest, R>,
    options?: CallOptions,
  ): Promise<CaptureCreated> {
    return this.#call("POST", "/captures", options, request);
  }

  /** One page of the capture's events after `after`, waiting up to `wait` seconds for one. */
  events(id: string, options: EventsOptions = {}): Promise<EventPage> {
    const { after = 0, wait = 0 } = options;
    const path = `${capturePath(id)}/events?after=${after}&wait=${wait}`;
    return this.#call("GET", path, options, undefined, IDLE_TIMEOUT_MS + wait * 1000);
  }

  levels(id: string, options?: CallOptions): Promise<Levels> {
    return this.#call("GET", `${capturePath(id)}/levels`, options);
  }

  /** Stops the capture (again: the same summary). */
  stopCapture(id: string, options?: CallOptions): Promise<StopSummary> {
    return this.#call("POST", `${capturePath(id)}/stop`, options, undefined);
  }

  /** Converts an audio file below the root to a 16 kHz mono 16-bit WAV file. */
  decode<R extends DecodeRequest>(
    request: R & Exact<DecodeRequest, R>,
    options?: CallOptions,
  ): Promise<DecodeResult> {
    return this.#call("POST", "/decode", options, request, 0);
  }

  /**
   * Every event of the capture after `after`, in order, long-polling for new ones. Ends after
   * "capture_stopped", the last event a capture has, or quietly when the signal aborts; an
   * error of a request (a capture forgotten: 404) is thrown.
   */
  async *followEvents(
    id: string,
    options: EventsOptions = {},
  ): AsyncGenerator<CaptureEvent, void, undefined> {
    let after = options.after ?? 0;
    const wait = options.wait ?? 25;
    for (;;) {
      let page: EventPage;
      try {
        page = await this.events(id, { ...options, after, wait });
      } catch (error) {
        if (options.signal?.aborted) return;
        throw error;
      }
      for (const event of page.events) {
        yield event;
        if (event.type === "capture_stopped") return;
      }
      after = page.next;
    }
  }

  /**
   * Calls `onLevels` with the capture's levels every `intervalMs`, until the capture no longer
   * records (that last answer is delivered too), stop() or the signal.
   */
  pollLevels(
    id: string,
    onLevels: (levels: Levels) => void,
    options: LevelsPollerOptions = {},
  ): LevelsPoller {
    const stopper = new AbortController();
    const stop = () => stopper.abort();
    options.signal?.addEventListener("abort", stop, { once: true });
    if (options.signal?.aborted) stop();
    const signal = stopper.signal;
    const done = (async () => {
      try {
        while (!signal.aborted) {
          const levels = await this.levels(id, { signal });
          onLevels(levels);
          if (!levels.recording) return;
          await sleep(options.intervalMs ?? 100, undefined, { signal });
        }
      } catch (error) {
        if (!signal.aborted) throw error;
      } finally {
        options.signal?.removeEventListener("abort", stop);
      }
    })();
    // A failure is kept for whoever awaits `done` or stop(), never an unhandled rejection.
    done.catch(() => {});
    return {
      done,
      stop: () => {
        stop();
        return done;
      },
    };
  }

  #call<T>(
    method: "GET" | "POST",
    path: string,
    options: CallOptions | undefined,
    body?: unknown,
    idleTimeoutMs = IDLE_TIMEOUT_MS,
  ): Promise<T> {
    // POST always carries a body with its length: the service refuses a chunked one (501).
    const payload =
      method === "POST" ? Buffer.from(body === undefined ? "" : JSON.stringify(body)) : undefined;
    return new Promise<T>((resolve, reject) => {
      const request = http.request(
        {
          host: this.#endpoint.host,
          port: this.#endpoint.port,
          method,
          path,
          agent: false,
          ...(options?.signal ? { signal: options.signal } : {}),
          headers: {
            Authorization: `Bearer ${this.#endpoint.token}`,
            Connection: "close",
            ...(payload
              ? { "Content-Type": "application/json", "Content-Length": payload.length }
              : {}),
          },
        },
        (response) => {
          const chunks: Buffer[] = [];
          response.on("data", (chunk: Buffer) => chunks.push(chunk));
          response.on("error", reject);
          response.on("end", () => {
            const status = response.statusCode ?? 0;
            const text = Buffer.concat(chunks).toString("utf8");
            let json: unknown;
            try {
              json = JSON.parse(text);
            } catch {
              const start = text.slice(0, 200);
              reject(new ApiError(status, "bad_response",
                `${method} ${path} answered ${status} with a body that is not JSON: ${start}`));
              return;
            }
            if (status >= 200 && status < 300) {
              resolve(json as T);
              return;
            }
            const error = json as Partial<ErrorBody>;
            reject(new ApiError(status, error.error ?? "bad_response",
              error.message ?? `${method} ${path} answered ${status}`, error.field));
          });
        },
      );
      request.on("error", reject);
      if (idleTimeoutMs > 0)
        request.setTimeout(idleTimeoutMs, () =>
          request.destroy(new Error(`${method} ${path}: no answer within ${idleTimeoutMs} ms`)));
      request.end(payload);
    });
  }
}

function capturePath(id: string): string {
  return `/captures/${encodeURIComponent(id)}`;
}
