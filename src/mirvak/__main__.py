"""``python -m mirvak``: the plugin registry's command line (see mirvak.cli)."""
import sys


def entry() -> int:
    """The command line, also as the ``mirvak`` console script: Ctrl-C while it is still
    being imported ends as it does later, with one line and status 130."""
    try:
        from mirvak.cli import main
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        return 130
    return main(prog="python -m mirvak" if __name__ == "__main__" else "mirvak")


if __name__ == "__main__":
    sys.exit(entry())
