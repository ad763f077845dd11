"""``python -m corvane study ...``"""

from .cli import script

script()
