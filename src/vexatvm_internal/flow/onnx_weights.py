"""ONNX weights read once, where the file holds them.

``onnx.load`` keeps every weight in the protobuf while TVM's frontend copies
each to numpy and then into a TVM array; the frontend then keeps every
initializer's constant until the import ends, beside the layouts its
converters fold from them (a transposed Gemm weight). Here the model parses
without its weights (see formats.onnx_without_weights), each weight is
copied from a memory map of its file straight into the TVM array the
frontend keeps, and an initializer's constant is let go once the last
node that reads it is converted. The module is the one ``from_onnx`` gives
for ``onnx.load(path)``."""

import contextlib
import mmap
import os

from vexatvm_internal.errors import error_line

__all__ = ["load_graph", "external_data", "weights_from_files"]


def load_graph(path):
    """The ModelProto of path, its initializers' data left in the file as
    external data (inline data referred to where it lies in path). None
    where the file is not a protobuf this reads: onnx.load then says why."""
    import onnx  # pylint: disable=import-outside-toplevel

    from vexatvm_internal import formats  # pylint: disable=import-outside-toplevel

    with open(path, "rb") as stream, mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        try:
            graph = formats.onnx_without_weights(mapped, os.path.basename(path))
        except ValueError:
            return None
    try:
        return onnx.load_model_from_string(graph)
    except Exception:  # pylint: disable=broad-except  # protobuf's DecodeError and others
        return None


class ExternalDataError(ValueError):
    """An initializer whose external data cannot be read as it says."""


def external_data(tensor, base_dir):
    """(file, offset, bytes) of a tensor's external data, bytes running to
    the file's end where the tensor gives no length. Raises
    ExternalDataError where the location leaves base_dir or names no file,
    or the offset or length is not a size the file has."""
    from onnx import onnx_cpp2py_export  # pylint: disable=import-outside-toplevel
    from onnx.external_data_helper import ExternalDataInfo  # pylint: disable=import-outside-toplevel

    try:
        info = ExternalDataInfo(tensor)
        offset, length = int(info.offset or 0), int(info.length) if info.length else None
    except (ValueError, TypeError):
        raise ExternalDataError(f"initializer {tensor.name!r}: its external data's offset or length is not a "
                                "whole number") from None
    try:
        # ONNX's own rule: relative to the model's folder, never outside it.
        file = onnx_cpp2py_export.checker._resolve_external_data_location(  # type: ignore[attr-defined]  # pylint: disable=protected-access
            base_dir, info.location, tensor.name)
    except Exception as err:  # pylint: disable=broad-except  # onnx raises its ValidationError
        raise ExternalDataError(f"initializer {tensor.name!r}: {error_line(err)}") from None
    size = os.path.getsize(file)
    if offset < 0 or offset > size or (length is not None and (length < 0 or length > size - offset)):
        end = offset + (length or 0)
        raise ExternalDataError(f"initializer {tensor.name!r}: its data at bytes {offset}..{end} of "
                                f"{info.location} lies past the file's end ({size} bytes)")
    return file, offset, size - offset if length is None else length


# Element types numpy reads from raw bytes as onnx's to_array does; the others
# (bfloat16, float8, 4-bit, strings) go through onnx's own conversion.
_CONVERTED = ("BFLOAT16", "FLOAT8E4M3FN", "FLOAT8E4M3FNUZ", "FLOAT8E5M2", "FLOAT8E5M2FNUZ", "UINT4", "INT4",
              "STRING", "FLOAT4E2M1", "UNDEFINED")


@contextlib.contextmanager
def weights_from_files(graph, base_dir):
    """Within the block, TVM's ONNX frontend reads the initializers of
    graph (the main GraphProto) from their files and, where it freezes
    them, drops each one's constant once the last node that reads it is
    converted."""
    import numpy as np  # pylint: disable=import-outside-toplevel
    import sys  # pylint: disable=import-outside-toplevel
    from onnx import TensorProto, helper  # pylint: disable=import-outside-toplevel
    from onnx.external_data_helper import load_external_data_for_tensor, uses_external_data  # pylint: disable=import-outside-toplevel
    from tvm.relay.frontend import onnx as frontend  # pylint: disable=import-outside-toplevel

    GraphProto = frontend.GraphProto  # pylint: disable=invalid-name
    parse_array, set_parameter_span = GraphProto._parse_array, GraphProto._set_parameter_span  # pylint: disable=protected-access
    converted = {getattr(TensorProto, name) for name in _CONVERTED if hasattr(TensorProto, name)}
    maps: dict[str, mmap.mmap] = {}
    streams = []

    def mapped(file):
        if file not in maps:
            stream = open(file, "rb")  # pylint: disable=consider-using-with
            streams.append(stream)
            maps[file] = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
        return maps[file]

    def read_array(self, tensor):
        if not uses_external_data(tensor):
            return parse_array(self, tensor)
        file, offset, size = external_data(tensor, base_dir)
        if tensor.data_type in converted or tensor.HasField("segment") or sys.byteorder != "little":
            # Inline again, as onnx.load leaves it, for onnx's own conversion.
            load_external_data_for_tensor(tensor, base_dir)
            tensor.data_location = TensorProto.DEFAULT
            del tensor.external_data[:]
            return parse_array(self, tensor)
        dtype = np.dtype(helper.tensor_dtype_to_np_dtype(tensor.data_type))
        if size == 0:  # nothing to map (an empty file cannot be)
            return frontend._nd.array(np.empty(tuple(tensor.dims), dtype))  # pylint: disable=protected-access
        data = mapped(file)
        if size % dtype.itemsize:
            raise ValueError(f"initializer {tensor.name!r}: {size} bytes are no whole number of {dtype}")
        values = np.frombuffer(data, dtype, size // dtype.itemsize, offset)
        array = frontend._nd.array(values.reshape(tuple(tensor.dims)))  # pylint: disable=protected-access
        del values
        # The pages read are the file's: out of the process's memory once copied.
        start = offset - offset % mmap.PAGESIZE
        if hasattr(data, "madvise"):  # not on every platform
            data.madvise(mmap.MADV_DONTNEED, start, offset + size - start)
        return array

    last_reader = _last_readers(graph)
    top: list = []  # the frontend's GraphProto for graph; subgraphs get their own
    position = [0]

    def span_and_release(self, node, node_source_name):
        if not top:
            top.append(self)
        if self is top[0] and self._freeze_params:  # pylint: disable=protected-access
            # The previous node's inputs are still held for this call; those
            # of the nodes before it are not.
            for name in last_reader.get(position[0] - 2, ()):
                self._nodes.pop(self._renames.get(name, name), None)  # pylint: disable=protected-access
            position[0] += 1
        return set_parameter_span(self, node, node_source_name)

    GraphProto._parse_array = read_array  # pylint: disable=protected-access
    GraphProto._set_parameter_span = span_and_release  # pylint: disable=protected-access
    try:
        yield
    finally:
        GraphProto._parse_array, GraphProto._set_parameter_span = parse_array, set_parameter_span  # pylint: disable=protected-access
        for data in maps.values():
            with contextlib.suppress(BufferError):  # a view an error's traceback still holds
                data.close()
        for stream in streams:
            stream.close()


def _last_readers(graph):
    """{index of a node: initializers no node after it reads}. Empty where a
    node holds a subgraph (it may read any name of the outer graph) or the
    frontend would rename an input; initializers that are graph outputs are
    never let go."""
    from onnx import AttributeProto  # pylint: disable=import-outside-toplevel

    initializers = {init.name for init in graph.initializer}
    kept = {output.name for output in graph.output}
    last: dict[str, int] = {}
    for index, node in enumerate(graph.node):
        if any(attribute.type in (AttributeProto.GRAPH, AttributeProto.GRAPHS) for attribute in node.attribute):
            return {}
        for name in node.input:
            if name in initializers and name not in kept:
                last[name] = index
    readers: dict[int, list[str]] = {}
    for name, index in last.items():
        readers.setdefault(index, []).append(name)
    return readers
