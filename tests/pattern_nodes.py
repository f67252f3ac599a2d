"""Walks over TVM dataflow-pattern objects, for tests that check which pattern
nodes a builder or table shares."""

import tvm
from tvm.relay.dataflow_pattern import DFPattern

# Fields holding sub-patterns, per pattern class; leaves have none.
CHILDREN = {
    "AltPattern": ("left", "right"),
    "CallPattern": ("op", "args"),
    "TuplePattern": ("fields",),
    "TupleGetItemPattern": ("tuple",),
    "AttrPattern": ("pattern",),
    "TypePattern": ("pattern",),
    "ShapePattern": ("pattern",),
    "DataTypePattern": ("pattern",),
    "FunctionPattern": ("params", "body"),
    "DominatorPattern": ("parent", "path", "child"),
    "WildcardPattern": (),
    "ExprPattern": (),
    "ConstantPattern": (),
    "VarPattern": (),
}


def walk_patterns(root, skip=()):
    """Every pattern node reachable from root once, except under ``skip``."""
    stop = {p.handle.value for p in skip}
    seen, stack = set(), [root]
    while stack:
        node = stack.pop()
        if node is None:
            continue
        if isinstance(node, (list, tuple, tvm.ir.container.Array)):
            stack.extend(node)
            continue
        assert isinstance(node, DFPattern), type(node)
        addr = node.handle.value
        if addr in seen or addr in stop:
            continue
        seen.add(addr)
        yield node
        for field in CHILDREN[type(node).__name__]:
            stack.append(getattr(node, field))


def pattern_nodes(root, skip=()):
    """Addresses of the pattern nodes reachable from root."""
    return {node.handle.value for node in walk_patterns(root, skip)}


def table_nodes(table):
    """Addresses of the pattern nodes of every entry of a table."""
    nodes = set()
    for entry in table:
        nodes |= pattern_nodes(entry[1])
    return nodes
