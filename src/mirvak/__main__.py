"""``python -m mirvak``: the plugin registry's command line (see mirvak.cli)."""
import sys

if __name__ == "__main__":
    try:  # Ctrl-C while the command line is still being imported: one line, as later
        from mirvak.cli import main
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\n")
        sys.exit(130)
    sys.exit(main(prog="python -m mirvak"))
