"""Shared pieces of the reliability checks: fault-injecting HS071 callbacks
in every form, and the failure paths that the soak test repeats."""
