"""Consumer index and call search over the Relay graph being partitioned."""

from tvm.relay import Call, Expr, Function

class GraphIndex:
    """Index of the consumers of every node of the given functions, built on first use."""

    def __init__(self, functions: list[Function]) -> None: ...
    def consumers(self, expr: Expr) -> list[Call]:
        """The calls that consume expr, through tuples and projections."""
    def node_count(self) -> int:
        """The number of nodes in the indexed functions."""

def push_graph(functions: list[Function]) -> None:
    """Make the given functions the graph being partitioned."""

def pop_graph() -> None:
    """Restore the graph that was being partitioned before the last push_graph."""

def get_consumers_mc(expr: Expr) -> list[Call]:
    """The calls that consume expr in the graph being partitioned, through tuples and projections."""

def find_call_of_type(expr: Expr, op_name: str) -> list[Call]:
    """The calls of operator op_name that expr is or contains, inside captured regions too."""
