export { ApiError, AudioClient } from "./client.js";
export type {
  CallOptions,
  Endpoint,
  EventsOptions,
  LevelsPoller,
  LevelsPollerOptions,
} from "./client.js";
export { AudioService, ServiceStartError, startService } from "./service.js";
export type { Ready, ServiceEvents, ServiceExit, ServiceOptions, ServiceState } from "./service.js";
export type * from "./types.js";
