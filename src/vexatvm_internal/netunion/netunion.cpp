// Fusion of several Relay networks into one module with one parameter dict.
//
// Each network is renamed by _VarNameSuffixAppender (suffix "_<k>" for the
// k-th network), the bodies become one tuple, the quantized accelerator
// functions are carried over, and on request _InputMerger makes all networks
// read one input.

#include "fusion.h"
#include "vexa/module.h"
#include "vexa/unpack.h"

#include <string>

namespace py = pybind11;

namespace netunion {

py::object plus(const py::handle& a, const py::handle& b) {
    PyObject* sum = PyNumber_Add(a.ptr(), b.ptr());
    if (sum == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(sum);
}

bool truthy(const py::handle& obj) {
    int result = PyObject_IsTrue(obj.ptr());
    if (result < 0) throw py::error_already_set();
    return result != 0;
}

py::object attr_or_none(const py::handle& obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

py::object func_has_attr(const py::object& mod, const py::object& f_name,
                         const py::object& attr_name, const py::object& attr_val) {
    py::object f = mod[f_name];
    py::object attrs = attr(f, "attrs");
    if (!truthy(attrs)) return attrs;
    PyObject* found = PyObject_GetAttr(attrs.ptr(), attr_name.ptr());
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::bool_(false);
    }
    Py_DECREF(found);
    PyObject* equal = PyObject_RichCompare(attrs[attr_name].ptr(), attr_val.ptr(), Py_EQ);
    if (equal == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(equal);
}

py::object is_vexa_quantized(const py::object& mod, const py::object& f_name) {
    return func_has_attr(mod, f_name, py::str("Compiler"), py::str("vexa_qtz"));
}

namespace {

// Name under which the module was imported; its attributes are looked up at
// call time (holding the module itself in its own functions makes a cycle).
std::string& module_name() {
    static auto* name = new std::string();
    return *name;
}

py::dict update_params(const py::object& params, const py::object& suffix) {
    py::dict result;
    py::object suffix_text = py::str(suffix);
    py::object underscore = py::str("_");
    for (py::handle item : params.attr("items")()) {
        // Any pair will do, as in `for key, value in params.items()`.
        auto [name, value] = vexa::unpack2(item);
        // Plain concatenation, so a non-str key raises TypeError.
        py::object key = plus(plus(name, underscore), suffix_text);
        result[key] = value;
    }
    return result;
}

bool assertions_enabled() {
    py::object flags = py::module_::import("sys").attr("flags");
    return !truthy(flags.attr("optimize"));
}

py::tuple fuse_netunion(const py::object& mod_list, const py::object& params_list,
                        const py::object& share_input) {
    py::module_ self = py::module_::import(module_name().c_str());
    Py_ssize_t num_networks = py::len(mod_list);
    if (assertions_enabled() && num_networks != static_cast<Py_ssize_t>(py::len(params_list))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }

    py::list exprs;
    py::dict fused_params;
    py::dict qtz_funcs;
    py::object appender = self.attr("_VarNameSuffixAppender");
    py::str main("main");
    py::str is_pruned("IsPruned");
    py::int_ one(1);
    for (Py_ssize_t i = 0; i < num_networks; ++i) {
        py::int_ index(i);
        py::int_ suffix(i + 1);
        py::object mod = mod_list[index];
        mod = appender(suffix)(mod);
        exprs.append(attr(mod[main], "body"));

        py::dict params = update_params(params_list[index], suffix);
        if (PyDict_Update(fused_params.ptr(), params.ptr()) < 0) throw py::error_already_set();

        for (py::handle gvar : items(mod.attr("get_global_vars")())) {
            py::object name = attr(gvar, "name_hint");
            if (!truthy(is_vexa_quantized(mod, name))) continue;
            if (truthy(func_has_attr(mod, name, is_pruned, one))) continue;
            qtz_funcs[name] = py::make_tuple(gvar, mod[name]);
        }
    }

    py::object fused_expr = self.attr("tuple_netunion")(relay().Tuple(exprs));
    py::object fused_mod = relay().IRModule.attr("from_expr")(fused_expr);
    // Added under the GlobalVar objects the calls hold; adding by name would
    // make new ones, and TVM's lookups by object would miss the functions.
    for (auto item : qtz_funcs) {
        py::tuple entry = py::reinterpret_borrow<py::tuple>(item.second);
        fused_mod[entry[0]] = entry[1];
    }
    if (truthy(share_input)) {
        py::list names = py::list(fused_params.attr("keys")());
        fused_mod = self.attr("_InputMerger")(names)(fused_mod);
    }
    return py::make_tuple(fused_mod, fused_params);
}

// `owner.name`, failing like `from <owner> import <name>` when it is missing.
py::object import_name(const py::object& owner, const char* owner_name, const char* name) {
    PyObject* value = PyObject_GetAttrString(owner.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        std::string message =
            std::string("cannot import name '") + name + "' from '" + owner_name + "'";
        PyErr_SetString(PyExc_ImportError, message.c_str());
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

void init_module(py::module_& module) {
    ffi::require_supported_tvm();
    module_name() = py::str(module.attr("__name__")).cast<std::string>();
    relay();
    ffi::api();

    // The accelerator's annotation for fused networks; bound now so that a
    // TVM without it fails the import rather than the first fusion.
    // tvm.relay.annotation is an attribute of tvm.relay, not an importable module.
    py::object annotation = py::module_::import("tvm.relay").attr("annotation");
    module.attr("tuple_netunion") =
        import_name(annotation, "tvm.relay.annotation", "tuple_netunion");

    module.def("_update_params", &update_params, py::arg("params"), py::arg("suffix"),
               "A new dict whose keys are params' keys with \"_\" + str(suffix) appended.");
    module.def("_func_has_attr", &func_has_attr, py::arg("mod"), py::arg("f_name"),
               py::arg("attr_name"), py::arg("attr_val"),
               "mod[f_name].attrs and hasattr(...) and attrs[attr_name] == attr_val.");
    module.def("_is_vexa_quantized", &is_vexa_quantized, py::arg("mod"), py::arg("f_name"),
               "Whether mod[f_name] is a quantized accelerator function (Compiler=\"vexa_qtz\").");
    add_passes(module);
    module.def("fuse_netunion", &fuse_netunion, py::arg("mod_list"), py::arg("params_list"),
               py::arg("share_input") = false,
               "Fuse networks (IRModules with a main function) and their parameter dicts into "
               "one IRModule and one dict. Names of network k get the suffix \"_k\"; with "
               "share_input, all networks read the first network's input. Returns "
               "(fused_mod, fused_params).");
}

}  // namespace

}  // namespace netunion

VEXA_MODULE(netunion, "Fusion of several Relay networks into one module.",
            netunion::init_module)
