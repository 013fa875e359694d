import sys

from Zarn.cli import main

sys.exit(main())
