import os

from hypothesis import HealthCheck, settings

# ci: the same examples every run, nothing kept between runs.
settings.register_profile("ci", max_examples=30, deadline=None, derandomize=True, database=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("dev", max_examples=300, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# quick: a few examples each, for runs of the suite over many builds (mutants).
settings.register_profile("quick", parent=settings.get_profile("ci"), max_examples=8)
# DROV_PY_HYPOTHESIS_PROFILE, which CTest passes on, names another than CTest's own.
settings.load_profile(os.environ.get("DROV_PY_HYPOTHESIS_PROFILE") or os.environ.get("HYPOTHESIS_PROFILE", "dev"))
