// The request and answer types of the API, named once here from the types generated out of
// api/openapi.yaml (src/generated/api.ts, made by "npm run build").
import type { components } from "./generated/api.js";

type Schemas = components["schemas"];

export type Health = Schemas["Health"];
export type Capabilities = Schemas["Capabilities"];
export type Permissions = Schemas["Permissions"];
export type Sources = Schemas["Sources"];
export type CaptureList = Schemas["CaptureList"];
export type CaptureInfo = CaptureList["captures"][number];
export type CaptureRequest = Schemas["CaptureRequest"];
export type CaptureCreated = Schemas["CaptureCreated"];
export type EventPage = Schemas["EventPage"];
export type Levels = Schemas["Levels"];
export type TrackLevel = Levels["tracks"][string];
export type StopSummary = Schemas["StopSummary"];
export type DecodeRequest = Schemas["DecodeRequest"];
export type DecodeResult = Schemas["DecodeResult"];
export type TrackName = Schemas["TrackName"];
export type ErrorBody = Schemas["Error"];
export type ErrorCode = ErrorBody["error"];

/** One event of a capture: a union discriminated by "type". */
export type CaptureEvent = Schemas["Event"];
export type CaptureEventType = CaptureEvent["type"];
/** The event of one type, e.g. `EventOf<"segment_closed">`. */
export type EventOf<T extends CaptureEventType> = Extract<CaptureEvent, { type: T }>;

// Keys a type names itself, without those of an index signature.
type KnownKeys<T> = keyof {
  [K in keyof T as string extends K ? never : number extends K ? never : K]: unknown;
};

/**
 * `T` where every key that `Shape` does not know, at any depth, has the type `never`: a request
 * built with a misspelt or invented key is a compile error even when it is not an object
 * literal (the service would only ignore the key and list it in "ignoredFields").
 */
export type Exact<Shape, T> = T extends readonly unknown[]
  ? T
  : T extends object
    ? {
        [K in keyof T]: K extends KnownKeys<NonNullable<Shape>> & keyof NonNullable<Shape>
          ? Exact<NonNullable<Shape>[K], T[K]>
          : never;
      }
    : T;
