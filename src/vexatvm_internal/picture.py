"""A picture of a partitioned module: main's operators, with each composite
drawn as one box coloured by its name. Uses TVM's relay_viz with its DOT
backend; Graphviz's `dot` renders the file."""

import colorsys
import hashlib
import os
import shutil
import tempfile

from tvm import relay
from tvm.contrib import relay_viz
from tvm.contrib.relay_viz.interface import DefaultVizParser, VizEdge, VizNode
from tvm.ir import Op

from .summary import walk

__all__ = ["render"]

HOST_COLOUR = "#f2f2f2"


def colour_of(name):
    """A stable light colour per composite name."""
    hue = int(hashlib.sha1(name.encode()).hexdigest()[:6], 16) / 0xFFFFFF
    r, g, b = colorsys.hls_to_rgb(hue, 0.78, 0.65)
    return "#%02x%02x%02x" % (int(r * 255), int(g * 255), int(b * 255))


def _composite(call):
    op = call.op
    if isinstance(op, relay.Function) and op.attrs and "Composite" in op.attrs:
        return str(op.attrs["Composite"])
    return None


class _MainOnlyParser(DefaultVizParser):
    """Draws main's nodes only: what a composite holds is folded into its box,
    and constants, which would bury the structure of a real network, are left out."""

    def __init__(self, hidden):
        self._hidden = hidden

    def get_node_edges(self, node, relay_param, node_to_id):
        if node.handle.value in self._hidden or isinstance(node, (relay.Constant, relay.Function)):
            return None, []
        if isinstance(node, relay.Call):
            name = _composite(node)
            label = name if name else (node.op.name if isinstance(node.op, Op) else "call")
            shape = ""
            try:
                shape = str(node.checked_type.shape) if hasattr(node.checked_type, "shape") else ""
            except ValueError:
                pass
            viz_node = VizNode(node_to_id[node], label, shape)
            edges = [VizEdge(node_to_id[arg], node_to_id[node]) for arg in node.args if self._shown(arg)]
            return viz_node, edges
        viz_node, edges = super().get_node_edges(node, relay_param, node_to_id)
        return viz_node, [e for e in edges if e.start in self._shown_ids(node_to_id)]

    def _shown(self, expr):
        return not isinstance(expr, (relay.Constant, relay.Function)) and expr.handle.value not in self._hidden

    def _shown_ids(self, node_to_id):
        return {ident for expr, ident in node_to_id.items() if self._shown(expr)}


def render(mod, path, fmt):
    """Write a picture of ``mod``'s main function to ``path`` in format
    ``fmt`` ("svg" or "png"). The file appears only once it is complete."""
    hidden = set()

    def mark(node):
        if isinstance(node, relay.Function) and node.attrs and "Composite" in node.attrs:
            walk(node.body, lambda inner: hidden.add(inner.handle.value))
            for param in node.params:
                hidden.add(param.handle.value)

    walk(mod["main"], mark)

    def node_attr(viz_node):
        label = viz_node.type_name
        if label.startswith("vexa"):
            return {"shape": "box", "style": "filled,rounded", "fillcolor": colour_of(label)}
        if label.startswith("Var"):
            return {"shape": "ellipse"}
        return {"shape": "box", "style": "filled", "fillcolor": HOST_COLOUR, "fontcolor": "#555555"}

    main_only = tvm_module_with_main(mod)
    plotter = relay_viz.DotPlotter(
        graph_attr={"rankdir": "TB", "fontname": "Helvetica"},
        node_attr={"fontname": "Helvetica", "fontsize": "10"},
        edge_attr={"color": "#888888"},
        get_node_attr=node_attr,
        render_kwargs={"format": fmt, "cleanup": True},
    )
    viz = relay_viz.RelayVisualizer(main_only, plotter=plotter, parser=_MainOnlyParser(hidden))
    directory = os.path.dirname(os.path.abspath(path))
    scratch = tempfile.mkdtemp(prefix=".vexatvm-", dir=directory)
    try:
        viz.render(os.path.join(scratch, "picture"))
        os.replace(os.path.join(scratch, "picture." + fmt), path)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return path


def tvm_module_with_main(mod):
    """A module holding main only, so the picture shows one graph."""
    import tvm  # pylint: disable=import-outside-toplevel

    return tvm.IRModule({"main": mod["main"]})
