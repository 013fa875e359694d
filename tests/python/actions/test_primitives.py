import pytest
from Zarn._zarnprimitives import ZarnId, ZarnState


def test_state_members_are_symbolic_with_explicit_values():
    assert [(s.name, s.value) for s in ZarnState] == [
        ("NotExecuted", 1),
        ("Executing", 2),
        ("Finished", 3),
        ("Error", 4),
    ]
    assert ZarnState.Finished != 3
    assert ZarnState(3) is ZarnState.Finished
    assert ZarnState["Error"] is ZarnState.Error


@pytest.mark.parametrize("identifier", ["block_a", None, 7])
def test_new_identifier_keeps_the_given_object_and_starts_empty(identifier):
    ident = ZarnId(identifier)
    assert ident.id is identifier
    assert ident.dependency == []
    assert ZarnId(identifier).dependency is not ident.dependency


def test_identifiers_compare_by_identity_never_with_text():
    first, second = ZarnId("x"), ZarnId("x")
    assert first != second
    assert first != "x"
    assert [first, second].index(second) == 1
    assert len({first, second}) == 2


@pytest.mark.parametrize(
    "given, added, left_in_caller",
    [
        ([], [], []),
        ([";"], [], []),
        (["a", ";", "b", ";"], ["a", "b", ";"], ["a", "b", ";"]),
        (["a", "b"], ["a", "b"], ["a", "b"]),
    ],
)
def test_list_form_drops_the_first_separator_in_the_callers_list(
    given, added, left_in_caller
):
    ident = ZarnId("x")
    ident.add_dependencies(given)
    assert ident.dependency == added
    assert given == left_in_caller


@pytest.mark.parametrize("item", [";", ("a", ";"), None, ZarnId("y"), 5])
def test_anything_but_a_list_is_one_item(item):
    ident = ZarnId("x")
    ident.add_dependencies(item)
    assert len(ident.dependency) == 1 and ident.dependency[0] is item


def test_items_are_appended_in_order_without_deduplication():
    ident, other = ZarnId("x"), ZarnId("y")
    ident.add_dependencies(other)
    ident.add_dependencies(other)
    ident.add_dependencies([1, 2])
    assert ident.dependency == [other, other, 1, 2]


def test_adding_its_own_list_doubles_it():
    ident = ZarnId("x")
    ident.add_dependencies(["a", "b"])
    ident.add_dependencies(ident.dependency)
    assert ident.dependency == ["a", "b", "a", "b"]


def test_dependency_must_stay_a_list():
    ident = ZarnId("x")
    with pytest.raises(TypeError):
        ident.dependency = ("a",)
    ident.dependency = ["kept"]
    ident.add_dependencies("b")
    assert ident.dependency == ["kept", "b"]
