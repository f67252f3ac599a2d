import sys

from vexatvm_internal.cli import main

sys.exit(main())
