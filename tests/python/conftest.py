import pytest

import zembrik_core as zc

DESCRIPTOR_FIELDS = dict(
    kind="model", content_hash="h", framework="torch", version="2", io_schema="f32[4]"
)


@pytest.fixture
def store():
    return zc.GraphStore()


@pytest.fixture
def descriptor_fields():
    return dict(DESCRIPTOR_FIELDS)
