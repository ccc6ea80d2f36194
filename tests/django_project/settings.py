"""Settings of the small Django project that tests/test_django.py drives."""

import json
import os

SECRET_KEY = "vask-tests-only"
DEBUG = False
ALLOWED_HOSTS = ["testserver"]
ROOT_URLCONF = "urls"
INSTALLED_APPS: list[str] = []
DATABASES: dict[str, dict[str, str]] = {}
USE_TZ = True

MIDDLEWARE = [
    "vask.middleware.VaskMiddleware",
    "django.middleware.common.CommonMiddleware",
]

# Set by the tests through the environment of the process they start.
VASK_DB_PATH = os.environ.get("VASK_TEST_DB")
VASK_ENABLED = os.environ.get("VASK_TEST_ENABLED", "1") == "1"
VASK_CONFIG = json.loads(os.environ.get("VASK_TEST_CONFIG", "null"))
VASK_ENGINE = os.environ.get("VASK_TEST_ENGINE")
