"""``python -m corvane study ...``"""

from .cli import main

raise SystemExit(main())
