"""Architectures: the built-in ones of libvexakov and YAML description files."""

import re
from typing import Optional

import yaml

from vexatvm_internal.errors import first_line

from .common import CliError
from .native import native_parameter, require_parameter

_DECIMAL = re.compile(r"[+-]?[0-9]+")
_BOOLEAN_WORDS = "true/false, yes/no, on/off or 1/0"


def _split(text):
    return [item for item in text.split(",") if item]


def _named(name):
    return yaml.safe_dump({"arch": name})


def builtin_architectures():
    return _split(require_parameter(yaml.safe_dump({}), "builtin_architectures", "listing architectures"))


def describe(arch_text, what):
    """{parameter: value text} of one architecture, operators included."""
    params = _split(require_parameter(arch_text, "parameters", what))
    result = {name: require_parameter(arch_text, name, f"{what}, parameter {name!r}") for name in params}
    result["operators"] = require_parameter(arch_text, "operators", what)
    return result


def known_operators(arch_text):
    """Every operator name a built-in architecture or `arch_text` knows, in
    the order they are first listed."""
    known = {}
    for text in [_named(name) for name in builtin_architectures()] + [arch_text]:
        known.update(dict.fromkeys(_split(require_parameter(text, "operators", "listing operators"))))
    return list(known)


def _parameter_kinds():
    """{parameter: "integer", "boolean" or None} over the built-in architectures'
    parameters, typed by the values the library gives for them."""
    values: dict[str, list[str]] = {}
    for name in builtin_architectures():
        for param, value in describe(_named(name), name).items():
            if param != "operators":
                values.setdefault(param, []).append(value)
    kinds: dict[str, Optional[str]] = {}
    for param, texts in values.items():
        if all(text in ("", "1") for text in texts):
            kinds[param] = "boolean"
        elif all(_DECIMAL.fullmatch(text) for text in texts):
            kinds[param] = "integer"
        else:
            kinds[param] = None
    return kinds


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
    kinds = _parameter_kinds()
    known = ["base", "operators", "arch", *kinds]
    if len(description) == 1:
        ((key, value),) = description.items()
        if key not in known and isinstance(value, dict):
            # `vexatvm arch NAME --json` prints the description under its name.
            description = value
    if "arch" not in description:
        description = _checked(description, kinds, known, arch_file)
        return arch_file, description, yaml.safe_dump(description)
    # A whole build configuration names or holds the architecture under "arch";
    # its other keys are the configuration's own.
    arch = description["arch"]
    if isinstance(arch, dict):
        arch = _checked(arch, kinds, [key for key in known if key != "arch"], arch_file)
    elif isinstance(arch, str):
        _require_builtin(arch, f"{arch_file}: arch: ")
    else:
        raise CliError(f"{arch_file}: arch must name a built-in architecture or hold a description, not {arch!r}")
    return arch_file, arch, yaml.safe_dump({**description, "arch": arch})


def _checked(description, kinds, known, where):
    """The description with its values typed, or a CliError naming the first
    key or value the library would refuse or misread."""
    checked = {}
    for key, value in description.items():
        if key == "base":
            if value is not None:
                _require_builtin(value, f"{where}: base: ")
        elif key == "operators":
            names = value if isinstance(value, list) else [value]
            if value is not None and not all(isinstance(name, str) for name in names):
                raise CliError(f"{where}: operators must be a list of operator names "
                               f"or one comma-separated string, not {value!r}")
        elif key in kinds:
            value = _typed(key, value, kinds[key], where)
        else:
            raise CliError(f"{where}: unknown key {key!r} (known keys: {', '.join(known)})")
        checked[key] = value
    return checked


def _typed(key, value, kind, where):
    # None stays: it takes the base's value away.
    if value is None:
        return None
    if kind == "integer":
        # Text too, as `vexatvm arch --json` prints every value.
        if isinstance(value, int) and not isinstance(value, bool):
            return value
        if isinstance(value, str) and _DECIMAL.fullmatch(value):
            return int(value)
        raise CliError(f"{where}: {key} must be an integer, not {value!r}")
    if kind == "boolean":
        # The library reads every spelling of a flag; asking it keeps one list of them.
        status, answer = native_parameter(yaml.safe_dump({key: value}), key)
        if status != 0:
            raise CliError(f"{where}: {key} must be a boolean ({_BOOLEAN_WORDS}), not {value!r}")
        return bool(answer)
    return value


def _require_builtin(name, prefix=""):
    known = builtin_architectures()
    if name not in known:
        raise CliError(f"{prefix}unknown architecture {name!r} (built-in: {', '.join(known)})")


def _builtin_arch(name):
    _require_builtin(name)
    return name, name, _named(name)
