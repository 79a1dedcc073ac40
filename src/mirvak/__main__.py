"""``python -m mirvak``: the plugin registry's command line (see mirvak.cli)."""
import sys

from mirvak.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m mirvak"))
