"""Run by tools/test-sanitizers.sh under the same runtimes and options as the Python suite:
64 threads each keep a block in a dynamic thread-local variable and are alive at exit, and one
block of 3001 bytes is lost. The leak check at exit must report exactly that block."""

import ctypes
import sys

lib = ctypes.CDLL(sys.argv[1])
if lib.start_keepers(64) != 0:
    sys.exit("canary: could not start the threads")
lib.keep()
lib.lose()
