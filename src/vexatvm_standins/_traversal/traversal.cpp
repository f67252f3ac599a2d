// Graph queries over the Relay graph being partitioned: who consumes an
// expression, and which calls of an operator an expression is or contains.
//
// Every walk is iterative, so graphs tens of thousands of nodes deep are fine.
// Nodes are keyed on their address (handle.value): each attribute access in
// TVM's Python API returns a fresh wrapper, so id() would not identify a node.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// Python classes of the Relay nodes the walks tell apart. Deliberately leaked:
// destroying Python objects after interpreter shutdown aborts the process.
struct RelayKinds {
    py::object call, tuple, tuple_get_item, let, if_, function, ref_create, ref_read, ref_write,
        op;
};

const RelayKinds& kinds() {
    static RelayKinds* k = [] {
        py::module_ expr = py::module_::import("tvm.relay.expr");
        py::module_ function = py::module_::import("tvm.relay.function");
        auto* r = new RelayKinds{expr.attr("Call"),        expr.attr("Tuple"),
                                 expr.attr("TupleGetItem"), expr.attr("Let"),
                                 expr.attr("If"),           function.attr("Function"),
                                 expr.attr("RefCreate"),    expr.attr("RefRead"),
                                 expr.attr("RefWrite"),     py::module_::import("tvm.ir").attr("Op")};
        return r;
    }();
    return *k;
}

using NodeKey = std::uintptr_t;

NodeKey key_of(const py::handle& expr) {
    py::object handle = expr.attr("handle");
    py::object value = handle.attr("value");
    if (value.is_none()) throw py::value_error("expression has no handle");
    return value.cast<NodeKey>();
}

void append_all(std::vector<py::object>& out, const py::object& array) {
    for (py::handle item : array) out.push_back(py::reinterpret_borrow<py::object>(item));
}

// Children of a node within one dataflow graph. A call's operator is a child
// only when it is an expression of the graph: a function called in place (a
// captured region) is a separate graph and is not entered here.
std::vector<py::object> children_of(const py::object& node) {
    const RelayKinds& k = kinds();
    std::vector<py::object> out;
    if (py::isinstance(node, k.call)) {
        py::object op = node.attr("op");
        if (!py::isinstance(op, k.op) && !py::isinstance(op, k.function)) out.push_back(op);
        append_all(out, node.attr("args"));
    } else if (py::isinstance(node, k.tuple)) {
        append_all(out, node.attr("fields"));
    } else if (py::isinstance(node, k.tuple_get_item)) {
        out.push_back(node.attr("tuple_value"));
    } else if (py::isinstance(node, k.let)) {
        out.push_back(node.attr("value"));
        out.push_back(node.attr("body"));
    } else if (py::isinstance(node, k.if_)) {
        out.push_back(node.attr("cond"));
        out.push_back(node.attr("true_branch"));
        out.push_back(node.attr("false_branch"));
    } else if (py::isinstance(node, k.ref_create)) {
        out.push_back(node.attr("value"));
    } else if (py::isinstance(node, k.ref_read)) {
        out.push_back(node.attr("ref"));
    } else if (py::isinstance(node, k.ref_write)) {
        out.push_back(node.attr("ref"));
        out.push_back(node.attr("value"));
    }
    return out;
}

// Post-order walk from `root`, calling visit(node, children) once per node
// after all of its children. `enter_called_functions` also walks the bodies
// of functions called in place (captured regions).
template <typename Visit>
void post_order(const py::object& root, bool enter_called_functions, Visit visit) {
    struct Frame {
        py::object node;
        std::vector<py::object> children;
        size_t next = 0;
    };
    std::unordered_set<NodeKey> seen;
    std::vector<Frame> stack;
    auto push = [&](const py::object& node) {
        if (!seen.insert(key_of(node)).second) return;
        Frame frame{node, children_of(node)};
        if (enter_called_functions && py::isinstance(node, kinds().call)) {
            py::object op = node.attr("op");
            if (py::isinstance(op, kinds().function)) frame.children.push_back(op.attr("body"));
        }
        stack.push_back(std::move(frame));
    };
    push(root);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.children.size()) {
            py::object child = top.children[top.next++];
            push(child);
            continue;
        }
        Frame done = std::move(stack.back());
        stack.pop_back();
        visit(done.node, done.children);
    }
}

// Consumers of every node of a set of functions, built on first use.
class GraphIndex {
public:
    explicit GraphIndex(py::list functions) : functions_(std::move(functions)) {}

    py::list consumers(const py::object& expr) {
        build();
        const RelayKinds& k = kinds();
        py::list result;
        std::unordered_set<NodeKey> listed;
        // Tuples and projections only route a value: follow it through them
        // to the calls that read it. `path` is where the value sits inside the
        // node being followed (empty: the node is the value).
        struct Routed {
            NodeKey node;
            std::vector<long> path;
        };
        std::vector<Routed> pending{{key_of(expr), {}}};
        for (size_t i = 0; i < pending.size(); ++i) {
            if (pending.size() > kMaxRoutes) {
                throw std::runtime_error("get_consumers_mc: too many routes through tuples");
            }
            auto found = users_.find(pending[i].node);
            if (found == users_.end()) continue;
            const std::vector<long> path = pending[i].path;
            for (const Use& use : found->second) {
                NodeKey user_key = key_of(use.user);
                if (py::isinstance(use.user, k.tuple)) {
                    std::vector<long> inner{use.position};
                    inner.insert(inner.end(), path.begin(), path.end());
                    pending.push_back({user_key, std::move(inner)});
                } else if (py::isinstance(use.user, k.tuple_get_item)) {
                    if (path.empty()) {
                        pending.push_back({user_key, {}});
                    } else if (use.user.attr("index").cast<long>() == path.front()) {
                        pending.push_back({user_key, std::vector<long>(path.begin() + 1, path.end())});
                    }
                } else if (py::isinstance(use.user, k.call) && listed.insert(user_key).second) {
                    result.append(use.user);
                }
            }
        }
        return result;
    }

    size_t node_count() {
        build();
        return node_count_;
    }

private:
    void build() {
        if (built_) return;
        for (py::handle function : functions_) {
            py::object body = function.attr("body");
            post_order(body, false, [this](const py::object& node,
                                           const std::vector<py::object>& children) {
                ++node_count_;
                for (size_t position = 0; position < children.size(); ++position) {
                    users_[key_of(children[position])].push_back({node, static_cast<long>(position)});
                }
            });
        }
        built_ = true;
    }

    py::list functions_;
    bool built_ = false;
    size_t node_count_ = 0;
    struct Use {
        py::object user;
        long position;  // index among the user's children (a tuple's field index)
    };
    // Bounds the routes followed through tuples in pathological graphs.
    static constexpr size_t kMaxRoutes = 1 << 20;
    std::unordered_map<NodeKey, std::vector<Use>> users_;
};

// The graphs being partitioned, innermost last. Deliberately leaked, like
// RelayKinds: they hold Python objects.
std::vector<std::shared_ptr<GraphIndex>>& graph_stack() {
    static auto* stack = new std::vector<std::shared_ptr<GraphIndex>>();
    return *stack;
}

py::list get_consumers_mc(const py::object& expr) {
    if (graph_stack().empty()) {
        throw std::runtime_error(
            "get_consumers_mc needs the graph being partitioned, and none is set: call it from "
            "a check run by vexatvm_internal.partition_for_vexa, or inside "
            "vexatvm_standins.relay_traversal.current_graph(mod)");
    }
    return graph_stack().back()->consumers(expr);
}

py::list find_call_of_type(const py::object& expr, const std::string& op_name) {
    py::list calls;
    const RelayKinds& k = kinds();
    auto collect = [&](const py::object& node, const std::vector<py::object>&) {
        if (!py::isinstance(node, k.call)) return;
        py::object op = node.attr("op");
        if (py::isinstance(op, k.op) && op.attr("name").cast<std::string>() == op_name) {
            calls.append(node);
        }
    };
    // The arguments of `expr` are its producers, not part of it; the body of
    // a function it calls in place is, with everything nested inside.
    collect(expr, {});
    if (py::isinstance(expr, k.call)) {
        py::object op = expr.attr("op");
        if (py::isinstance(op, k.function)) post_order(op.attr("body"), true, collect);
    } else if (py::isinstance(expr, k.function)) {
        post_order(expr.attr("body"), true, collect);
    }
    return calls;
}

}  // namespace

PYBIND11_MODULE(_traversal, m) {
    m.doc() = "Consumer index and call search over the Relay graph being partitioned.";

    py::class_<GraphIndex, std::shared_ptr<GraphIndex>>(m, "GraphIndex")
        .def(py::init<py::list>(), py::arg("functions"),
             "Index of the consumers of every node of the given functions, built on first use.")
        .def("consumers", &GraphIndex::consumers, py::arg("expr"))
        .def("node_count", &GraphIndex::node_count);

    m.def(
        "push_graph", [](py::list functions) { graph_stack().push_back(std::make_shared<GraphIndex>(functions)); },
        py::arg("functions"), "Make the given functions the graph being partitioned.");
    m.def(
        "pop_graph",
        [] {
            if (graph_stack().empty()) throw std::runtime_error("no graph is being partitioned");
            graph_stack().pop_back();
        },
        "Restore the graph that was being partitioned before the last push_graph.");
    m.def("get_consumers_mc", &get_consumers_mc, py::arg("expr"),
          "The calls that consume expr in the graph being partitioned, looking through tuples "
          "and tuple projections. Calls of captured regions are included.");
    m.def("find_call_of_type", &find_call_of_type, py::arg("expr"), py::arg("op_name"),
          "The calls of operator op_name that expr is or contains; for a call of a captured "
          "region, the calls inside its function.");
}
