"""The velmora_core demo: every example fit in this folder, one after another.

Each ``demo_<shape>.py`` beside this file fits synthetic data with a known truth, prints a
table of true against fitted parameters and writes its plot as ``demo_<shape>.png``.
"""
import pathlib
import runpy
import sys

HERE = pathlib.Path(__file__).resolve().parent
ORDER = ["gaussian", "lorentzian", "doniach_sunjic", "pseudo_voigt", "voigt", "tsdc"]


def main():
    found = {p.stem[len("demo_"):]: p for p in HERE.glob("demo_*.py")}
    names = [n for n in ORDER if n in found] + sorted(set(found) - set(ORDER))
    for i, name in enumerate(names):
        title = f" {name.replace('_', ' ')} "
        print(("\n" if i else "") + f"{title:=^78}")
        sys.argv = [str(found[name])]
        runpy.run_path(str(found[name]), run_name="__main__")


if __name__ == "__main__":
    main()
