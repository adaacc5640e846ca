#!/usr/bin/env python3
"""Checks every message exchanged with the real helper against schemas/.

Runs each given test program with QUORVANTELMIC_RECORD_MESSAGES pointing at a
fresh directory, so that tests/support's runHelper keeps every session there
as NAME.requests (bytes sent) and NAME.responses (bytes answered). Then:

- every response line must fit schemas/response.json;
- every request line that the helper did not refuse as invalid-request must
  fit schemas/request.json, and must be of the operation its answer names;
- the examples in docs/examples/ (request, answer, request, answer, ...) must
  fit the same schemas, so the documentation cannot show a shape the schemas
  refuse;
- the recorded set must cover every operation, success and failure shapes,
  and the error codes that the tests provoke.

Exit status 0 when all holds; the last line reads "N passed, N failed".
"""
import argparse
import json
import os
import pathlib
import shlex
import subprocess
import sys
import tempfile

from jsonschema import Draft202012Validator

SUPPORTED = [
    "inspect-image", "convert-image", "inspect-pdf", "images-to-pdf", "pdf-pages-to-png",
    "pdf-pages-to-jpeg", "prepare-staging", "prepare-staging-set", "cleanup-staging",
    "cleanup-staging-set", "publish-output", "publish-output-set",
]
REFUSED = ["merge-pdfs", "split-pdf", "rotate-pdf-clockwise", "compress-pdf-flattened", "ocr-pdf-english"]
# Codes that the recorded tests must provoke at least once; "cancelled" is
# produced by nothing, and "internal-error" only by faults no test can force.
PROVOKED_CODES = [
    "invalid-request", "unsupported-source", "resource-limit", "decode-failed", "output-exists",
    "filesystem-policy",
]


def load_schemas(directory):
    """Every schema file by its $id, and validators for the two entry points."""
    store = {}
    for path in sorted(pathlib.Path(directory).rglob("*.json")):
        schema = json.loads(path.read_text(encoding="utf-8"))
        Draft202012Validator.check_schema(schema)
        store[schema["$id"]] = schema
    request = json.loads((pathlib.Path(directory) / "request.json").read_text(encoding="utf-8"))
    response = json.loads((pathlib.Path(directory) / "response.json").read_text(encoding="utf-8"))
    owner = json.loads((pathlib.Path(directory) / "owner-record.json").read_text(encoding="utf-8"))
    try:
        from referencing import Registry, Resource

        registry = Registry().with_resources(
            (identifier, Resource.from_contents(schema)) for identifier, schema in store.items())

        def make(schema):
            return Draft202012Validator(schema, registry=registry)
    except ImportError:  # jsonschema before 4.18 resolves through a store
        from jsonschema import RefResolver

        def make(schema):
            return Draft202012Validator(schema, resolver=RefResolver.from_schema(schema, store=store))
    return make(request), make(response), make(owner)


def lines_of(data):
    """Request lines as the helper cuts them: at line feeds, one trailing CR removed."""
    pieces = data.split(b"\n")
    if pieces and pieces[-1] == b"":
        pieces.pop()
    return [piece[:-1] if piece.endswith(b"\r") else piece for piece in pieces]


class Checker:
    def __init__(self, request, response):
        self.request = request
        self.response = response
        self.failures = []
        self.checked = 0
        self.seen_success = set()
        self.seen_failure = set()
        self.seen_codes = set()
        self.schema_refused_invalid = 0
        self.invalid_requests = 0

    def fail(self, where, text):
        self.failures.append(f"{where}: {text}")

    def errors(self, validator, value):
        best = sorted(validator.iter_errors(value), key=lambda error: len(list(error.absolute_path)))
        return "; ".join(f"{'/'.join(map(str, e.absolute_path)) or '(top)'}: {e.message[:300]}" for e in best[:3])

    def check_pair(self, where, request_line, answer):
        self.checked += 1
        problem = self.errors(self.response, answer)
        if problem:
            self.fail(where, f"response does not fit the schema: {problem}\n    {json.dumps(answer)[:400]}")
            return
        operation = answer["operation"]
        if answer["ok"]:
            self.seen_success.add(operation)
        else:
            self.seen_failure.add(operation)
            self.seen_codes.add(answer["error"]["code"])
        if request_line is None:
            return
        refused = not answer["ok"] and answer["error"]["code"] == "invalid-request"
        try:
            request = json.loads(request_line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError, RecursionError):
            request = None
        if refused:
            self.invalid_requests += 1
            if request is None or self.errors(self.request, request):
                self.schema_refused_invalid += 1
            return
        if request is None:
            self.fail(where, f"an answered request is not JSON: {request_line[:200]!r}")
            return
        self.checked += 1
        problem = self.errors(self.request, request)
        if problem:
            self.fail(where, f"request does not fit the schema: {problem}\n    {request_line[:400]!r}")
        elif request.get("operation") != operation:
            self.fail(where, f"answered as {operation} but asked {request.get('operation')}")

    def check_session(self, where, sent, answered):
        requests = lines_of(sent)
        if not answered.endswith(b"\n") and answered:
            self.fail(where, "the output ends inside a line")
        responses = [line for line in answered.split(b"\n") if line]
        for index, line in enumerate(responses):
            try:
                answer = json.loads(line.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                self.fail(f"{where} line {index + 1}", "a response line is not JSON")
                continue
            # A runner's session-limit failure answers no line; every other
            # response answers the line at its own position.
            session_failure = (answer.get("operation") == "protocol" and not answer.get("ok")
                               and answer.get("error", {}).get("code") == "resource-limit")
            request = None if session_failure or index >= len(requests) else requests[index]
            if request is not None and len(request) > 65536:
                request = None
            self.check_pair(f"{where} line {index + 1}", request, answer)


def refuse_mutations(checker, examples):
    """The schemas must refuse messages that differ from real ones in small ways."""
    def lines(name):
        return [json.loads(line) for line in (examples / name).read_text(encoding="utf-8").splitlines()]

    prepare_request, prepare_answer = lines("conversion-3-prepare-staging.ndjson")
    publish_answer = lines("conversion-5-publish-output.ndjson")[3]
    failure = lines("conversion-5-publish-output.ndjson")[1]
    mutations = []

    def mutate(label, validator, message, change):
        copy = json.loads(json.dumps(message))
        change(copy)
        mutations.append((label, validator, copy))

    mutate("request with an extra key", checker.request, prepare_request, lambda m: m.update(verbose=True))
    mutate("request without outputName", checker.request, prepare_request, lambda m: m.pop("outputName"))
    mutate("identity field as a number", checker.request, prepare_request,
           lambda m: m["destinationIdentity"].update(size=4096))
    mutate("identity with a leading zero", checker.request, prepare_request,
           lambda m: m["destinationIdentity"].update(inode="0131073"))
    mutate("protocol version 3", checker.request, prepare_request, lambda m: m.update(protocolVersion=3))
    mutate("non-canonical request identifier", checker.request, prepare_request,
           lambda m: m.update(requestId="7d1c4e2a-5b3f-0a60-9e8d-000000000004"))
    mutate("destination other than descriptor 3", checker.request, prepare_request,
           lambda m: m.update(destinationPath="/dev/fd/4"))
    mutate("staged name in capitals", checker.request, prepare_request,
           lambda m: m.update(operation="prepare-staging-set", outputNames=["output-" + "A" * 32 + ".png"],
                              outputName=None) or m.pop("outputName"))
    publish_request = lines("conversion-5-publish-output.ndjson")[2]
    mutate("publication extension that differs from the staged name's", checker.request, publish_request,
           lambda m: m.update(outputExtension="jpg"))
    set_request = lines("pages-4-publish-output-set.ndjson")[0]
    mutate("set member extension that differs from the staged name's", checker.request, set_request,
           lambda m: m["outputs"][1].update(outputExtension="pdf"))
    mutate("answer with an error and ok true", checker.response, prepare_answer,
           lambda m: m.update(error={"code": "internal-error", "message": "x."}))
    mutate("answer with a field of another operation", checker.response, prepare_answer,
           lambda m: m.update(removed=True))
    mutate("answer missing ownerIdentity", checker.response, prepare_answer, lambda m: m.pop("ownerIdentity"))
    mutate("null instead of an absent key", checker.response, publish_answer, lambda m: m.update(displayName=None))
    mutate("collision index 0", checker.response, publish_answer, lambda m: m.update(collisionIndex=0))
    mutate("an eleventh error code", checker.response, failure, lambda m: m["error"].update(code="timeout"))
    mutate("a failure with a result key", checker.response, failure, lambda m: m.update(byteLength=1))
    mutate("an upper-case digest", checker.response, lines("conversion-4-convert-image.ndjson")[1],
           lambda m: m.update(sha256="A" * 64))
    for label, validator, message in mutations:
        checker.checked += 1
        if not checker.errors(validator, message):
            checker.fail("schemas", f"accepts a {label}: {json.dumps(message)[:300]}")


def run_programs(programs, directory):
    environment = dict(os.environ, QUORVANTELMIC_RECORD_MESSAGES=str(directory))
    environment.pop("QUORVANTELMIC_REGENERATE_EXAMPLES", None)
    for program in programs:
        command = shlex.split(program)
        command[0] = os.path.abspath(command[0])
        with tempfile.TemporaryDirectory(prefix="qv-schema-run-") as workspace:
            finished = subprocess.run(command, env=environment, cwd=workspace, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, check=False)
        if finished.returncode != 0:
            sys.stdout.write(finished.stdout.decode("utf-8", "replace")[-4000:])
            print(f"recording program failed with status {finished.returncode}: {program}")
            return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--schemas", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--run", action="append", default=[], help="a test program that records sessions")
    parser.add_argument("--recorded", help="check an existing recording directory instead of running programs")
    arguments = parser.parse_args()

    request, response, owner = load_schemas(arguments.schemas)
    checker = Checker(request, response)

    with tempfile.TemporaryDirectory(prefix="qv-recorded-messages-") as scratch:
        directory = pathlib.Path(arguments.recorded or scratch)
        if not arguments.recorded and not run_programs(arguments.run, directory):
            print("0 passed, 1 failed")
            return 1
        sessions = sorted(directory.glob("*.requests"))
        for sent in sessions:
            answered = sent.with_suffix(".responses")
            checker.check_session(sent.name, sent.read_bytes(), answered.read_bytes() if answered.exists() else b"")

    for example in sorted(pathlib.Path(arguments.examples).glob("*.ndjson")):
        lines = example.read_bytes().split(b"\n")[:-1]
        for index in range(0, len(lines) - 1, 2):
            checker.check_pair(f"{example.name} line {index + 2}", lines[index], json.loads(lines[index + 1]))

    # The owner record has no wire message of its own; check the shape the
    # helper writes (the same bytes the staging tests compare).
    record = {"expectedEntryNames": [".owner.json", "output-0123456789abcdef0123456789abcdef.png"],
              "schemaVersion": 1, "stagingId": "c6a1f0e2-93b4-4d57-8a2e-1f0b3c4d5e6f"}
    if checker.errors(owner, record):
        checker.fail("owner-record.json", checker.errors(owner, record))

    refuse_mutations(checker, pathlib.Path(arguments.examples))

    expected_success = set(SUPPORTED) | {"hello", "capabilities"}
    for operation in sorted(expected_success - checker.seen_success):
        checker.fail("coverage", f"no successful {operation} response was recorded")
    for operation in sorted(set(REFUSED) - checker.seen_failure):
        checker.fail("coverage", f"no refusal of {operation} was recorded")
    if "protocol" not in checker.seen_failure:
        checker.fail("coverage", "no protocol failure was recorded")
    for code in PROVOKED_CODES:
        if code not in checker.seen_codes:
            checker.fail("coverage", f"no {code} error was recorded")

    for failure in checker.failures[:60]:
        print(failure)
    print(f"{len(sessions)} sessions, {checker.checked} messages checked; "
          f"{checker.schema_refused_invalid} of {checker.invalid_requests} requests refused as invalid-request "
          f"are refused by the request schema too")
    print(f"{checker.checked - len(checker.failures)} passed, {len(checker.failures)} failed")
    return 0 if not checker.failures else 1


if __name__ == "__main__":
    sys.exit(main())
