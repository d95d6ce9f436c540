"""The entries' parameter lists (names, order, defaults), read from their signatures so that no
test keeps a copy of its own. The stubs are the one other copy; test_typing holds them to these."""

import inspect

from Velmora._ckernels.kalman import _kalman


def parameters(entry):
    """{name: inspect.Parameter} of an entry, given as a function or by name, in call order."""
    function = getattr(_kalman, entry) if isinstance(entry, str) else entry
    return inspect.signature(function).parameters


def names(entry, first=None, last=None):
    """The parameter names from `first` to `last` (both included; the ends by default)."""
    listed = list(parameters(entry))
    start = 0 if first is None else listed.index(first)
    stop = len(listed) if last is None else listed.index(last) + 1
    return listed[start:stop]


def required_count(entry):
    return sum(p.default is p.empty for p in parameters(entry).values())


def defaults(entry):
    return tuple(p.default for p in parameters(entry).values() if p.default is not p.empty)


def addresses(entry):
    """The parameters that take the address of a compiled callback."""
    return [name for name in parameters(entry) if name.endswith("_addr")]


def in_call_order(entry, /, **values):
    """`values` reordered as the entry's parameters, so that `*result.values()` is a valid call.

    The values must fill the leading parameters, at least every required one: a gap would shift
    the positional arguments after it.
    """
    leading = names(entry)[:len(values)]
    assert sorted(values) == sorted(leading) and len(values) >= required_count(entry), (
        f"{sorted(values)} are not the first parameters of {entry}: {names(entry)}")
    return {name: values[name] for name in leading}


def keywords_of(entry, source, first=None, last=None):
    """{name: attribute of `source` of that name} for the parameters from `first` to `last`."""
    return {name: getattr(source, name) for name in names(entry, first, last)}


def arguments_of(entry, source, first=None, last=None):
    """The same values as `keywords_of`, as positional arguments."""
    return tuple(keywords_of(entry, source, first, last).values())
