"""Stand-in for ``tvm.relay.vexa.relay_traversal``: queries over the graph
being partitioned.

The partition driver makes each table entry's input module the current graph
(:func:`current_graph`) before running that entry, so a check sees the very
graph it is matched in, including regions earlier entries captured.
"""

import contextlib

from tvm.relay.function import Function

from ._traversal import GraphIndex, find_call_of_type, get_consumers_mc, pop_graph, push_graph

__all__ = ["get_consumers_mc", "find_call_of_type", "current_graph", "GraphIndex"]


@contextlib.contextmanager
def current_graph(mod):
    """Make every function of ``mod`` the graph that get_consumers_mc answers for.
    The consumer index is built on the first query only."""
    push_graph([func for func in mod.functions.values() if isinstance(func, Function)])
    try:
        yield
    finally:
        pop_graph()
