"""Example external plugin for mirvak: a connection class for linux on
platform p9, registered with the default manager when the entry point
loads :mod:`mirvak_demo_plugin.connection`."""
