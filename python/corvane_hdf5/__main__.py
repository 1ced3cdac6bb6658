"""``python -m corvane_hdf5 --plugin-path``: the folder for ``HDF5_PLUGIN_PATH``."""

from __future__ import annotations

import argparse
import sys


def main(argv: "list[str] | None" = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m corvane_hdf5",
        description="The corvane HDF5 filter: where it is installed and its id.",
    )
    parser.add_argument("--plugin-path", action="store_true",
                        help="print the folder to put in HDF5_PLUGIN_PATH for h5dump, h5repack and other programs")
    parser.add_argument("--filter-id", action="store_true", help="print the filter's id (provisional)")
    args = parser.parse_args(argv)
    if not (args.plugin_path or args.filter_id):
        parser.print_help()
        return 2
    from corvane_hdf5 import FILTER_ID, PLUGIN_PATH

    if args.plugin_path:
        print(PLUGIN_PATH)
    if args.filter_id:
        print(FILTER_ID)
    return 0


if __name__ == "__main__":
    sys.exit(main())
