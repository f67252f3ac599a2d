#include "vexa/iterative_mutator.h"

#include <string>
#include <utility>

namespace vexa::ir {

namespace {

[[noreturn]] void unhandled(const ffi::Object& expr) {
    py::object obj = expr.to_python();
    std::string message =
        "warning unhandled case: " + py::str(py::type::handle_of(obj)).cast<std::string>();
    PyErr_SetString(PyExc_Exception, message.c_str());
    throw py::error_already_set();
}

std::vector<ffi::Object> slice(const std::vector<ffi::Object>& all, size_t first, size_t last) {
    return std::vector<ffi::Object>(all.begin() + first, all.begin() + last);
}

}  // namespace

void IterativeMutator::remember(const ffi::Object& node, const ffi::Object& result, bool changed) {
    if (memo_.emplace(node.get(), Memo{node, result, changed}).second && !result.same_as(node))
        rewritten_.push_back(node.get());
}

IterativeMutator::Started IterativeMutator::start(const ffi::Object& expr,
                                                  std::vector<Frame>& stack) {
    Kind kind = kind_of(expr);
    switch (kind) {
        case Kind::GlobalVar:
        case Kind::Op:
        case Kind::Constant:
        case Kind::Constructor:
            // ExprMutator returns these as they are; a memo entry would change nothing.
            return {expr, false};
        case Kind::Unhandled:
            unhandled(expr);
        default:
            break;
    }
    auto found = memo_.find(expr.get());
    if (found != memo_.end()) return {found->second.result, found->second.changed};

    if (kind == Kind::Var) {
        ffi::Object result = visit_var(expr);
        bool changed = !result.same_as(expr);
        remember(expr, result, changed);
        return {std::move(result), changed};
    }

    Frame frame;
    frame.met = expr;
    frame.node = expr;
    frame.kind = kind;
    std::vector<ffi::Object>& children = frame.children;
    switch (kind) {
        case Kind::Function:
            children = ffi::items(ffi::get(expr, "params"));
            children.push_back(ffi::get(expr, "body"));
            break;
        case Kind::Call: {
            CallView call(expr);
            ffi::Object result = enter_call(call);
            if (result) {
                bool changed = !result.same_as(expr);
                remember(expr, result, changed);
                return {std::move(result), changed};
            }
            frame.node = call.call();
            children.push_back(call.op());
            const std::vector<ffi::Object>& args = call.args();
            children.insert(children.end(), args.begin(), args.end());
            break;
        }
        case Kind::Let:
            children = {ffi::get(expr, "var"), ffi::get(expr, "value"), ffi::get(expr, "body")};
            break;
        case Kind::If:
            children = {ffi::get(expr, "cond"), ffi::get(expr, "true_branch"),
                        ffi::get(expr, "false_branch")};
            break;
        case Kind::Tuple:
            children = ffi::items(ffi::get(expr, "fields"));
            break;
        case Kind::TupleGetItem:
            children = {ffi::get(expr, "tuple_value")};
            break;
        case Kind::RefCreate:
            children = {ffi::get(expr, "value")};
            break;
        case Kind::RefRead:
            children = {ffi::get(expr, "ref")};
            break;
        case Kind::RefWrite:
            children = {ffi::get(expr, "ref"), ffi::get(expr, "value")};
            break;
        case Kind::Match:
            children = {ffi::get(expr, "data")};
            for (const ffi::Object& clause : ffi::items(ffi::get(expr, "clauses"))) {
                children.push_back(ffi::get(clause, "rhs"));
            }
            break;
        default:
            unhandled(expr);
    }
    frame.results.reserve(children.size());
    stack.push_back(std::move(frame));
    return {};
}

ffi::Object IterativeMutator::rebuild(Frame& frame) {
    if (!frame.changed) return frame.node;
    const ffi::Api& f = ffi::api();
    const ffi::Object& node = frame.node;
    const std::vector<ffi::Object>& res = frame.results;
    const size_t n = res.size();
    switch (frame.kind) {
        case Kind::Function:
            return f.function_with_fields({node, ffi::make_array(slice(res, 0, n - 1)), res[n - 1],
                                           nullptr, nullptr, nullptr, nullptr, nullptr});
        case Kind::Call:
            return f.call({res[0], ffi::make_array(slice(res, 1, n)), ffi::get(node, "attrs"),
                           ffi::get(node, "type_args"), ffi::get(node, "span")});
        case Kind::Let:
            return f.let({res[0], res[1], res[2], nullptr});
        case Kind::If:
            return f.if_({res[0], res[1], res[2], nullptr});
        case Kind::Tuple:
            return f.tuple({ffi::make_array(res), ffi::get(node, "span")});
        case Kind::TupleGetItem:
            return f.tuple_get_item({res[0], ffi::get_int(node, "index"), ffi::get(node, "span")});
        case Kind::RefCreate:
            return f.ref_create({res[0], nullptr});
        case Kind::RefRead:
            return f.ref_read({res[0], nullptr});
        case Kind::RefWrite:
            return f.ref_write({res[0], res[1], nullptr});
        case Kind::Match: {
            std::vector<ffi::Object> clauses;
            size_t i = 1;
            for (const ffi::Object& clause : ffi::items(ffi::get(node, "clauses"))) {
                clauses.push_back(f.clause({ffi::get(clause, "lhs"), res[i++]}));
            }
            bool complete = ffi::get_int(node, "complete") != 0;
            return f.match({res[0], ffi::make_array(clauses), complete});
        }
        default:
            unhandled(node);
    }
}

py::object IterativeMutator::visit(const py::object& expr) {
    std::vector<Frame> stack;
    Started first = start(ffi::Object::from_python(expr), stack);
    if (first.result) return first.result.to_python();
    for (;;) {
        Frame& top = stack.back();
        if (top.next < top.children.size()) {
            ffi::Object child = top.children[top.next++];
            Started started = start(child, stack);
            if (started.result) {
                // Nothing was pushed: stack.back() is still the parent.
                stack.back().results.push_back(std::move(started.result));
                stack.back().changed |= started.changed;
            }
            continue;
        }
        Frame done = std::move(stack.back());
        stack.pop_back();
        ffi::Object result = rebuild(done);
        result = done.kind == Kind::Call ? leave_call(done.met, result)
                                         : leave_other(done.kind, done.met, result);
        bool changed = !result.same_as(done.met);
        remember(done.met, result, changed);
        if (stack.empty()) return result.to_python();
        stack.back().results.push_back(std::move(result));
        stack.back().changed |= changed;
    }
}

}  // namespace vexa::ir
