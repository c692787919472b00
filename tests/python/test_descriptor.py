import pytest

import zembrik_core as zc

FIELDS = ["kind", "content_hash", "framework", "version", "io_schema"]


def test_attributes(descriptor_fields):
    d = zc.PayloadDescriptor(**descriptor_fields, preprocessing_ref="prep")
    for field in FIELDS:
        assert getattr(d, field) == descriptor_fields[field]
    assert d.preprocessing_ref == "prep"
    assert zc.PayloadDescriptor(**descriptor_fields).preprocessing_ref is None
    assert zc.PayloadDescriptor(**descriptor_fields, preprocessing_ref=None).preprocessing_ref is None
    with pytest.raises(AttributeError):
        d.kind = "other"


def test_arguments_are_keyword_only_and_typed(descriptor_fields):
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        zc.PayloadDescriptor(*descriptor_fields.values())
    with pytest.raises(TypeError, match="missing 4 required keyword-only arguments"):
        zc.PayloadDescriptor(kind="k")
    with pytest.raises(TypeError) as info:
        zc.PayloadDescriptor(**{**descriptor_fields, "version": 2})
    assert info.value.__notes__ == ["while processing 'version'"]
    with pytest.raises(TypeError) as info:
        zc.PayloadDescriptor(**descriptor_fields, preprocessing_ref=3)
    assert info.value.__notes__ == ["while processing 'preprocessing_ref'"]


def test_object_and_dict_give_the_same_node(store, descriptor_fields):
    by_object = store.add_external(zc.PayloadDescriptor(**descriptor_fields), [])
    by_dict = store.add_external(dict(descriptor_fields), [])
    by_none_ref = store.add_external({**descriptor_fields, "preprocessing_ref": None}, [])
    assert by_object == by_dict == by_none_ref == 0
    assert store.nodes()[0]["descriptor"] == {**descriptor_fields, "preprocessing_ref": None}
    assert list(store.nodes()[0]["descriptor"]) == FIELDS + ["preprocessing_ref"]


def test_every_field_is_identity(store, descriptor_fields):
    ids = {store.add_external(descriptor_fields, [])}
    ids.add(store.add_external({**descriptor_fields, "preprocessing_ref": ""}, []))
    for field in FIELDS:
        ids.add(store.add_external({**descriptor_fields, field: "changed"}, []))
    assert ids == set(range(len(FIELDS) + 2))


@pytest.mark.parametrize(
    "descriptor, error, message",
    [
        ({}, ValueError, "^descriptor missing required field 'kind'$"),
        ({"kind": "k"}, ValueError, "^descriptor missing required field 'content_hash'$"),
        ({"kind": None, "content_hash": "h"}, TypeError, "^expected str, got NoneType$"),
        ({"preprocessing_ref": 5}, TypeError, "^expected str, got int$"),  # before the required
        ([("kind", "k")], TypeError, "^descriptor must be a PayloadDescriptor or dict$"),
        ("model", TypeError, "^descriptor must be a PayloadDescriptor or dict$"),
    ],
)
def test_bad_descriptors(store, descriptor, error, message):
    with pytest.raises(error, match=message):
        store.add_external(descriptor, [])
    assert store.node_count() == 0


def test_dict_subclass_getitem_is_not_consulted(store, descriptor_fields):
    class Sneaky(dict):
        def __getitem__(self, key):
            return "sneaky"

    store.add_external(Sneaky(descriptor_fields), [])
    assert store.nodes()[0]["descriptor"]["kind"] == "model"


def test_inputs_are_converted_before_the_descriptor(store):
    with pytest.raises(TypeError) as info:
        store.add_external("not a descriptor", "not ids")
    assert info.value.__notes__ == ["while processing 'inputs'"]
