"""vornel.get_ipopt_options: the catalogue of the solver's registered options."""

import pytest

import compiled
import vornel
from problems import make_hs071

KEYS = ["name", "type", "description_short", "description_long", "category"]


@pytest.fixture(scope="module")
def catalogue():
    return vornel.get_ipopt_options()


@pytest.fixture(scope="module")
def by_name(catalogue):
    return {option["name"]: option for option in catalogue}


@pytest.fixture(scope="module")
def registered(tmp_path_factory):
    """What the linked Ipopt reports of its own registry; the names, types and
    categories differ between Ipopt releases."""
    options = compiled.registered_options(tmp_path_factory.mktemp("registry"))
    if options is None:
        pytest.skip("no pkg-config file describes the linked Ipopt to build the reader against")
    return options


def test_is_a_non_empty_list_of_dicts(catalogue):
    assert type(catalogue) is list
    assert len(catalogue) > 100
    assert all(type(option) is dict for option in catalogue)


def test_every_dict_has_the_five_keys_in_order(catalogue):
    assert all(list(option) == KEYS for option in catalogue)


def test_sorted_by_name_in_byte_order_without_duplicates(catalogue):
    names = [option["name"].encode() for option in catalogue]
    assert names == sorted(set(names))


def test_texts_are_str_and_names_are_not_empty(catalogue):
    for option in catalogue:
        for key in ("name", "description_short", "description_long", "category"):
            assert type(option[key]) is str, (option["name"], key)
        assert option["name"]


def test_every_option_is_listed_as_the_linked_ipopt_registers_it(by_name, registered):
    assert sorted(by_name) == sorted(registered)
    for name, option in by_name.items():
        assert {key: option[key] for key in registered[name]} == registered[name], name


def test_categories_are_named_except_for_uncategorised_options(by_name, registered):
    # Ipopt 3.11 registers its banner switch "sb" outside every category, and
    # such an option lists the empty string; 3.14 files it under a category.
    assert by_name["sb"]["category"] == registered["sb"]["category"]
    uncategorised = {name for name, option in by_name.items() if not option["category"]}
    assert len(uncategorised) <= 3


def test_type_is_one_of_float_int_str_none(catalogue):
    assert {option["type"] for option in catalogue} <= {float, int, str, None}
    # A catalogue of this size has options of all three value types.
    assert {float, int, str} <= {option["type"] for option in catalogue}


@pytest.mark.parametrize(
    "name, value_type",
    [
        ("tol", float),
        ("max_iter", int),
        ("print_level", int),
        ("linear_solver", str),
        ("hessian_approximation", str),
        ("nlp_scaling_method", str),
        ("mu_strategy", str),
        ("bound_push", float),
    ],
)
def test_known_options_are_described(by_name, registered, name, value_type):
    # The category of an option moves between Ipopt releases (tol and
    # max_iter are "Convergence" in 3.11, "Termination" in 3.14).
    option = by_name[name]
    assert option["type"] is value_type
    assert option["category"] == registered[name]["category"] != ""
    assert option["description_short"]


def test_options_with_no_long_description_give_the_empty_string(catalogue):
    # Several registered options carry only a short description.
    assert any(option["description_long"] == "" for option in catalogue)


def test_the_listed_type_is_the_type_set_accepts(catalogue):
    # A value of the listed Python type passes the setter's type test: what
    # the solver then says about the value is its own matter.
    problem = make_hs071()
    samples = {float: 1.0, int: 1, str: "x"}
    for option in catalogue:
        if option["type"] is None:
            continue
        try:
            problem.set(**{option["name"]: samples[option["type"]]})
        except ValueError as error:
            assert str(error).startswith(f"Failed to set the Ipopt option '{option['name']}': ")


def test_nothing_is_printed(capfd):
    # The catalogue's application of its own must not print, neither while
    # it is made nor when it is released.
    vornel.get_ipopt_options()
    assert capfd.readouterr() == ("", "")


def test_refuses_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        vornel.get_ipopt_options(1)
    with pytest.raises(TypeError):
        vornel.get_ipopt_options(name="tol")


def test_two_calls_are_equal_but_share_nothing(catalogue):
    again = vornel.get_ipopt_options()
    assert again == catalogue
    assert again is not catalogue
    assert all(a is not b for a, b in zip(again, catalogue, strict=True))
    again[0]["name"] = "changed"
    again.clear()
    assert vornel.get_ipopt_options() == catalogue
