#include "vexa/tvm_ffi.h"

#include <stdexcept>
#include <string>

namespace vexa::ffi {

namespace {

// Type codes of TVM's C API (tvm/_ffi/runtime_ctypes.py, ArgTypeCode).
constexpr int kInt = 0;
constexpr int kNull = 4;
constexpr int kObjectHandle = 8;
constexpr int kStr = 11;
constexpr int kBool = 15;

using Value = decltype(Arg::value);
static_assert(sizeof(Value) == 8, "TVMValue is 8 bytes");

struct CApi {
    int (*func_get_global)(const char*, void**);
    int (*func_call)(void*, Value*, int*, int, Value*, int*);
    int (*object_free)(void*);
    int (*object_retain)(void*);
    int (*object_get_type_index)(void*, unsigned*);
    int (*object_type_key_to_index)(const char*, unsigned*);
};

// The Python side: TVM's loaded library and its own error and object
// helpers. Deliberately leaked, as Python objects must not be destroyed
// after interpreter shutdown.
struct Bridge {
    CApi c;
    py::object tvm_value;           // tvm._ffi._ctypes.types.TVMValue
    py::object return_object;       // how TVM's ctypes FFI wraps a returned object
    py::object raise_last_ffi_error;
};

const Bridge& bridge() {
    static Bridge* b = [] {
        py::module_ ctypes = py::module_::import("ctypes");
        py::module_ base = py::module_::import("tvm._ffi.base");
        py::object lib = base.attr("_LIB");
        auto address = [&](const char* name) {
            py::object pointer = ctypes.attr("cast")(lib.attr(name), ctypes.attr("c_void_p"));
            return reinterpret_cast<void*>(pointer.attr("value").cast<std::uintptr_t>());
        };
        auto* out = new Bridge;
        out->c.func_get_global = reinterpret_cast<decltype(out->c.func_get_global)>(address("TVMFuncGetGlobal"));
        out->c.func_call = reinterpret_cast<decltype(out->c.func_call)>(address("TVMFuncCall"));
        out->c.object_free = reinterpret_cast<decltype(out->c.object_free)>(address("TVMObjectFree"));
        out->c.object_retain = reinterpret_cast<decltype(out->c.object_retain)>(address("TVMObjectRetain"));
        out->c.object_get_type_index =
            reinterpret_cast<decltype(out->c.object_get_type_index)>(address("TVMObjectGetTypeIndex"));
        out->c.object_type_key_to_index =
            reinterpret_cast<decltype(out->c.object_type_key_to_index)>(address("TVMObjectTypeKey2Index"));
        out->tvm_value = py::module_::import("tvm._ffi._ctypes.types").attr("TVMValue");
        out->return_object = py::module_::import("tvm._ffi._ctypes.object").attr("_return_object");
        out->raise_last_ffi_error = base.attr("raise_last_ffi_error");
        return out;
    }();
    return *b;
}

[[noreturn]] void raise_last_error() {
    bridge().raise_last_ffi_error();  // raises, so pybind11 throws error_already_set
    throw std::runtime_error("TVM call failed");
}

void check(int status) {
    if (status != 0) raise_last_error();
}

}  // namespace

void require_supported_tvm() {
    py::module_ tvm = py::module_::import("tvm");
    std::string version = py::str(tvm.attr("__version__"));
    py::object object_class = py::module_::import("tvm.runtime").attr("Object");
    py::object ctypes_base = py::module_::import("tvm._ffi._ctypes.object").attr("ObjectBase");
    int on_ctypes = PyObject_IsSubclass(object_class.ptr(), ctypes_base.ptr());
    if (on_ctypes < 0) throw py::error_already_set();
    if (version.rfind("0.19.", 0) == 0 && on_ctypes == 1) return;
    throw py::import_error("vexatvm_internal needs upstream TVM 0.19 on its ctypes FFI; found TVM " + version +
                           (on_ctypes == 1 ? " on its ctypes FFI"
                                           : " on its Cython FFI (TVM_FFI=ctypes in the environment selects ctypes)"));
}

Object Object::borrow(void* handle) {
    if (handle != nullptr) check(bridge().c.object_retain(handle));
    return Object(handle);
}

Object Object::from_python(const py::handle& obj) {
    if (obj.is_none()) return Object();
    py::object handle = obj.attr("handle");
    py::object value = handle.attr("value");
    if (value.is_none()) return Object();
    return borrow(reinterpret_cast<void*>(value.cast<std::uintptr_t>()));
}

Object::~Object() {
    // Errors cannot leave a destructor; TVMObjectFree does not fail on a live handle.
    if (handle_ != nullptr) bridge().c.object_free(handle_);
}

unsigned Object::type_index() const {
    unsigned index = 0;
    check(bridge().c.object_get_type_index(handle_, &index));
    return index;
}

py::object Object::to_python() const {
    if (handle_ == nullptr) return py::none();
    const Bridge& b = bridge();
    py::object value = b.tvm_value();
    Object owned(*this);  // the Python object takes over this reference
    value.attr("v_handle") = py::int_(reinterpret_cast<std::uintptr_t>(owned.get()));
    py::object result = b.return_object(value);
    owned.handle_ = nullptr;
    return result;
}

Arg::Arg(const Object& obj) : type_code(obj ? kObjectHandle : kNull) { value.v_handle = obj.get(); }
Arg::Arg(std::nullptr_t) : type_code(kNull) { value.v_handle = nullptr; }
Arg::Arg(std::int64_t v) : type_code(kInt) { value.v_int64 = v; }
Arg::Arg(bool v) : type_code(kBool) {
    value.v_int64 = 0;
    value.v_bool = v;
}
Arg::Arg(const char* v) : type_code(kStr) { value.v_str = v; }

PackedFunc::PackedFunc(const char* name) {
    check(bridge().c.func_get_global(name, &handle_));
    if (handle_ == nullptr) {
        throw py::import_error(std::string("TVM has no global function ") + name);
    }
}

int PackedFunc::call(const Arg* args, size_t count, Arg& result) const {
    constexpr size_t kMaxArgs = 16;
    Value values[kMaxArgs];
    int codes[kMaxArgs];
    std::vector<Value> more_values;
    std::vector<int> more_codes;
    Value* v = values;
    int* c = codes;
    if (count > kMaxArgs) {
        more_values.resize(count);
        more_codes.resize(count);
        v = more_values.data();
        c = more_codes.data();
    }
    for (size_t i = 0; i < count; ++i) {
        v[i] = args[i].value;
        c[i] = args[i].type_code;
    }
    check(bridge().c.func_call(handle_, v, c, static_cast<int>(count), &result.value,
                               &result.type_code));
    return result.type_code;
}

Object PackedFunc::object(const Arg* args, size_t count) const {
    Arg result;
    int code = call(args, count, result);
    if (code == kObjectHandle) return Object::steal(result.value.v_handle);
    if (code == kNull) return Object();
    throw std::runtime_error("TVM returned a value of type code " + std::to_string(code) +
                             " where an object was expected");
}

std::int64_t PackedFunc::call_int(std::initializer_list<Arg> args) const {
    if (std::optional<std::int64_t> value = try_int(args)) return *value;
    throw std::runtime_error("TVM returned a value other than an int where an int was expected");
}

std::optional<std::int64_t> PackedFunc::try_int(std::initializer_list<Arg> args) const {
    Arg result;
    int code = call(args.begin(), args.size(), result);
    if (code == kInt) return result.value.v_int64;
    if (code == kBool) return result.value.v_bool ? 1 : 0;
    if (code == kObjectHandle) Object::steal(result.value.v_handle);  // released here
    return std::nullopt;
}

std::optional<std::string> PackedFunc::try_str(std::initializer_list<Arg> args) const {
    Arg result;
    int code = call(args.begin(), args.size(), result);
    // A str result points into TVM's per-thread return store, valid until the next call.
    if (code == kStr) return std::string(result.value.v_str);
    if (code == kObjectHandle) Object::steal(result.value.v_handle);
    return std::nullopt;
}

unsigned type_index_of(const char* type_key) {
    unsigned index = 0;
    check(bridge().c.object_type_key_to_index(type_key, &index));
    return index;
}

const Api& api() {
    static Api* a = new Api;
    return *a;
}

std::vector<Object> items(const Object& array) {
    const Api& f = api();
    std::int64_t size = f.array_size.call_int({array});
    std::vector<Object> out;
    out.reserve(static_cast<size_t>(size));
    for (std::int64_t i = 0; i < size; ++i) out.push_back(f.array_get_item({array, i}));
    return out;
}

Object make_array(const std::vector<Object>& elements) {
    std::vector<Arg> args(elements.begin(), elements.end());
    return api().array(args);
}

}  // namespace vexa::ffi
