"""What a partitioned module runs on the accelerator, and what it leaves on the host."""

import collections

from tvm import relay
from tvm.ir import Op

__all__ = ["summarize"]


def summarize(mod):
    """Counts over the ``main`` function of a partitioned module.

    Returns a dict with ``composites`` (composite name -> number of calls),
    ``operators`` (all operator calls, inside composites included),
    ``offloaded`` (operator calls inside composites), ``offloaded_share``
    and ``host_operators`` (operator name -> calls left outside composites).
    """
    every = _operator_calls(mod["main"].body)  # post_order_visit enters called functions
    inside = collections.Counter()
    composites = collections.Counter()

    def visit(node):
        if isinstance(node, relay.Function) and node.attrs and "Composite" in node.attrs:
            composites[str(node.attrs["Composite"])] += 1
            inside.update(_operator_calls(node.body))

    relay.analysis.post_order_visit(mod["main"].body, visit)
    host = every - inside
    total = sum(every.values())
    offloaded = sum(inside.values())
    return {
        "composites": dict(sorted(composites.items())),
        "operators": total,
        "offloaded": offloaded,
        "offloaded_share": offloaded / total if total else 0.0,
        "host_operators": dict(host.most_common()),
    }


def _operator_calls(expr):
    """Operator name -> number of calls in expr, functions it calls included."""
    counts = collections.Counter()

    def visit(node):
        if isinstance(node, relay.Call) and isinstance(node.op, Op):
            counts[node.op.name] += 1

    relay.analysis.post_order_visit(expr, visit)
    return counts
