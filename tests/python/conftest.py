import os
import sys

from hypothesis import HealthCheck, settings

# models.py and support.py sit next to the tests.
sys.path.insert(0, os.path.dirname(__file__))

settings.register_profile(
    "termsweep",
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
# The sanitizer run (scripts/sanitize.sh) pays several times more per example.
settings.register_profile("sanitizers", settings.get_profile("termsweep"), max_examples=20)
settings.load_profile(os.environ.get("TERMSWEEP_HYPOTHESIS_PROFILE", "termsweep"))

