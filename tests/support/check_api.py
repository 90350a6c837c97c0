#!/usr/bin/env python3
"""Checks recorded HTTP exchanges against the API description.

usage: check_api.py openapi.yaml exchanges.jsonl

Each line of the exchanges file is {"method", "path", "status", "body"}. The operation is found by
matching the path (its query dropped) against the description's path templates; the body is
validated against that status's JSON schema (Draft 2020-12, "$ref" resolved within the file). An
exchange the description has no operation or status for fails too. Exit 0 when all pass, else
every failure is printed and the exit is 1.
"""

import json
import re
import sys

import jsonschema
import yaml


def pointer(doc, ref):
    """The object a local "$ref" ("#/a/b") names."""
    node = doc
    for part in ref.lstrip("#/").split("/"):
        node = node[part.replace("~1", "/").replace("~0", "~")]
    return node


def templates(doc):
    """(regex, path item) per path template; "{name}" matches one path segment."""
    out = []
    for template, item in doc["paths"].items():
        parts = re.split(r"(\{[^}/]+\})", template)
        regex = "".join("[^/]+" if p.startswith("{") else re.escape(p) for p in parts)
        out.append((re.compile("^" + regex + "$"), item))
    return out


def response_schema(doc, paths, method, path, status):
    """(schema ref, None) for an exchange, or (None, why it has none)."""
    item = next((item for regex, item in paths if regex.match(path.split("?", 1)[0])), None)
    if item is None:
        return None, "no path of the description matches"
    operation = item.get(method.lower())
    if operation is None:
        return None, f"the path has no {method} operation"
    response = operation.get("responses", {}).get(str(status))
    if response is None:
        return None, f"the operation lists no status {status}"
    while "$ref" in response:
        response = pointer(doc, response["$ref"])
    schema = response.get("content", {}).get("application/json", {}).get("schema")
    if schema is None:
        return None, f"status {status} has no JSON body"
    return schema, None


def problems(doc, instance, schema, at=""):
    """(JSON path, message) of each violation; a discriminated oneOf is checked against the one
    schema its mapping names, so that the message says what is wrong with that event."""
    # The whole description is the root schema, so that every "#/components/..." resolves.
    root = dict(doc, **schema)
    for error in jsonschema.Draft202012Validator(root).iter_errors(instance):
        where = at + error.json_path.lstrip("$")
        union = error.schema
        while isinstance(union, dict) and "$ref" in union and len(union) == 1:
            union = pointer(doc, union["$ref"])
        mapping = union.get("discriminator", {}).get("mapping", {}) if isinstance(union, dict) else {}
        key = union.get("discriminator", {}).get("propertyName") if mapping else None
        if error.validator == "oneOf" and isinstance(error.instance, dict) and key:
            target = mapping.get(error.instance.get(key))
            if target is None:
                yield "$" + where + "." + key, f"{error.instance.get(key)!r} is not a known {key}"
            else:
                yield from problems(doc, error.instance, {"$ref": target}, where)
        else:
            yield "$" + where, error.message


def main(description, exchanges):
    with open(description) as f:
        doc = yaml.safe_load(f)
    paths = templates(doc)
    failures = 0
    with open(exchanges) as f:
        for line in f:
            if not line.strip():
                continue
            x = json.loads(line)
            schema, why = response_schema(doc, paths, x["method"], x["path"], x["status"])
            found = [("$", why)] if why else []
            if schema is not None:
                found = list(problems(doc, x["body"], schema))
            for where, message in found:
                failures += 1
                print(f"{x['method']} {x['path']} {x['status']}: {where}: {message}")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
