"""The ``vexatvm`` command.

``vexatvm partition`` partitions a model for an architecture and shows what
runs on the accelerator::

    vexatvm partition int8-cnn --arch vexa-nano
    vexatvm partition model.relay --table vexa --arch-file desc.yaml --json
    vexatvm partition int8-cnn yolo-detector --arch vexa-nano --arch vexa-pro --jobs 2

``vexatvm arch`` lists the built-in architectures of the accelerator's native
library and answers single queries about one architecture::

    vexatvm arch                         # table of every built-in architecture
    vexatvm arch --json                  # {name: {parameter: value text}}
    vexatvm arch vexa-nano               # one architecture
    vexatvm arch vexa-nano channels      # one parameter value
    vexatvm arch --arch-file desc.yaml --supports TransposedConv2d
"""

import argparse
import os
import sys
import traceback

from vexatvm_internal.errors import error_message, is_internal

from . import interrupts
from .arch import cmd_arch
from .common import CliError, PROG
from .fuse import cmd_fuse
from .models import example_names
from .partition import cmd_partition


def _jobs(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description="Vexa accelerator front end for TVM Relay.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    arch = commands.add_parser(
        "arch",
        help="list the built-in architectures or query one",
        description="List the built-in architectures and their parameters, or answer one query.",
    )
    arch.add_argument("name", nargs="?", help="built-in architecture name")
    arch.add_argument("param", nargs="?", help="print only this parameter's value")
    arch.add_argument("--arch-file", metavar="FILE", help="YAML architecture description")
    arch.add_argument("--supports", metavar="OPERATOR", help="ask whether OPERATOR is supported")
    arch.add_argument("--json", action="store_true", help="machine-readable output")
    arch.add_argument("--verbose", action="store_true", help="the traceback of an internal error")
    arch.set_defaults(run=cmd_arch)

    partition = commands.add_parser(
        "partition",
        help="partition a model for an architecture and show what runs on the accelerator",
        description="Partition a model with the accelerator's pattern tables and summarise the result.",
    )
    partition.add_argument(
        "model", nargs="+", metavar="MODEL",
        help="ONNX file, TFLite file, TorchScript file (.pt), Relay text or save_json file, or a built-in example: " + ", ".join(example_names())
        + "; several are partitioned one after the other",
    )
    partition.add_argument("--table", action="append", metavar="NAME",
                           help="pattern table to apply (vexa, vexa_with_clip, vexa_with_fc, vexa_fp32, "
                           "vexa_fp32_quantizer, vexa_blocks); repeat to apply several in order (default: picked from "
                           "the graph: vexa for a quantized graph, vexa_blocks then vexa_fp32 for a float graph; "
                           "a built-in example's own tables)")
    partition.add_argument("--input-shape", action="append", metavar="NAME=D1,D2,...",
                           help="fix the shape of an input at import, e.g. input=1,3,224,224 (a TorchScript model "
                           "needs one for each input: input0=..., input1=..., or by forward's argument names); repeatable")
    partition.add_argument("--dim", action="append", metavar="NAME=VALUE",
                           help="fix every input axis an ONNX export names NAME (its dim_param) to VALUE, e.g. "
                           "batch=1; repeatable")
    partition.add_argument("--arch", action="append", metavar="NAME",
                           help="built-in architecture (default: the current build configuration); repeat to "
                           "partition every model for each")
    partition.add_argument("--arch-file", metavar="FILE", help="YAML architecture description")
    partition.add_argument("--json", action="store_true",
                           help="machine-readable output; a list of the reports for several models or architectures")
    partition.add_argument("--jobs", type=_jobs, default=1, metavar="N",
                           help="partition that many model and architecture combinations at once, each in a "
                           "process of its own (default: 1, one after the other)")
    partition.add_argument("--quiet", action="store_true", help="no progress bar")
    partition.add_argument("--svg", metavar="FILE", help="write a picture of the partitioned graph, composites coloured by name")
    partition.add_argument("--png", metavar="FILE", help="the same picture as PNG")
    partition.add_argument(
        "--canonicalize", action=argparse.BooleanOptionalAction, default=True,
        help="first rewrite forms real exports take into the forms the tables capture: quantized "
        "dequantize -> op -> quantize regions into QNN operators, data movement on constants folded, "
        "NCHW and full-shape biases, attention scaled on query and key or after the product, layer norm "
        "with variance, int8 squares written as power, dense and NHWC convolution biases, and for vexa_with_fc "
        "TFLite's fully-connected flatten and missing bias (default: on; --no-canonicalize gives the plain preparation)",
    )
    partition.add_argument(
        "--regions", action="store_true",
        help="go on from composites to accelerator regions (AnnotateTarget, MergeCompilerRegions, PartitionGraph: "
        "int8 regions for vexa_qtz, float ones for vexa_fp32) and report them with the tensors that cross "
        "between host and accelerator")
    partition.add_argument(
        "--verify", action="store_true",
        help="build the original and the partition (regions and composites inlined) for the CPU, run both on "
        "the same seeded random inputs and report the largest difference per output, in quantization steps for "
        "a quantized output; exit status 1 beyond float rounding or one step")
    partition.add_argument("-o", "--output", metavar="FILE",
                           help="write the partitioned module (with --regions, its regions) as Relay text, or "
                           "with tvm.ir.save_json to a path ending in .json; `vexatvm fuse` reads either")
    partition.add_argument("--verbose", action="store_true",
                           help="also show TVM's warnings, its full diagnostics and the traceback of an internal error")
    partition.add_argument(
        "--explain", action="store_true",
        help="for each operator left on the host, why: the entries whose pattern matched there and what their checks "
             "refused, or that no pattern matched (with the entry that nearly did, where known)",
    )
    # The parser goes along so that --jobs can give each child process the same arguments.
    partition.set_defaults(run=cmd_partition, parser=partition)

    fuse = commands.add_parser(
        "fuse",
        help="fuse several networks into one module",
        description="Fuse networks (ONNX, TFLite or Relay text files, or built-in examples) into one Relay module "
        "whose main returns every network's outputs, with names made unique per network.",
    )
    fuse.add_argument("models", nargs="+", metavar="MODEL", help="networks to fuse, in order")
    fuse.add_argument("--share-input", action="store_true", help="make every network read the first network's input")
    fuse.add_argument("-o", "--output", metavar="FILE",
                      help="write the fused module as Relay text, or with tvm.ir.save_json to a path ending in .json")
    fuse.add_argument("--json", action="store_true", help="machine-readable output")
    fuse.add_argument("--verbose", action="store_true", help="the traceback of an internal error")
    fuse.set_defaults(run=cmd_fuse)
    return parser


def main(argv=None, out=None):
    out = sys.stdout if out is None else out
    # The command builds kernels only to fold constants (TVM's TFLite import)
    # and for --verify, where tuned schedules change nothing: no fetching of
    # TVM's TopHub logs over the network, and none of its retry warnings.
    os.environ.setdefault("TOPHUB_LOCATION", "NONE")
    args = build_parser().parse_args(argv)
    if not getattr(args, "verbose", False):
        # torch's C++ warnings (deprecations of quantized tensors, a line per
        # weight) say nothing about the model; --verbose shows them.
        os.environ.setdefault("TORCH_CPP_LOG_LEVEL", "ERROR")
    # Ctrl-C stops the command between stages, never inside TVM (see interrupts).
    with interrupts.handling():
        try:
            status = args.run(args, out)
            interrupts.checkpoint()  # one that came during the last stage
            return status
        except CliError as err:
            sys.stderr.write(f"{PROG}: error: {err}\n")
            return 1
        except KeyboardInterrupt:
            return interrupts.report(sys.stderr)
        except Exception as err:  # pylint: disable=broad-except
            if getattr(args, "verbose", False) and is_internal(err):
                traceback.print_exception(err)
            sys.stderr.write(f"{PROG}: error: {error_message(err)}\n")
            return 1
