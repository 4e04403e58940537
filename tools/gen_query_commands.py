#!/usr/bin/env python3
"""Write the request operations of the command table from tools/query_commands.tsv.

Usage:
    tools/gen_query_commands.py            rewrite src/tasks/query_commands_table.cc
    tools/gen_query_commands.py --check    exit 1 when the committed file differs from what would be written

Each row of the table names a task id, the CThostFtdcTraderApi request it sends and the fields of the
request record it fills. The generator emits one operation per row (zero the record, copy the
fields bounded by their destination, run the row's hook, send) and the list of (task id, operation)
that QueryCommands builds its map from. The request record's type and every destination field and
its width come from the CTP facts table (ctpapi/ctp-6.3.15.json), so a misspelt field or a text
literal that does not fit is an error here rather than a silent gap in a request.
"""
import argparse
import json
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLE = ROOT / "tools" / "query_commands.tsv"
FACTS = ROOT / "ctpapi" / "ctp-6.3.15.json"
OUT = ROOT / "src" / "tasks" / "query_commands_table.cc"
EXPECTED_ENTRIES = 57

SHORTHANDS = {
    "B": "BrokerID=login.BrokerID",
    "I": "InvestorID=login.InvestorID",
    "A": "AccountID=login.AccountID",
    "U": "UserID=login.UserID",
    "Ins": "InstrumentID=command.StandardID",
    "Ex": "ExchangeID=command.ExchangeID",
    "Cny": 'CurrencyID="CNY"',
    "H": "HedgeFlag=command.CombineBusinessFlag",
}
# Operations written by hand that replace the whole request (no CTP record of their own).
WHOLE_OPERATIONS = {"loginMarketData"}
NUMERIC_SOURCES = {"command.Price": "double", "command.Volume": "int"}
SOURCE = re.compile(r"^(login|command)\.([A-Za-z]\w*)$")


class TableError(Exception):
    pass


def read_table():
    rows = []
    for number, line in enumerate(TABLE.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        cells = line.split("\t")
        if cells[0] == "task_id":
            continue
        if len(cells) != 5:
            raise TableError("%s:%d: expected 5 tab-separated cells, got %d" % (TABLE.name, number, len(cells)))
        task_id, name, request, fields, hook = cells
        rows.append({"line": number, "id": int(task_id), "name": name, "request": request,
                     "fields": [] if fields == "-" else fields.split(), "hook": None if hook == "-" else hook})
    return rows


def load_facts():
    d = json.loads(FACTS.read_text())
    typedefs = {t["name"]: t for t in d["typedefs"]}
    structs = {s["name"]: {f["name"]: typedefs[f["type"]] for f in s["fields"]} for s in d["structs"]}
    requests = {}
    for m in d["classes"]["CThostFtdcTraderApi"]:
        params = m["params"]
        if m["pure"] and len(params) == 2 and params[1]["name"] == "nRequestID":
            requests[m["name"]] = params[0]["type"].rstrip(" *")
    return structs, requests


def source_expr(source):
    m = SOURCE.match(source)
    if not m:
        return None
    return ("login." if m.group(1) == "login" else "task.command.") + m.group(2)


def field_statement(where, record_fields, assignment):
    assignment = SHORTHANDS.get(assignment, assignment)
    if "=" not in assignment:
        raise TableError("%s: %r is neither a shorthand nor Field=source" % (where, assignment))
    field, source = assignment.split("=", 1)
    if field not in record_fields:
        raise TableError("%s: the request record has no field %s" % (where, field))
    t = record_fields[field]
    base, length = t["base"], t["length"]
    target = "record." + field
    if base == "char" and length is not None:
        if source.startswith('"') and source.endswith('"'):
            if len(source) - 2 > length - 1:
                raise TableError("%s: %s does not fit %s (char[%d])" % (where, source, field, length))
            return "copyField(%s, %s);" % (target, source)
        expr = source_expr(source)
        if expr is None or source in NUMERIC_SOURCES:
            raise TableError("%s: %s needs a text source, got %r" % (where, field, source))
        return "copyField(%s, %s);" % (target, expr)
    if base == "char":
        if re.fullmatch(r"'.'", source):
            return "%s = %s;" % (target, source)
        expr = source_expr(source)
        if expr is None or source in NUMERIC_SOURCES:
            raise TableError("%s: %s needs a character source, got %r" % (where, field, source))
        return "%s = %s[0];" % (target, expr)
    if base in ("double", "int"):
        if NUMERIC_SOURCES.get(source) != base:
            raise TableError("%s: %s (%s) cannot be filled from %r" % (where, field, base, source))
        return "%s = %s;" % (target, source_expr(source))
    raise TableError("%s: no rule to fill %s of type %s" % (where, field, base))


def render(rows, structs, requests):
    ids = [r["id"] for r in rows]
    if len(set(ids)) != len(ids):
        raise TableError("duplicate task ids: %s" % sorted({i for i in ids if ids.count(i) > 1}))
    if len(rows) != EXPECTED_ENTRIES:
        raise TableError("the table has %d entries, the catalogue %d" % (len(rows), EXPECTED_ENTRIES))
    out = [
        "// Generated by tools/gen_query_commands.py from tools/query_commands.tsv. Do not edit; rerun the generator.",
        "// The request operations of the command table, one per task id, and the list QueryCommands is",
        "// built from. Each operation runs on the worker thread with the task queue's lock held.",
        '#include "tasks/request_building.h"',
        "",
        "namespace qv {",
        "namespace {",
        "",
    ]
    entries = []
    for r in rows:
        where = "%s:%d (task %d)" % (TABLE.name, r["line"], r["id"])
        if r["request"] in WHOLE_OPERATIONS:
            if r["fields"] or r["hook"]:
                raise TableError("%s: %s takes no fields and no hook" % (where, r["request"]))
            entries.append((r["id"], r["request"]))
            continue
        if r["request"] not in requests:
            raise TableError("%s: CThostFtdcTraderApi has no request %s" % (where, r["request"]))
        record_type = requests[r["request"]]
        statements = [field_statement(where, structs[record_type], f) for f in r["fields"]]
        function = "request%d" % r["id"]
        uses_login = any("login." in s for s in statements)
        out.append("// %d %s" % (r["id"], r["name"]))
        out.append("int64_t %s(const CommandContext& %s, Task& task) {" % (function, "context"))
        if uses_login:
            out.append("  const CQVLoginField& login = *context.login;")
        out.append("  %s record{};" % record_type)
        out += ["  " + s for s in statements]
        if r["hook"]:
            out.append("  %s(task, record);" % r["hook"])
        out.append("  return sendRequest(context, task, &CThostFtdcTraderApi::%s, record);" % r["request"])
        out.append("}")
        out.append("")
        entries.append((r["id"], function))
    out.append("}  // namespace")
    out.append("")
    out.append("const QueryCommandEntry kQueryCommandEntries[] = {")
    out += ["    {%d, &%s}," % e for e in entries]
    out.append("};")
    out.append("const size_t kQueryCommandCount = sizeof(kQueryCommandEntries) / sizeof(kQueryCommandEntries[0]);")
    out.append("")
    out.append("}  // namespace qv")
    out.append("")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--check", action="store_true", help="compare instead of writing")
    args = ap.parse_args()
    try:
        structs, requests = load_facts()
        text = render(read_table(), structs, requests)
    except TableError as e:
        print("gen_query_commands: %s" % e, file=sys.stderr)
        return 2
    if args.check:
        if not OUT.exists() or OUT.read_text() != text:
            print("stale generated file (run tools/gen_query_commands.py): %s" % OUT.relative_to(ROOT),
                  file=sys.stderr)
            return 1
        return 0
    OUT.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
