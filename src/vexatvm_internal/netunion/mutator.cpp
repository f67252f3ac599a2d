#include "mutator.h"

#include <string>
#include <utility>

namespace netunion {

namespace {

void append_items(std::vector<py::object>& out, const py::handle& array) {
    for (py::handle item : items(array)) out.push_back(py::reinterpret_borrow<py::object>(item));
}

py::list as_list(std::vector<py::object>::const_iterator first,
                 std::vector<py::object>::const_iterator last) {
    py::list out;
    for (; first != last; ++first) out.append(*first);
    return out;
}

[[noreturn]] void unhandled(const py::handle& expr) {
    std::string message =
        "warning unhandled case: " + py::str(py::type::handle_of(expr)).cast<std::string>();
    PyErr_SetString(PyExc_Exception, message.c_str());
    throw py::error_already_set();
}

}  // namespace

IterativeMutator::Started IterativeMutator::start(const py::object& expr,
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
    NodeKey key = key_of(expr);
    auto found = memo_.find(key);
    if (found != memo_.end()) return {found->second.result, found->second.changed};

    if (kind == Kind::Var) {
        py::object result = visit_var(expr);
        bool changed = key_of(result) != key;
        memo_.emplace(key, Memo{expr, result, changed});
        return {result, changed};
    }

    Frame frame;
    frame.key = key;
    frame.met = expr;
    frame.node = expr;
    frame.kind = kind;
    switch (kind) {
        case Kind::Function:
            append_items(frame.children, attr(expr, "params"));
            frame.children.push_back(attr(expr, "body"));
            break;
        case Kind::Call: {
            CallView call(expr);
            py::object result = enter_call(call);
            if (result) {
                bool changed = key_of(result) != key;
                memo_.emplace(key, Memo{expr, result, changed});
                return {result, changed};
            }
            if (call.call().ptr() != expr.ptr()) {
                frame.replaced = key_of(call.call()) != key;
                frame.node = call.call();
            }
            frame.children.push_back(call.op());
            for (py::handle arg : call.args()) {
                frame.children.push_back(py::reinterpret_borrow<py::object>(arg));
            }
            break;
        }
        case Kind::Let:
            frame.children.push_back(attr(expr, "var"));
            frame.children.push_back(attr(expr, "value"));
            frame.children.push_back(attr(expr, "body"));
            break;
        case Kind::If:
            frame.children.push_back(attr(expr, "cond"));
            frame.children.push_back(attr(expr, "true_branch"));
            frame.children.push_back(attr(expr, "false_branch"));
            break;
        case Kind::Tuple:
            append_items(frame.children, attr(expr, "fields"));
            break;
        case Kind::TupleGetItem:
            frame.children.push_back(attr(expr, "tuple_value"));
            break;
        case Kind::RefCreate:
            frame.children.push_back(attr(expr, "value"));
            break;
        case Kind::RefRead:
            frame.children.push_back(attr(expr, "ref"));
            break;
        case Kind::RefWrite:
            frame.children.push_back(attr(expr, "ref"));
            frame.children.push_back(attr(expr, "value"));
            break;
        case Kind::Match:
            frame.children.push_back(attr(expr, "data"));
            for (py::handle clause : items(attr(expr, "clauses"))) {
                frame.children.push_back(attr(clause, "rhs"));
            }
            break;
        default:
            unhandled(expr);
    }
    frame.results.reserve(frame.children.size());
    stack.push_back(std::move(frame));
    return {};
}

py::object IterativeMutator::rebuild(Frame& frame) {
    if (!frame.changed) return frame.node;
    const Relay& r = relay();
    const py::object& node = frame.node;
    std::vector<py::object>& res = frame.results;
    switch (frame.kind) {
        case Kind::Function:
            return r.FunctionWithFields(node, as_list(res.begin(), res.end() - 1), res.back());
        case Kind::Call:
            return r.Call(res[0], as_list(res.begin() + 1, res.end()), attr(node, "attrs"),
                          attr(node, "type_args"), attr(node, "span"));
        case Kind::Let:
            return r.Let(res[0], res[1], res[2]);
        case Kind::If:
            return r.If(res[0], res[1], res[2]);
        case Kind::Tuple:
            return r.Tuple(as_list(res.begin(), res.end()), attr(node, "span"));
        case Kind::TupleGetItem:
            return r.TupleGetItem(res[0], attr(node, "index"), py::arg("span") = attr(node, "span"));
        case Kind::RefCreate:
            return r.RefCreate(res[0]);
        case Kind::RefRead:
            return r.RefRead(res[0]);
        case Kind::RefWrite:
            return r.RefWrite(res[0], res[1]);
        case Kind::Match: {
            py::list clauses;
            size_t i = 1;
            for (py::handle clause : items(attr(node, "clauses"))) {
                clauses.append(r.Clause(attr(clause, "lhs"), res[i++]));
            }
            return r.Match(res[0], clauses, py::arg("complete") = attr(node, "complete"));
        }
        default:
            unhandled(node);
    }
}

py::object IterativeMutator::visit(const py::object& expr) {
    std::vector<Frame> stack;
    Started first = start(expr, stack);
    if (first.result) return first.result;
    for (;;) {
        Frame& top = stack.back();
        if (top.next < top.children.size()) {
            py::object child = top.children[top.next++];
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
        py::object result = rebuild(done);
        bool changed = done.changed || done.replaced;
        memo_.emplace(done.key, Memo{done.met, result, changed});
        if (stack.empty()) return result;
        stack.back().results.push_back(std::move(result));
        stack.back().changed |= changed;
    }
}

}  // namespace netunion
