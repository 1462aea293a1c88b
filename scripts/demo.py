"""Runs the command-line host against the built-in simulators and shows what each call returned."""
import sys

print("demo: nothing to show yet")
