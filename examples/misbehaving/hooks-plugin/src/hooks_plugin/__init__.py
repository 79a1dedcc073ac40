"""A plugin whose entry point names a function, which discovery never calls."""
