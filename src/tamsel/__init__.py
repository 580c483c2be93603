"""tamsel: machine identification utilities."""

# Declared for type checkers only: the name is not bound here, so that the
# module __getattr__ below answers it.
__version__: str


def __getattr__(name: str) -> str:
    # tamsel.__version__ comes from the installed distribution's metadata. It
    # is looked up on first use, so that importing the package (and with it
    # the compiled module) does not import importlib.metadata.
    if name == "__version__":
        from importlib.metadata import version

        return version("tamsel")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
