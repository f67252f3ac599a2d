"""Python reference of network fusion, built on TVM's own recursive ExprMutator.

It follows the documented behaviour line by line, with the module's two mended
faults and its two decisions, so the C++ module can be compared with it on
graphs small enough for Python's recursion limit.
"""

import sys

import tvm
from tvm import relay
from tvm.relay import analysis
from tvm.relay.expr import Call, GlobalVar, Tuple, Var, var
from tvm.relay.expr_functor import ExprMutator
from tvm.relay.function import Function

import vexatvm_internal  # noqa: F401  (puts tvm.relay.annotation.tuple_netunion in place)


def _update_params(params, suffix):
    return {key + "_" + str(suffix): value for key, value in params.items()}


def _func_has_attr(mod, f_name, attr_name, attr_val):
    f = mod[f_name]
    return f.attrs and hasattr(f.attrs, attr_name) and f.attrs[attr_name] == attr_val


def _is_vexa_quantized(mod, f_name):
    return _func_has_attr(mod, f_name, "Compiler", "vexa_qtz")


@relay.transform.function_pass(opt_level=1)
class VarNameSuffixAppender:
    def __init__(self, suffix):
        self.suffix = suffix
        self._copied_in = None
        self._copied = {}

    def transform_function(self, func, mod, ctx):
        obj = self
        if obj._copied_in is None or not obj._copied_in.same_as(mod):
            obj._copied_in, obj._copied = mod, {}

        class Mutator(ExprMutator):
            def visit_var(self, v):
                new_name_hint = v.name_hint + "_" + str(obj.suffix)
                type_annotation = shape = dtype = None
                if hasattr(v, "type_annotation"):
                    type_annotation = v.type_annotation
                if hasattr(v, "shape"):
                    shape = v.shape
                if hasattr(v, "dtype"):
                    dtype = v.dtype
                return var(new_name_hint, type_annotation, shape, dtype)

            def visit_call(self, call):
                if isinstance(call.op, GlobalVar):
                    name = call.op.name_hint
                    gvar = obj._copied.get(name)
                    if gvar is None and _is_vexa_quantized(mod, name):
                        new_name = name + "_" + str(obj.suffix)
                        mod[new_name] = mod[name]
                        mod[name] = mod[name].with_attr("IsPruned", 1)
                        gvar = obj._copied[name] = mod.get_global_var(new_name)
                    if gvar is not None:
                        call = Call(gvar, call.args, call.attrs, call.type_args, call.span)
                return super().visit_call(call)

        return Mutator().visit(func)


def _same_quantization(a, b):
    return (
        tvm.ir.structural_equal(a.args[1], b.args[1])
        and tvm.ir.structural_equal(a.args[2], b.args[2])
        and a.attrs.axis == b.attrs.axis
        and a.attrs.out_dtype == b.attrs.out_dtype
    )


@relay.transform.function_pass(opt_level=1)
class InputMerger:
    def __init__(self, param_names):
        self.param_names = param_names
        self.shared_input = None
        self.shared_quantized_input = None

    def _var_is_input(self, var_name):
        return var_name not in self.param_names

    def transform_function(self, func, mod, ctx):
        obj = self

        class Mutator(ExprMutator):
            own_quantize = {}

            def shared_quantize(self, arg):
                if obj.shared_quantized_input is None:
                    obj.shared_quantized_input = arg
                    return arg
                shared = obj.shared_quantized_input
                if shared.same_as(arg) or _same_quantization(shared, arg):
                    return shared
                if arg not in self.own_quantize:
                    data = obj.shared_input
                    if data is None:
                        data = shared.args[0]
                    if data.same_as(arg.args[0]):
                        self.own_quantize[arg] = arg
                    else:
                        self.own_quantize[arg] = Call(
                            arg.op, [data, *arg.args[1:]], arg.attrs, arg.type_args, arg.span
                        )
                return self.own_quantize[arg]

            def visit_call(self, call):
                if len(call.args) == 0:
                    return super().visit_call(call)
                arg = call.args[0]
                if isinstance(arg, Var) and obj._var_is_input(arg.name_hint):
                    if obj.shared_input is None:
                        obj.shared_input = arg
                    new_args = [obj.shared_input, *call.args[1:]]
                    return Call(call.op, new_args, call.attrs, call.type_args)
                if (
                    isinstance(arg, Call)
                    and isinstance(arg.op, tvm.ir.Op)
                    and arg.op.name == "qnn.quantize"
                    and isinstance(arg.args[0], Var)
                    and obj._var_is_input(arg.args[0].name_hint)
                ):
                    new_args = [self.shared_quantize(arg), *call.args[1:]]
                    return Call(call.op, new_args, call.attrs, call.type_args)
                return super().visit_call(call)

        mutator = Mutator()
        mutator.own_quantize = {}
        f = mutator.visit(func)
        return Function(analysis.free_vars(f.body), f.body)


def fuse_netunion(mod_list, params_list, share_input=False):
    num_networks = len(mod_list)
    if not sys.flags.optimize:
        assert num_networks == len(params_list)
    exprs, fused_params, qtz_funcs = [], {}, {}
    for i in range(num_networks):
        mod = VarNameSuffixAppender(i + 1)(mod_list[i])
        exprs.append(mod["main"].body)
        fused_params.update(_update_params(params_list[i], i + 1))
        for gvar in mod.get_global_vars():
            name = gvar.name_hint
            if not _is_vexa_quantized(mod, name) or _func_has_attr(mod, name, "IsPruned", 1):
                continue
            qtz_funcs[name] = (gvar, mod[name])
    fused_mod = tvm.IRModule.from_expr(relay.annotation.tuple_netunion(Tuple(exprs)))
    for gvar, func in qtz_funcs.values():
        fused_mod[gvar] = func
    if share_input:
        fused_mod = InputMerger(list(fused_params.keys()))(fused_mod)
    return fused_mod, fused_params
