// The two function passes of network fusion.
//
// Each pass is a plain Python class made here and handed to TVM's
// function_pass(opt_level=1), so TVM's pass machinery drives it as it would a
// class written in Python. In transform_function, a C++ IterativeMutator
// subclass plays the role of the local ExprMutator subclass: its visit_var and
// enter_call hooks are the overridden visit_var and visit_call, and the
// mutator's own rules are ExprMutator's for everything else.

#include "fusion.h"
#include "vexa/iterative_mutator.h"
#include "vexa/module.h"

#include <array>
#include <string>
#include <unordered_map>
#include <utility>

namespace netunion {

namespace {

bool same_node(const py::handle& a, const py::handle& b) {
    return a.ptr() == b.ptr() || key_of(a) == key_of(b);
}

py::object call_with_first_arg(const py::object& call, const py::object& first,
                               const py::list& args, bool keep_span) {
    py::list new_args;
    new_args.append(first);
    for (size_t i = 1; i < args.size(); ++i) new_args.append(args[i]);
    if (keep_span) {
        return relay().Call(attr(call, "op"), new_args, attr(call, "attrs"),
                            attr(call, "type_args"), attr(call, "span"));
    }
    return relay().Call(attr(call, "op"), new_args, attr(call, "attrs"), attr(call, "type_args"));
}

// ---------------------------------------------------------------------------
// _VarNameSuffixAppender

class SuffixAppender : public IterativeMutator {
public:
    SuffixAppender(py::object pass, py::object mod)
        : mod_(std::move(mod)),
          suffix_(py::str(pass.attr("suffix"))),
          copied_(pass.attr("_copied")) {}

protected:
    ffi::Object visit_var(const ffi::Object& var) override {
        py::object v = var.to_python();
        py::object new_name_hint = plus(plus(attr(v, "name_hint"), py::str("_")), suffix_);
        // Looked up in this order, each only if the variable has it.
        py::object type_annotation = field_or_none(v, 0, "type_annotation");
        py::object shape = field_or_none(v, 1, "shape");
        py::object dtype = field_or_none(v, 2, "dtype");
        return ffi::Object::from_python(relay().var(new_name_hint, type_annotation, shape, dtype));
    }

    ffi::Object enter_call(CallView& call) override {
        if (kind_of(call.op()) != Kind::GlobalVar) return ffi::Object();
        py::object name = attr(call.op().to_python(), "name_hint");
        py::object gvar;
        if (copied_.contains(name)) {
            // A later call site of a function already copied in this run: the
            // function in mod under `name` is the marked one now, so copying
            // again would give the copy the mark and drop it from the fusion.
            gvar = copied_[name];
        } else if (truthy(is_vexa_quantized(mod_, name))) {
            py::object new_name = plus(plus(name, py::str("_")), suffix_);
            py::object func = mod_[name];
            mod_[new_name] = func;
            mod_[name] = mod_[name].attr("with_attr")("IsPruned", 1);
            // The module's own GlobalVar for the copy, not a second one of
            // the same name: TVM looks functions up by GlobalVar object
            // (mod[call.op]), and a look-alike finds nothing.
            gvar = mod_.attr("get_global_var")(new_name);
            copied_[name] = gvar;
        } else {
            return ffi::Object();
        }
        py::object old = call.py_call();
        py::object redirected = relay().Call(gvar, attr(old, "args"), attr(old, "attrs"),
                                             attr(old, "type_args"), attr(old, "span"));
        std::vector<ffi::Object> args = call.args();  // the same nodes
        call.replace(ffi::Object::from_python(redirected), ffi::Object::from_python(gvar),
                     std::move(args));
        return ffi::Object();
    }

private:
    // attr_or_none(v, name), remembering per class which names are absent. A
    // TVM node's fields are fixed by its type, and each miss costs a TVM
    // error turned into AttributeError, far more than the rest of the visit.
    static py::object field_or_none(const py::object& v, size_t slot, const char* name) {
        static auto* absent = new std::unordered_map<PyTypeObject*, std::array<bool, 3>>();
        std::array<bool, 3>& known = (*absent)[Py_TYPE(v.ptr())];
        if (known[slot]) return py::none();
        PyObject* value = PyObject_GetAttrString(v.ptr(), name);
        if (value != nullptr) return py::reinterpret_steal<py::object>(value);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        known[slot] = true;
        Py_INCREF(Py_TYPE(v.ptr()));  // the key must outlive the cache
        return py::none();
    }

    py::object mod_;
    py::str suffix_;
    py::dict copied_;
};

void suffix_appender_init(py::object self, py::object suffix) {
    self.attr("suffix") = std::move(suffix);
}

py::object suffix_appender_transform(py::object self, py::object func, py::object mod,
                                     py::object /*ctx*/) {
    // TVM hands every function of one run the same module; the copies made
    // for one run are remembered until the pass meets another module.
    py::object copied_in = attr_or_none(self, "_copied_in");
    if (copied_in.is_none() || !same_node(copied_in, mod)) {
        self.attr("_copied_in") = mod;
        self.attr("_copied") = py::dict();
    }
    SuffixAppender mutator(self, mod);
    return mutator.visit(func);
}

// ---------------------------------------------------------------------------
// _InputMerger

// Compared by name: str() of an Op reads "Op(qnn.quantize)". Operators are
// registry singletons, so the answer is kept per operator node.
bool is_quantize_op(const ffi::Object& op) {
    if (kind_of(op) != Kind::Op) return false;
    static auto* known = new std::unordered_map<void*, std::pair<ffi::Object, bool>>();
    auto found = known->find(op.get());
    if (found != known->end()) return found->second.second;
    bool is_quantize = py::str(attr(op.to_python(), "name")).cast<std::string>() == "qnn.quantize";
    known->emplace(op.get(), std::make_pair(op, is_quantize));
    return is_quantize;
}

// Sharing a quantize call is only right when it quantizes the same way.
bool same_quantization(const py::object& a, const py::object& b) {
    const Relay& r = relay();
    py::list a_args = items(attr(a, "args"));
    py::list b_args = items(attr(b, "args"));
    for (size_t i : {1, 2}) {  // scale, zero point: compared by value
        if (!truthy(r.structural_equal(a_args[i], b_args[i]))) return false;
    }
    py::object a_attrs = attr(a, "attrs");
    py::object b_attrs = attr(b, "attrs");
    return attr(a_attrs, "axis").equal(attr(b_attrs, "axis")) &&
           attr(a_attrs, "out_dtype").equal(attr(b_attrs, "out_dtype"));
}

class InputMerger : public IterativeMutator {
public:
    explicit InputMerger(py::object pass) : pass_(std::move(pass)) {
        // The names are read once per run: a set keeps each test O(1) on
        // networks with thousands of weights. Whatever fails in reading them
        // is the caller's error to see.
        py::object names = pass_.attr("param_names");
        PyObject* set = PySet_New(names.ptr());
        if (set == nullptr) throw py::error_already_set();
        param_set_ = py::reinterpret_steal<py::object>(set);
    }

protected:
    ffi::Object enter_call(CallView& call) override {
        const std::vector<ffi::Object>& args = call.args();
        if (args.empty()) return ffi::Object();  // nothing to merge; visited as any call

        Kind arg_kind = kind_of(args[0]);
        if (arg_kind == Kind::Var) {
            py::object arg = args[0].to_python();
            if (!is_input(arg)) return ffi::Object();
            if (pass_.attr("shared_input").is_none()) pass_.attr("shared_input") = arg;
            return merged(call, pass_.attr("shared_input"));
        }
        if (arg_kind == Kind::Call && is_quantize_op(ffi::get(args[0], "op"))) {
            py::object arg = args[0].to_python();
            py::object data = attr(arg, "args")[py::int_(0)];
            if (kind_of(data) == Kind::Var && is_input(data)) {
                return merged(call, shared_quantize(arg));
            }
        }
        return ffi::Object();
    }

private:
    // Call(call.op, [first] + call.args[1:], call.attrs, call.type_args)
    static ffi::Object merged(CallView& call, const py::object& first) {
        py::object old = call.py_call();
        return ffi::Object::from_python(
            call_with_first_arg(old, first, items(attr(old, "args")), false));
    }

    bool is_input(const py::object& var) {
        return !param_set_.contains(attr(var, "name_hint"));
    }

    // The quantize call that a consumer of quantize(input) reads after merging.
    py::object shared_quantize(const py::object& quantize) {
        py::object shared = pass_.attr("shared_quantized_input");
        if (shared.is_none()) {
            pass_.attr("shared_quantized_input") = quantize;
            return quantize;
        }
        if (same_node(shared, quantize) || same_quantization(shared, quantize)) return shared;

        // Quantized differently: keep this quantize, reading the shared input.
        NodeKey key = key_of(quantize);
        auto found = own_quantize_.find(key);
        if (found != own_quantize_.end()) return found->second.second;
        py::object input = pass_.attr("shared_input");
        if (input.is_none()) input = attr(shared, "args")[py::int_(0)];
        py::list args = items(attr(quantize, "args"));
        py::object result = quantize;
        if (!same_node(input, args[0])) result = call_with_first_arg(quantize, input, args, true);
        own_quantize_.emplace(key, std::make_pair(quantize, result));
        return result;
    }

    py::object pass_;
    py::object param_set_;
    // Each differently quantized input is rebuilt once, whatever its consumers.
    std::unordered_map<NodeKey, std::pair<py::object, py::object>> own_quantize_;
};

void input_merger_init(py::object self, py::object param_names) {
    self.attr("param_names") = std::move(param_names);
    self.attr("shared_input") = py::none();
    self.attr("shared_quantized_input") = py::none();
}

py::object input_merger_var_is_input(py::object self, py::object var_name) {
    int found = PySequence_Contains(self.attr("param_names").ptr(), var_name.ptr());
    if (found < 0) throw py::error_already_set();
    return py::bool_(found == 0);
}

py::object input_merger_transform(py::object self, py::object func, py::object /*mod*/,
                                  py::object /*ctx*/) {
    InputMerger mutator(self);
    py::object f = mutator.visit(func);
    py::object body = attr(f, "body");
    return relay().Function(relay().free_vars(body), body);
}

// ---------------------------------------------------------------------------
// Class creation

// A pybind11 function named "__init__" is taken for a pybind11 constructor,
// so __init__ is a plain C function turned into a method by hand.
template <void (*Init)(py::object, py::object), const char* ArgName>
PyObject* init_method(PyObject* /*unused*/, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"self", ArgName, nullptr};
    PyObject* self = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char**>(keywords),
                                     &self, &value)) {
        return nullptr;
    }
    bool ok = vexa::translate_exceptions([&] {
        Init(py::reinterpret_borrow<py::object>(self), py::reinterpret_borrow<py::object>(value));
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

constexpr char kSuffixArg[] = "suffix";
constexpr char kParamNamesArg[] = "param_names";

PyMethodDef kSuffixInit = {
    "__init__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
        &init_method<suffix_appender_init, kSuffixArg>)),
    METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kMergerInit = {
    "__init__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
        &init_method<input_merger_init, kParamNamesArg>)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

py::object make_class(const py::module_& module, const char* name, const char* doc,
                      PyMethodDef* init) {
    py::module_ builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__doc__"] = py::str(doc);
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    py::object cls = builtins.attr("type")(name, py::make_tuple(builtins.attr("object")), ns);

    py::object function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(init, nullptr, module.attr("__name__").ptr()));
    if (!function) throw py::error_already_set();
    py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    cls.attr("__init__") = method;
    return cls;
}

}  // namespace

void add_passes(py::module_& module) {
    py::object function_pass =
        py::module_::import("tvm.relay.transform").attr("function_pass");
    py::object decorate = function_pass(py::arg("opt_level") = 1);

    py::object appender = make_class(module, "_VarNameSuffixAppender",
                                     "Update each var's name by appending a suffix.", &kSuffixInit);
    appender.attr("transform_function") =
        py::cpp_function(&suffix_appender_transform, py::name("transform_function"),
                         py::is_method(appender), py::arg("func"), py::arg("mod"), py::arg("ctx"));
    module.attr("_VarNameSuffixAppender") = decorate(appender);

    py::object merger = make_class(module, "_InputMerger",
                                   "Make multiple networks share a single input tensor.",
                                   &kMergerInit);
    merger.attr("_var_is_input") =
        py::cpp_function(&input_merger_var_is_input, py::name("_var_is_input"),
                         py::is_method(merger), py::arg("var_name"));
    merger.attr("transform_function") =
        py::cpp_function(&input_merger_transform, py::name("transform_function"),
                         py::is_method(merger), py::arg("func"), py::arg("mod"), py::arg("ctx"));
    module.attr("_InputMerger") = decorate(merger);
}

}  // namespace netunion
