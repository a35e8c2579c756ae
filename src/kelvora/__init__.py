# The package re-exports the compiled module kelvora.kelvora unchanged: its
# classes (whose __module__ is "kelvora"), functions, __all__ and empty
# docstring.  Beside it sit pure-Python glue to other libraries (kelvora.plot,
# imported on first use; results_table, the columns dataframes take; the
# progress bar of fit_many), the type stubs and the version.
import types as _types

from . import kelvora as _core
from ._version import version as __version__

globals().update({name: value for name, value in vars(_core).items() if not name.startswith("__")})
__all__ = _core.__all__
__doc__ = _core.__doc__

# Functions report the package as their module, as the classes do, so that
# they pickle and print as kelvora.<name>.
for _function in vars(_core).values():
    if isinstance(_function, _types.BuiltinFunctionType):
        _function.__module__ = __name__
del kelvora, _version, _function, _types  # kelvora.kelvora stays importable by its full name


def __getattr__(name):
    # kelvora.plot imports matplotlib, so it loads on first use only.
    if name == "plot":
        import importlib

        return importlib.import_module(".plot", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


from ._table import results_table  # noqa: E402

results_table.__module__ = __name__
