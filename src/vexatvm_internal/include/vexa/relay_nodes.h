// TVM's Python Relay API as seen from this module's C++ code.
#pragma once

#include "vexa/tvm_ffi.h"

#include <pybind11/pybind11.h>

#include <cstdint>

namespace vexa::ir {

namespace py = pybind11;
namespace ffi = vexa::ffi;

// Node kinds, tested in the order TVM's ExprFunctor.visit tests them.
enum class Kind : std::uint8_t {
    Function,
    Call,
    Let,
    Var,
    GlobalVar,
    If,
    Tuple,
    TupleGetItem,
    Constant,
    Op,
    RefCreate,
    RefRead,
    RefWrite,
    Constructor,
    Match,
    Unhandled,
};

// Python classes and functions of TVM used here. Deliberately leaked:
// destroying Python objects after interpreter shutdown aborts the process.
struct Relay {
    py::object Function, Call, Let, Var, GlobalVar, If, Tuple, TupleGetItem, Constant, Op,
        RefCreate, RefRead, RefWrite, Constructor, Match;
    py::object var, free_vars, structural_equal, IRModule;
    py::module_ package;  // tvm.relay, for building calls
    py::object const_;    // relay.const
};

// Imports TVM on first use; the module init calls it so a missing TVM fails the import.
const Relay& relay();

Kind kind_of(const py::handle& expr);
Kind kind_of(const ffi::Object& expr);

// A node's address. Every attribute access hands out a fresh wrapper, so
// neither id() nor the wrapper identifies a node.
using NodeKey = std::uintptr_t;
NodeKey key_of(const py::handle& node);

// All items of a TVM Array as a Python list, in one slice.
py::list items(const py::handle& array);

inline py::object attr(const py::handle& obj, const char* name) { return obj.attr(name); }

}  // namespace vexa::ir
