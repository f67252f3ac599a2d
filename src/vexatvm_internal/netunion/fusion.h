// Pieces of the netunion module shared between its source files.
#pragma once

#include "vexa/relay_nodes.h"

namespace netunion {

using namespace vexa::ir;  // NOLINT: the walker and node kinds are this module's vocabulary

// a + b, as Python evaluates it.
py::object plus(const py::handle& a, const py::handle& b);

// Python truth value of obj; errors of __bool__/__len__ propagate.
bool truthy(const py::handle& obj);

// getattr(obj, name) when hasattr(obj, name), else None. Like hasattr, only
// AttributeError counts as absence.
py::object attr_or_none(const py::handle& obj, const char* name);

// _func_has_attr and _is_vexa_quantized: they return the short-circuit value
// of `f.attrs and hasattr(f.attrs, name) and f.attrs[name] == value`.
py::object func_has_attr(const py::object& mod, const py::object& f_name,
                         const py::object& attr_name, const py::object& attr_val);
py::object is_vexa_quantized(const py::object& mod, const py::object& f_name);

// Defines _VarNameSuffixAppender and _InputMerger on the module.
void add_passes(py::module_& module);

}  // namespace netunion
