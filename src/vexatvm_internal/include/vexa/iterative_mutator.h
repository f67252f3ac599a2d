// An iterative stand-in for TVM's Python ExprMutator.
//
// TVM's ExprMutator recurses once per node and hits Python's recursion limit
// a few thousand operators deep. This one keeps an explicit stack and follows
// the same rules: children in ExprMutator's order, one memo entry per node so
// every occurrence of a node maps to one result, and a node whose children all
// come back unchanged is kept as it is; otherwise it is rebuilt with the same
// constructor call ExprMutator makes. Nodes are handled through TVM's C API
// (tvm_ffi.h); the hooks get Python objects only where they ask for them.
#pragma once

#include "vexa/relay_nodes.h"
#include "vexa/tvm_ffi.h"

#include <unordered_map>
#include <utility>
#include <vector>

namespace vexa::ir {

// A call whose operator and arguments are read from TVM at most once.
class CallView {
public:
    explicit CallView(ffi::Object call) : call_(std::move(call)) {}

    const ffi::Object& call() const { return call_; }
    const ffi::Object& op() {
        if (!op_) op_ = ffi::get(call_, "op");
        return op_;
    }
    const std::vector<ffi::Object>& args() {
        if (!args_loaded_) {
            args_ = ffi::items(ffi::get(call_, "args"));
            args_loaded_ = true;
        }
        return args_;
    }
    py::object py_call() {
        if (!py_call_) py_call_ = call_.to_python();
        return py_call_;
    }
    // Makes `call`, with operator `op` and arguments `args`, the call to visit.
    void replace(ffi::Object call, ffi::Object op, std::vector<ffi::Object> args) {
        call_ = std::move(call);
        op_ = std::move(op);
        args_ = std::move(args);
        args_loaded_ = true;
        py_call_ = py::object();
    }

private:
    ffi::Object call_;
    ffi::Object op_;
    std::vector<ffi::Object> args_;
    bool args_loaded_ = false;
    py::object py_call_;
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
    virtual ffi::Object visit_var(const ffi::Object& var) { return var; }

    // Runs when a call is first met, before its operator and arguments are
    // visited. Returning an object makes that the call's result and visits
    // nothing below it; otherwise the call, which the hook may replace, is
    // visited and rebuilt by ExprMutator.visit_call's rules.
    virtual ffi::Object enter_call(CallView& call) {
        (void)call;
        return ffi::Object();
    }

    // Runs on a call after its operator and arguments were visited and the
    // call rebuilt from them (`rebuilt` is `met` when nothing changed below);
    // the object returned is the call's result.
    virtual ffi::Object leave_call(const ffi::Object& met, const ffi::Object& rebuilt) {
        (void)met;
        return rebuilt;
    }

    // leave_call's counterpart for every other node with children (a tuple,
    // a function, a let...).
    virtual ffi::Object leave_other(Kind kind, const ffi::Object& met, const ffi::Object& rebuilt) {
        (void)kind;
        (void)met;
        return rebuilt;
    }

    // Drops the memo entry of `met`: the next visit that meets it visits it again.
    void forget(const ffi::Object& met) { memo_.erase(met.get()); }
    void forget(void* met) { memo_.erase(met); }

    // Drops the memo entries of the nodes rewritten since the last call: a
    // caller that goes on with the results only never meets those nodes
    // again, and their entries would keep them, and all below them, alive.
    void forget_rewritten() {
        for (void* met : rewritten_) memo_.erase(met);
        rewritten_.clear();
    }

private:
    struct Frame {
        ffi::Object met;   // the node met, which the memo entry is for
        ffi::Object node;  // the node rebuilt (differs after enter_call replaced it)
        Kind kind = Kind::Unhandled;
        std::vector<ffi::Object> children;
        std::vector<ffi::Object> results;
        size_t next = 0;
        bool changed = false;  // some child's result differs from the child
    };
    struct Memo {
        ffi::Object node;  // keeps the key's address from being reused
        ffi::Object result;
        bool changed;
    };
    struct Started {
        ffi::Object result;  // none when a frame was pushed instead
        bool changed = false;
    };

    Started start(const ffi::Object& expr, std::vector<Frame>& stack);
    ffi::Object rebuild(Frame& frame);
    void remember(const ffi::Object& node, const ffi::Object& result, bool changed);

    std::unordered_map<void*, Memo> memo_;
    std::vector<void*> rewritten_;  // memo keys whose result differs from them
};

}  // namespace vexa::ir
