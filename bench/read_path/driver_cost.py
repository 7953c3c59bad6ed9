#!/usr/bin/env python3
"""Instruction counts from a callgrind profile.

driver OUT OBJECT: instructions executed in functions of the object whose file name contains
OBJECT, plus the inclusive cost of the memory copies and fills those functions call (memcpy,
memmove, memset and their variants). Calls into other code (the kernel and USB stand-ins) are
not counted.
total OUT: every instruction collected.
"""
import re
import sys

COPY = re.compile(r"(^|[^a-z])(memcpy|memmove|memset|__memcpy|__memmove|__memset|mempcpy)")


def parse(path):
    objects, functions = {}, {}

    def name(table, text):
        match = re.match(r"\((\d+)\)(?:\s+(.*))?$", text.strip())
        if not match:
            return text.strip()
        if match.group(2) is not None:
            table[match.group(1)] = match.group(2)
        return table.get(match.group(1), match.group(1))

    self_cost = {}   # (object, function) -> Ir
    call_cost = {}   # (object, function, callee) -> inclusive Ir
    total = 0
    ob = fn = None
    callee = None
    after_calls = False
    with open(path) as profile:
        for line in profile:
            line = line.rstrip("\n")
            if line.startswith("ob="):
                ob = name(objects, line[3:])
            elif line.startswith("fn="):
                fn = name(functions, line[3:])
            elif line.startswith("cob="):
                name(objects, line[4:])
            elif line.startswith("cfn="):
                callee = name(functions, line[4:])
            elif line.startswith("calls="):
                after_calls = True
            elif line and (line[0].isdigit() or line[0] in "+-*"):
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if after_calls:
                    key = (ob, fn, callee)
                    call_cost[key] = call_cost.get(key, 0) + cost
                    after_calls = False
                else:
                    self_cost[(ob, fn)] = self_cost.get((ob, fn), 0) + cost
                    total += cost
    return self_cost, call_cost, total


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    mode, path = sys.argv[1], sys.argv[2]
    self_cost, call_cost, total = parse(path)
    if mode == "total":
        print(total)
        return 0
    target = sys.argv[3]
    own = sum(cost for (ob, _), cost in self_cost.items() if ob and target in ob)
    copies = sum(cost for (ob, _, callee), cost in call_cost.items()
                 if ob and target in ob and callee and COPY.search(callee))
    print(own + copies)
    return 0


if __name__ == "__main__":
    sys.exit(main())
