#!/usr/bin/env bash
# The TypeScript client from a clean state: the locked dependencies, the API description's lint,
# the build (types generated from api/openapi.yaml) and the tests against the real service
# (VELMORRANT_AUDIO_BIN, else build/velmorrant-audio).
set -euo pipefail
cd "$(dirname "$0")/.."
node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 20 ? 0 : 1)' ||
  { echo "ci.sh: the client needs Node.js 20 or newer, found $(node --version)" >&2; exit 1; }
npm ci --no-audit --no-fund
npm run lint:api
npm run build
npm test
