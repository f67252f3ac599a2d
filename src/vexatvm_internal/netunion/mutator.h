// An iterative stand-in for TVM's Python ExprMutator.
//
// TVM's ExprMutator recurses once per node and hits Python's recursion limit
// a few thousand operators deep. This one keeps an explicit stack and follows
// the same rules: children in ExprMutator's order, one memo entry per node so
// every occurrence of a node maps to one result, and a node whose children all
// come back unchanged is kept as it is; otherwise it is rebuilt with the same
// constructor call ExprMutator makes.
#pragma once

#include "relay.h"

#include <unordered_map>
#include <utility>
#include <vector>

namespace netunion {

// A call whose operator and arguments are read from TVM at most once: each
// read is a trip through TVM's FFI, the bulk of a visit's cost.
class CallView {
public:
    explicit CallView(py::object call) : call_(std::move(call)) {}

    const py::object& call() const { return call_; }
    const py::object& op() {
        if (!op_) op_ = attr(call_, "op");
        return op_;
    }
    const py::list& args() {
        if (!args_) args_ = items(attr(call_, "args"));
        return args_;
    }
    // Makes `call`, with operator `op` and arguments `args`, the call to visit.
    void replace(py::object call, py::object op, py::list args) {
        call_ = std::move(call);
        op_ = std::move(op);
        args_ = std::move(args);
    }

private:
    py::object call_;
    py::object op_;
    py::list args_{py::reinterpret_steal<py::list>(py::handle())};
};

class IterativeMutator {
public:
    virtual ~IterativeMutator() = default;
    IterativeMutator() = default;
    IterativeMutator(const IterativeMutator&) = delete;
    IterativeMutator& operator=(const IterativeMutator&) = delete;

    py::object visit(const py::object& expr);

protected:
    // ExprMutator.visit_var.
    virtual py::object visit_var(const py::object& var) { return var; }

    // Runs when a call is first met, before its operator and arguments are
    // visited. Returning a non-null object makes that the call's result and
    // visits nothing below it; otherwise `call`, which the hook may replace,
    // is visited and rebuilt by ExprMutator.visit_call's rules.
    virtual py::object enter_call(CallView& call) {
        (void)call;
        return py::object();
    }

private:
    struct Frame {
        NodeKey key = 0;       // the node met, which the memo entry is for
        py::object met;
        py::object node;       // the node rebuilt (differs after enter_call replaced it)
        bool replaced = false;
        Kind kind = Kind::Unhandled;
        std::vector<py::object> children;
        std::vector<py::object> results;
        size_t next = 0;
        bool changed = false;  // some child's result differs from the child
    };
    struct Memo {
        py::object node;  // keeps the key's address from being reused
        py::object result;
        bool changed;
    };
    struct Started {
        py::object result;  // null when a frame was pushed instead
        bool changed = false;
    };

    Started start(const py::object& expr, std::vector<Frame>& stack);
    py::object rebuild(Frame& frame);

    std::unordered_map<NodeKey, Memo> memo_;
};

}  // namespace netunion
