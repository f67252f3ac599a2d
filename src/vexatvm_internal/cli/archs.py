"""Architectures: the built-in ones of libvexakov and YAML description files."""

import yaml

from vexatvm_internal.errors import first_line

from .common import CliError
from .native import require_parameter


def _split(text):
    return [item for item in text.split(",") if item]


def builtin_architectures():
    return _split(require_parameter(yaml.safe_dump({}), "builtin_architectures", "listing architectures"))


def describe(arch_text, what):
    """{parameter: value text} of one architecture, operators included."""
    params = _split(require_parameter(arch_text, "parameters", what))
    result = {name: require_parameter(arch_text, name, f"{what}, parameter {name!r}") for name in params}
    result["operators"] = require_parameter(arch_text, "operators", what)
    return result


def load_arch(name=None, arch_file=None):
    """(label, arch value for BuildConfig, architecture text) of a built-in
    name or a YAML description file; None when neither is given. The text is
    what the pattern checks pass to libvexakov, and it is validated here."""
    if arch_file is not None:
        label, arch, text = _arch_of_file(arch_file)
    elif name is not None:
        label, arch, text = _builtin_arch(name)
    else:
        return None
    require_parameter(text, "parameters", label)
    return label, arch, text


def _arch_of_file(arch_file):
    try:
        with open(arch_file, encoding="utf-8") as stream:
            description = yaml.safe_load(stream)
    except OSError as err:
        raise CliError(f"cannot read {arch_file}: {err.strerror}") from None
    except yaml.YAMLError as err:
        raise CliError(f"malformed YAML in {arch_file}: {first_line(err)}") from None
    if not isinstance(description, dict):
        raise CliError(f"{arch_file}: an architecture description must be a mapping")
    # A whole build configuration names or holds the architecture under "arch".
    arch = description["arch"] if "arch" in description else description
    return arch_file, arch, yaml.safe_dump(description)


def _builtin_arch(name):
    known = builtin_architectures()
    if name not in known:
        raise CliError(f"unknown architecture {name!r} (built-in: {', '.join(known)})")
    return name, name, yaml.safe_dump({"arch": name})
