"""`python -m trelm_cst`: the same command line as `trelm-cst`."""

import sys

from trelm_cst.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m trelm_cst"))
