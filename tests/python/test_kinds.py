"""Every callback accepts each of its kinds, in any combination with the
others, and every Python callable form works."""

import itertools

import numpy as np
import pytest

import problems

REQUIRED = ("f", "grad_f", "g", "jac_g")
OPTIONAL = ("h", "intermediate_callback")
PY_CALLBACKS = {
    "f": problems.eval_f,
    "grad_f": problems.eval_grad_f,
    "g": problems.eval_g,
    "jac_g": problems.eval_jac_g,
    "h": problems.eval_h,
    "intermediate_callback": lambda *args: True,
}


def _combinations():
    for index, choice in enumerate(
        itertools.product(
            ("py", "c"),
            ("py", "c"),
            ("py", "c"),
            ("py", "c"),
            ("none", "py", "c"),
            ("none", "py", "c"),
        )
    ):
        combo = dict(zip(REQUIRED + OPTIONAL, choice, strict=True))
        # Compiled callbacks alternate between the two compiled forms, with
        # the starting form changing from one combination to the next, so each
        # callback meets both forms next to every kind of the others.
        compiled_forms = itertools.cycle(("capsule", "llc") if index % 2 else ("llc", "capsule"))
        forms = {
            name: next(compiled_forms) if kind == "c" else kind for name, kind in combo.items()
        }
        yield pytest.param(forms, id="-".join(f"{name}={form}" for name, form in forms.items()))


class Counted:
    """A Python callback that records how often it ran."""

    def __init__(self, function):
        self.function = function
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1
        return self.function(*args)


@pytest.mark.parametrize("forms", list(_combinations()))
def test_every_combination_of_kinds_solves_hs071(forms, c_callbacks):
    python = {}
    kwargs = {}
    for name, form in forms.items():
        keyword = "eval_" + name if name != "intermediate_callback" else name
        if form == "py":
            python[name] = kwargs[keyword] = Counted(PY_CALLBACKS[name])
        elif form != "none":
            kwargs[keyword] = c_callbacks.form(name, form)
    if forms["h"] == "none":
        kwargs["eval_h"] = None
    problem = problems.make_hs071(**kwargs, ipopt_options=problems.QUIET)

    x, obj, status = problem.solve(problems.x0())

    assert status == 0
    # The limited-memory approximation stops at a slightly different point.
    tolerance = 1e-6 if forms["h"] != "none" else 1e-5
    np.testing.assert_allclose(x, problems.X_OPT, rtol=tolerance)
    assert obj == pytest.approx(problems.F_OPT, rel=tolerance)
    for name, form in forms.items():
        if form == "py":
            assert python[name].calls > 0, name
        elif form != "none":
            assert c_callbacks.calls(name) > 0, name
    if forms["h"] == "none":
        assert problem.stats["n_eval_h"] == 0


class Hs071Object:
    """HS071 as methods, to pass bound methods."""

    def __init__(self):
        self.f_calls = 0

    def objective(self, x):
        self.f_calls += 1
        return problems.eval_f(x)


class GradientAsClass:
    """A class used as eval_grad_f: calling it builds an instance, which the
    solver ignores; the work happens in __init__."""

    instances = 0

    def __init__(self, x, out):
        type(self).instances += 1
        problems.eval_grad_f(x, out)


class CallableConstraints:
    def __init__(self):
        self.calls = 0

    def __call__(self, x, out):
        self.calls += 1
        problems.eval_g(x, out)


def test_python_callable_forms_all_work():
    owner = Hs071Object()
    constraints = CallableConstraints()
    GradientAsClass.instances = 0
    problem = problems.make_hs071(
        eval_f=owner.objective,
        eval_grad_f=GradientAsClass,
        eval_g=constraints,
        eval_jac_g=lambda x, out: problems.eval_jac_g(x, out),
        ipopt_options=problems.QUIET,
    )

    # The instance a class returns is a value returned, and ignored.
    with pytest.warns(RuntimeWarning, match=r"^eval_grad_f returned a value \(GradientAsClass\)"):
        x, obj, status = problem.solve(problems.x0())

    assert status == 0
    np.testing.assert_allclose(x, problems.X_OPT, rtol=1e-6)
    assert obj == pytest.approx(problems.F_OPT)
    assert owner.f_calls == problem.stats["n_eval_f"]
    # The solver's own counter leaves out the gradient it takes to scale the
    # problem.
    assert GradientAsClass.instances >= problem.stats["n_eval_grad_f"] > 0
    assert constraints.calls > 0


def test_intermediate_callback_may_be_a_class_whose_instances_are_integers():
    # The per-iteration result is read as an integer, so an instance with
    # __index__ is a valid answer.
    class GoOn:
        made = 0

        def __init__(self, *args):
            type(self).made += 1

        def __index__(self):
            return 1

    problem = problems.make_hs071(intermediate_callback=GoOn, ipopt_options=problems.QUIET)
    _, _, status = problem.solve(problems.x0())
    assert status == 0
    assert GoOn.made == problem.stats["n_iter"] + 1
