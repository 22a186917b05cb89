# Example budgets for the property tests: small by default so that every run
# can afford them; NODALIS_HYPOTHESIS_PROFILE=long searches much further.
import os

from hypothesis import HealthCheck, settings

settings.register_profile("ci", max_examples=25, stateful_step_count=25, deadline=None,
                          database=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=1500, stateful_step_count=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("NODALIS_HYPOTHESIS_PROFILE", "ci"))
