"""python -m velk: the velk command."""

from velk.cli import main

raise SystemExit(main())
