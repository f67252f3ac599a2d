"""A picture of a partitioned module, for an engineer to read at a glance.

Accelerator regions are clusters. Inside a region, a straight chain of
composites (each feeding only the next, each fed only by the one before) is
one box listing its composites with counts, each row coloured by its name,
and so is a fork-and-join block (a residual, a split and concatenation) with
the chain it sits in; host operators collapse the same way. Edges that cross
between host and accelerator are drawn bold and labelled with the bytes they
carry per inference. A title names the model, tables, architecture and share;
a legend says what is what. Written as DOT with the graphviz package;
Graphviz's `dot` renders it.
"""

import collections
import colorsys
import hashlib
import html
import os
import shutil
import tempfile

from tvm import relay
from tvm.ir import Op

from .summary import composite_name, inside_composites, region_function as _region, size_text, type_bytes, walk

__all__ = ["render", "colour_of", "picture_graph", "repeated_blocks"]

HOST_COLOUR = "#f2f2f2"
REGION_COLOURS = {"vexa_qtz": "#eef5ff", "vexa_fp32": "#f1fbef"}
CROSSING_COLOUR = "#c0392b"


def colour_of(name):
    """A stable light colour per composite name."""
    hue = int(hashlib.sha1(name.encode()).hexdigest()[:6], 16) / 0xFFFFFF
    r, g, b = colorsys.hls_to_rgb(hue, 0.78, 0.65)
    return "#%02x%02x%02x" % (int(r * 255), int(g * 255), int(b * 255))


def _composite(call):
    return composite_name(call.op)


class _Node:
    """One drawn operation: an input, a host operator or a composite."""

    __slots__ = ("key", "place", "name", "kind", "producers", "consumers")

    def __init__(self, key, place, name, kind):
        self.key, self.place, self.name, self.kind = key, place, name, kind
        self.producers = []  # (node, bytes), one per tensor read
        self.consumers = []


class _Graph:
    """main's operations, with each region's composites placed in it."""

    def __init__(self, mod):
        self.mod = mod
        self.nodes = {}  # key -> _Node, in an order where producers come first
        self.regions = {}  # place -> (target, operators)
        self.outputs = []
        self.bindings = {}  # region parameter key -> (expression, its context)
        self._build()

    def _key(self, expr, context):
        return (context, expr.handle.value)

    def _add(self, key, place, name, kind, producers):
        node = _Node(key, place, name, kind)
        for producer, size in producers:
            node.producers.append((producer, size))
            producer.consumers.append(node)
        self.nodes[key] = node
        return node

    def sources(self, expr, context):
        """The drawn nodes whose tensors expr reads, with their bytes."""
        if isinstance(expr, relay.Constant):
            return []
        if isinstance(expr, relay.Var):
            bound = self.bindings.get(self._key(expr, context))
            if bound is not None:
                return self.sources(*bound)
            node = self.nodes.get(self._key(expr, context))
            return [(node, _size_of(expr))] if node else []
        if isinstance(expr, relay.Tuple):
            return [s for field in expr.fields for s in self.sources(field, context)]
        if isinstance(expr, relay.TupleGetItem):
            value = expr.tuple_value
            if isinstance(value, relay.Call) and _region(self.mod, value) is not None:
                body = _region(self.mod, value).body
                name = value.op.name_hint
                return self.sources(body.fields[expr.index] if isinstance(body, relay.Tuple) else body, name)
            if isinstance(value, relay.Tuple):
                return self.sources(value.fields[expr.index], context)
            return [(n, _size_of(expr)) for n, _ in self.sources(value, context)]
        if isinstance(expr, relay.Call):
            region = _region(self.mod, expr)
            if region is not None:
                return self.sources(region.body, expr.op.name_hint)
            node = self.nodes.get(self._key(expr, context))
            return [(node, _size_of(expr))] if node else []
        return []

    def _build(self):
        main = self.mod["main"]
        for param in main.params:
            self._add(self._key(param, "main"), None, param.name_hint, "input", [])

        def visit(node):
            if not isinstance(node, relay.Call):
                return
            region = _region(self.mod, node)
            if region is not None:
                self._add_region(node, region)
            elif isinstance(node.op, Op) or _composite(node):
                self._add_call(node, "main", None)

        _walk_outside_composites(main.body, visit)
        self.outputs = self.sources(main.body, "main")

    def _add_call(self, call, context, place):
        name = _composite(call) or call.op.name
        producers = [s for arg in call.args for s in self.sources(arg, context)]
        self._add(self._key(call, context), place, name, "composite" if _composite(call) else "operator", producers)

    def _add_region(self, call, region):
        name = call.op.name_hint
        for param, arg in zip(region.params, call.args):
            self.bindings[self._key(param, name)] = (arg, "main")

        def visit(node):
            if isinstance(node, relay.Call) and (isinstance(node.op, Op) or _composite(node)):
                self._add_call(node, name, name)

        _walk_outside_composites(region.body, visit)
        operators = []
        walk(region.body, lambda n: operators.append(n) if isinstance(n, relay.Call) and isinstance(n.op, Op) else None)
        self.regions[name] = (str(region.attrs["Compiler"]), len(operators))


def _walk_outside_composites(body, visit):
    """walk, without entering composite functions: what a composite holds stays in its box."""
    hidden = inside_composites(body)
    walk(body, lambda node: None if node.handle.value in hidden else visit(node))


def _size_of(expr):
    try:
        return type_bytes(expr.checked_type)
    except ValueError:
        return 0


# The largest fork-and-join block drawn as one box, in operations.
BLOCK_LIMIT = 64


def _block(fork, order, outputs):
    """The operations after ``fork`` up to the one where all its paths join
    again, when nothing else enters or leaves them and all are of its place
    (a residual or split-and-concatenate block); else []."""
    visited = {id(fork)}
    members: list[_Node] = []
    pending = {id(c): c for c in fork.consumers}
    while pending and len(members) < BLOCK_LIMIT:
        node = min(pending.values(), key=lambda n: order[id(n)])
        del pending[id(node)]
        if node.place != fork.place or any(id(p) not in visited for p, _ in node.producers):
            return []
        visited.add(id(node))
        members.append(node)
        if not pending:
            return members  # every path joined here
        if id(node) in outputs:
            return []
        for consumer in node.consumers:
            pending[id(consumer)] = consumer
    return []


def picture_graph(mod):
    """(groups, edges, regions, outputs) of the picture of mod, without
    drawing it: ``groups`` are lists of nodes drawn as one box (each node
    with ``place``, None for the host, ``name`` and ``kind``), ``edges`` maps
    (group index, group index) to (tensors, bytes), ``regions`` maps a region
    to (code generator, operators) and ``outputs`` lists (group index, bytes)
    of main's results.

    A box holds a fork-and-join block (up to BLOCK_LIMIT operations), and
    boxes of one place that form a straight chain (each reading only the one
    before, which nothing else reads) are one box."""
    graph = _Graph(mod)
    nodes = list(graph.nodes.values())
    order = {id(n): i for i, n in enumerate(nodes)}
    outputs = {id(n) for n, _ in graph.outputs}
    root = {id(n): id(n) for n in nodes}

    def find(key):
        while root[key] != key:
            root[key] = root[root[key]]
            key = root[key]
        return key

    def join(first, later):
        root[find(later)] = find(first)

    for node in nodes:
        if node.kind != "input" and id(node) not in outputs and len({id(c) for c in node.consumers}) > 1:
            for member in _block(node, order, outputs):
                join(id(node), id(member))
    # Chains of boxes, in the order their first operations come.
    producers, consumers = collections.defaultdict(set), collections.defaultdict(set)
    for node in nodes:
        for producer, _ in node.producers:
            a, b = find(id(producer)), find(id(node))
            if a != b:
                producers[b].add(a)
                consumers[a].add(b)
    first: dict[int, _Node] = {}
    for node in nodes:
        first.setdefault(find(id(node)), node)
    boxed_outputs = {find(key) for key in outputs}
    for box in sorted(first, key=lambda key: order[id(first[key])]):
        if len(producers[box]) != 1 or first[box].kind == "input":
            continue
        (before,) = producers[box]
        top = find(before)
        if (len(consumers[before]) == 1 and first[before].kind != "input" and before not in boxed_outputs
                and first[before].place == first[box].place):
            join(top, box)
    group_of: dict[int, int] = {}
    groups: list[list[_Node]] = []
    for node in nodes:
        key = find(id(node))
        if key not in group_of:
            group_of[key] = len(groups)
            groups.append([])
        groups[group_of[key]].append(node)
    edges: collections.OrderedDict[tuple[int, int], tuple[int, int]] = collections.OrderedDict()
    for node in nodes:
        for producer, size in node.producers:
            a, b = group_of[find(id(producer))], group_of[find(id(node))]
            if a != b:
                tensors, total = edges.get((a, b), (0, 0))
                edges[(a, b)] = (tensors + 1, total + size)
    return groups, edges, graph.regions, [(group_of[find(id(node))], size) for node, size in graph.outputs]


def _rows(group):
    """(name, count) per name in a group, in order of first appearance."""
    counts: collections.OrderedDict[str, int] = collections.OrderedDict()
    for node in group:
        counts[node.name] = counts.get(node.name, 0) + 1
    return list(counts.items())


def _label(group):
    if group[0].kind == "input":
        return None
    cells = []
    for name, count in _rows(group):
        colour = colour_of(name) if name.startswith("vexa") else HOST_COLOUR
        text = html.escape(name) + (f" ×{count}" if count > 1 else "")
        cells.append(f'<TR><TD BGCOLOR="{colour}" ALIGN="LEFT">{text}</TD></TR>')
    return '<<TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="3">' + "".join(cells) + "</TABLE>>"


# A run of at least this many identical blocks in a row is drawn once, "×count".
LEAST_REPEATS = 3
# The longest block looked for, in boxes (a transformer layer is about a dozen).
LONGEST_BLOCK = 64


def _signature(group, regions):
    """What a box shows: its place's kind (host, or the region's code generator) and its rows."""
    place = group[0].place
    return (None if place is None else regions[place][0], group[0].kind, tuple(_rows(group)))


def repeated_blocks(groups, regions):
    """[(first, length, count)]: runs of count >= LEAST_REPEATS consecutive
    blocks of `length` boxes that show the same, in box order, none
    overlapping; the longest run first found at each box wins. A run starts
    where its first block shares no region with a box outside the run, so
    that regions stay whole where the block is drawn."""
    signatures = [_signature(group, regions) for group in groups]
    places = [group[0].place for group in groups]
    runs, index, total = [], 0, len(groups)
    while index < total:
        best = None
        for length in range(1, min(LONGEST_BLOCK, (total - index) // LEAST_REPEATS) + 1):
            block = signatures[index:index + length]
            count = 1
            while signatures[index + count * length:index + (count + 1) * length] == block:
                count += 1
            if count >= LEAST_REPEATS and (best is None or length * count > best[1] * best[2]):
                best = (index, length, count)
        if best is not None and _regions_whole(best, places):
            runs.append(best)
            index += best[1] * best[2]
        else:
            index += 1
    return runs


def _regions_whole(run, places):
    first, length, count = run
    inside = {place for place in places[first:first + length] if place is not None}
    outside = places[:first] + places[first + length * count:]
    return not inside.intersection(outside)


def _collapse(groups, edges, outputs, runs):
    """(boxes drawn, edges, outputs) with each run's later blocks mapped onto
    its first: edges between its blocks are what "×count" says, and an edge
    keeps the figures of its first occurrence."""
    shown = {}
    for first, length, count in runs:
        for copy in range(1, count):
            for offset in range(length):
                shown[first + copy * length + offset] = first + offset
    block_of = {first + copy * length + offset: (first, copy)
                for first, length, count in runs for copy in range(count) for offset in range(length)}
    drawn: collections.OrderedDict[tuple[int, int], tuple[int, int]] = collections.OrderedDict()
    for (a, b), figures in edges.items():
        within_a, within_b = block_of.get(a), block_of.get(b)
        if within_a and within_b and within_a[0] == within_b[0] and within_a[1] != within_b[1]:
            continue  # from one block of a run to the next
        key = (shown.get(a, a), shown.get(b, b))
        drawn.setdefault(key, figures)
    kept = [index for index in range(len(groups)) if index not in shown]
    seen_outputs: dict[int, int] = {}
    for index, size in outputs:
        seen_outputs.setdefault(shown.get(index, index), size)
    return kept, drawn, list(seen_outputs.items())


def _operators_text(count):
    return f"{count} operator" + ("" if count == 1 else "s")


def render(mod, path, fmt, title=None):
    """Write the picture of ``mod`` (partitioned, with or without regions) to
    ``path`` in format ``fmt`` ("svg" or "png"), with ``title`` on top. The
    file appears only once it is complete. A run of identical blocks (the
    layers of a transformer) is drawn once, in a frame saying how many
    follow one another."""
    import graphviz  # pylint: disable=import-outside-toplevel

    groups, edges, regions, outputs = picture_graph(mod)
    runs = repeated_blocks(groups, regions)
    kept, edges, outputs = _collapse(groups, edges, outputs, runs)
    dot = graphviz.Digraph(format=fmt)
    dot.attr(rankdir="TB", fontname="Helvetica", labelloc="t", fontsize="14", nodesep="0.25", ranksep="0.3",
             label=title or "")
    dot.attr("node", fontname="Helvetica", fontsize="10", shape="plain")
    dot.attr("edge", color="#888888", fontname="Helvetica", fontsize="9", arrowsize="0.6")
    run_of = {first + offset: number for number, (first, length, _) in enumerate(runs) for offset in range(length)}
    name_of = {index: f"g{index}" + (f"x{runs[run_of[index]][2]}" if index in run_of else "") for index in kept}
    containers: dict[int | None, list[int]] = collections.defaultdict(list)
    for index in kept:
        containers[run_of.get(index)].append(index)
    for number, members in containers.items():
        context = None
        target = dot
        if number is not None:
            count = runs[number][2]
            context = dot.subgraph(name=f"cluster_repeat_{number}")
            target = context.__enter__()
            target.attr(label=f"×{count}: {count} such blocks, one after another", style="dashed,rounded",
                        color="#555555", fontsize="11", labeljust="l")
        _draw_places(target, groups, members, regions, name_of)
        if context is not None:
            context.__exit__(None, None, None)
    for (a, b), (tensors, size) in edges.items():
        crossing = groups[a][0].place != groups[b][0].place
        if crossing:
            text = size_text(size) + (f" ({tensors})" if tensors > 1 else "")
            dot.edge(name_of[a], name_of[b], label=text, color=CROSSING_COLOUR, fontcolor=CROSSING_COLOUR,
                     penwidth="2")
        else:
            dot.edge(name_of[a], name_of[b])
    dot.node("output", "output", shape="ellipse", style="filled", fillcolor="white")
    for index, size in outputs:
        crossing = groups[index][0].place is not None
        dot.edge(name_of[index], "output", label=size_text(size) if crossing else "",
                 color=CROSSING_COLOUR if crossing else "#888888", fontcolor=CROSSING_COLOUR,
                 penwidth="2" if crossing else "1")
    _legend(dot)
    directory = os.path.dirname(os.path.abspath(path))
    scratch = tempfile.mkdtemp(prefix=".vexatvm-", dir=directory)
    try:
        written = dot.render(os.path.join(scratch, "picture"), cleanup=True)
        os.replace(written, path)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return path


def _draw_places(target, groups, members, regions, name_of):
    """The boxes of members in target, those of a region in its cluster. A
    region's name is a node at its top, which edges pass around; a cluster
    label would lie under the edges crossing into it."""
    places = collections.defaultdict(list)
    for index in members:
        places[groups[index][0].place].append(index)
    for place, indices in places.items():
        context = None
        region = target
        if place is not None:
            compiler, operators = regions[place]
            context = target.subgraph(name=f"cluster_{place}")
            region = context.__enter__()
            region.attr(label="", style="filled,rounded", color="#7f9cc0",
                        fillcolor=REGION_COLOURS.get(compiler, "#f5f5f5"))
            header = f"{name_of[indices[0]]}_region"
            region.node(header, f"{place}\n{compiler}, {_operators_text(operators)}", shape="plaintext", fontsize="10")
            inside = {id(node) for i in indices for node in groups[i]}
            # The boxes nothing else of the region feeds: the header goes above them.
            entries = [index for index in indices
                       if not any(id(producer) in inside for node in groups[index] for producer, _ in node.producers
                                  if producer not in groups[index])]
            for index in entries or indices[:1]:
                region.edge(header, name_of[index], style="invis")
        for index in indices:
            group = groups[index]
            label = _label(group)
            if label is None:
                region.node(name_of[index], group[0].name, shape="ellipse", style="filled", fillcolor="white")
            else:
                region.node(name_of[index], label)
        if context is not None:
            context.__exit__(None, None, None)


def _legend(dot):
    with dot.subgraph(name="cluster_legend") as legend:
        legend.attr(label="legend", style="rounded", color="#bbbbbb", fontsize="10")
        legend.node("legend_region", "accelerator region (vexa_qtz: int8, vexa_fp32: float)", shape="box",
                    style="filled,rounded", fillcolor=REGION_COLOURS["vexa_qtz"], color="#7f9cc0")
        legend.node("legend_chain", '<<TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="3">'
                    '<TR><TD ALIGN="LEFT">composites of a chain or block, ×count</TD></TR></TABLE>>')
        legend.node("legend_host", "host operators", shape="box", style="filled", fillcolor=HOST_COLOUR)
        legend.edge("legend_host", "legend_region", label="crossing: bytes per inference",
                    color=CROSSING_COLOUR, fontcolor=CROSSING_COLOUR, penwidth="2")
        legend.edge("legend_region", "legend_chain", style="invis")
