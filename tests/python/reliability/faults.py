"""HS071's Python callbacks wrapped so that any of them can be made to fail
from a chosen call on, the Python counterpart of hs071_faults.c."""

import math

import problems

ROUTINES = ("eval_f", "eval_grad_f", "eval_g", "eval_jac_g", "eval_h", "intermediate_callback")


class Injected(Exception):
    """What an armed callback raises; no code under test raises it."""


class PyFaults:
    """Per routine, the calls so far and an action that replaces the normal
    one from a given call on. An action takes the call's arguments and
    returns what the callback returns."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.calls = dict.fromkeys(ROUTINES, 0)
        self.armed = {}

    def reset_counts(self):
        """Starts counting calls anew, keeping what is armed."""
        self.calls = dict.fromkeys(ROUTINES, 0)

    def arm(self, routine, from_call, action):
        self.armed[routine] = (from_call, action)

    def _action(self, routine):
        self.calls[routine] += 1
        armed = self.armed.get(routine)
        if armed is not None and self.calls[routine] >= armed[0]:
            return armed[1]
        return None

    def callbacks(self):
        def wrap(routine, normal):
            def callback(*args):
                action = self._action(routine)
                return normal(*args) if action is None else action(*args)

            callback.__name__ = routine
            return callback

        normals = {r: getattr(problems, r) for r in ROUTINES[:5]}
        normals["intermediate_callback"] = lambda *args: True
        return {r: wrap(r, normals[r]) for r in ROUTINES}


def raise_injected(*args):
    raise Injected("injected fault")


def returns(value):
    def action(*args):
        return value

    return action


def write_nothing(*args):
    return None


def fill(value):
    """Writes `value` into the callback's output: the returned objective for
    eval_f, the `out` array (the last argument) for the others."""

    def action(*args):
        if len(args) == 1:
            return value
        args[-1][:] = value
        return None

    return action


NAN = fill(math.nan)
INF = fill(math.inf)
