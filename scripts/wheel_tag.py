"""Fails unless a repaired wheel's manylinux tag admits glibc 2.28 or older
(the oldest system the wheel is meant for, on every architecture).
    python scripts/wheel_tag.py WHEEL [WHO]"""
import re
import sys

name = sys.argv[1].replace("\\", "/").rsplit("/", 1)[-1]
who = sys.argv[2] if len(sys.argv) > 2 else "wheel_tag"
glibcs = [(int(a), int(b)) for a, b in re.findall(r"manylinux_(\d+)_(\d+)_", name)]
if not glibcs or min(glibcs) > (2, 28):
    sys.exit(f"{who}: {name} is not installable with glibc 2.28 (manylinux_2_28)")
print(f"{who}: repaired wheel {name}", file=sys.stderr)
