"""``python -m Morvane``: see Morvane.cli."""

from Morvane.cli import main

if __name__ == "__main__":
    raise SystemExit(main(exiting=True))
