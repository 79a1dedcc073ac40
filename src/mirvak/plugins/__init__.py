"""Built-in connection plugins.

Every sub-package below this one is a plugin: importing it registers its
connection classes with the library's default plugin manager.
"""

# Operating systems that the built-in plugins know about.  Others are
# accepted too; the registry only notes them in a debug record.
supported_os = ["linux", "freebsd", "openbsd", "netbsd", "illumos"]

# Hardware layouts a connection class can be built for.
supported_chassis = ["single_rp", "dual_rp", "stack"]
