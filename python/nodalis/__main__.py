"""``python -m nodalis``: the same as the ``nodalis`` command."""
from nodalis.cli import main

raise SystemExit(main())
