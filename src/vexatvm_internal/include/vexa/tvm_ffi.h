// Direct calls into TVM's C API, for hot paths.
//
// TVM's Python API reaches every node field and constructor through ctypes,
// at several microseconds per call: a rebuilt call node needs about ten such
// calls, reading a 3-D shape about six. Hot paths make the same calls
// (node.NodeGetAttr, runtime.Array*, relay.ir.<Node> constructors) through
// the C entry points that tvm/_ffi/_ctypes/packed_func.py uses, with the same
// arguments, and only turn nodes into Python objects where Python code looks
// at them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexa::ffi {

namespace py = pybind11;

// One owned reference to a TVM object, or none.
class Object {
public:
    Object() = default;
    static Object steal(void* handle) { return Object(handle); }
    static Object borrow(void* handle);
    // The node a Python TVM object wraps (None gives no object).
    static Object from_python(const py::handle& obj);

    Object(const Object& other) : Object(borrow(other.handle_)) {}
    Object(Object&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Object& operator=(Object other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~Object();

    void* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    bool same_as(const Object& other) const { return handle_ == other.handle_; }
    unsigned type_index() const;

    // The Python object TVM's own API would hand out for this node.
    py::object to_python() const;

private:
    explicit Object(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

// An argument of a packed function call.
struct Arg {
    Arg() : Arg(nullptr) {}
    Arg(const Object& obj);  // NOLINT: implicit, as in a Python call
    Arg(std::nullptr_t);     // NOLINT
    Arg(std::int64_t value);  // NOLINT
    Arg(bool value);          // NOLINT
    Arg(const char* value);   // NOLINT
    union {
        std::int64_t v_int64;
        bool v_bool;
        double v_float64;
        void* v_handle;
        const char* v_str;
    } value;
    int type_code;
};

// A function of TVM's global registry.
class PackedFunc {
public:
    explicit PackedFunc(const char* name);
    // Calls returning an object (or none), and calls returning an int or bool.
    Object operator()(std::initializer_list<Arg> args) const { return object(args.begin(), args.size()); }
    Object operator()(const std::vector<Arg>& args) const { return object(args.data(), args.size()); }
    std::int64_t call_int(std::initializer_list<Arg> args) const;
    // A call returning an int, a bool or a str (TVM hands out a data type as
    // its str); nullopt where it returns anything else.
    std::optional<std::int64_t> try_int(std::initializer_list<Arg> args) const;
    std::optional<std::string> try_str(std::initializer_list<Arg> args) const;

private:
    Object object(const Arg* args, size_t count) const;
    int call(const Arg* args, size_t count, Arg& result) const;
    void* handle_ = nullptr;
};

// The registry functions the walker calls, looked up once.
struct Api {
    PackedFunc node_get_attr{"node.NodeGetAttr"};
    PackedFunc array{"runtime.Array"};
    PackedFunc array_size{"runtime.ArraySize"};
    PackedFunc array_get_item{"runtime.ArrayGetItem"};
    PackedFunc call{"relay.ir.Call"};
    PackedFunc tuple{"relay.ir.Tuple"};
    PackedFunc tuple_get_item{"relay.ir.TupleGetItem"};
    PackedFunc let{"relay.ir.Let"};
    PackedFunc if_{"relay.ir.If"};
    PackedFunc ref_create{"relay.ir.RefCreate"};
    PackedFunc ref_read{"relay.ir.RefRead"};
    PackedFunc ref_write{"relay.ir.RefWrite"};
    PackedFunc match{"relay.ir.Match"};
    PackedFunc clause{"relay.ir.Clause"};
    PackedFunc function_with_fields{"relay.ir.FunctionWithFields"};
};

// Binds the C API and the registry functions; the module init calls it so
// a TVM without them fails the import.
const Api& api();

// Raises ImportError, naming what was found, unless the TVM in use is 0.19.x
// on its ctypes FFI: the calls here pass handles and type codes the way that
// FFI does, and a Cython build or another release would get wrong objects.
void require_supported_tvm();

// obj.<name> for an object-valued field (none for a null field).
inline Object get(const Object& obj, const char* name) {
    return api().node_get_attr({obj, name});
}
inline std::int64_t get_int(const Object& obj, const char* name) {
    return api().node_get_attr.call_int({obj, name});
}
std::vector<Object> items(const Object& array);
// The runtime type index of a registered type key ("relay.Call", "IntImm").
unsigned type_index_of(const char* type_key);
Object make_array(const std::vector<Object>& elements);

}  // namespace vexa::ffi
