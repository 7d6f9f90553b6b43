import sys

from ostrel.cli import main

sys.exit(main())
