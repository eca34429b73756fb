"""Checks an installed brooklet wheel from the outside, as a user's program would see it.

Run by scripts/build-wheels.sh with the interpreter of a new, otherwise empty environment into
which only the wheel was installed, in isolated mode (-I), so that nothing from the checkout or
its build trees can be imported instead. It checks that the module and its type stubs come from
that environment's site-packages with this interpreter's extension suffix, that the metadata
carries the version and the license, and routes the textbook flood of data/ with one and four
sub-reaches (the single-pass kernel and the multi-pass sweep) to the values below, bit for bit.
"""

import csv
import datetime
import importlib.metadata
import sys
import sysconfig
from pathlib import Path

DATA = Path(__file__).resolve().parent.parent / "data" / "textbook-flood-8.4.1.csv"

# Routed with K = 2.3 h, X = 0.15, dt = 1 h and an initial outflow of 85 cfs; each value is the
# shortest repr of its double, so it reads back to the same bits. Independently checked against
# the test suite's exactly rounded reference arithmetic.
EXPECTED = {
    1: [85.0, 91.03665987780042, 114.24168640415462, 159.503728602055, 232.58163955844805,
        324.4506254816871, 419.9982322101241, 508.5692170532508, 578.404566522395,
        623.2581035804826, 641.7456377635854, 634.6129950900272, 602.7665612448022,
        546.0449477031312, 478.63152705012465, 412.50463212135696, 341.1117066136759,
        273.9582619645207, 215.30723876104994, 170.46111299280147],
    4: [85.0, 86.94201329325591, 99.19731032584663, 134.23348253571663, 199.09655091674244,
        292.08571624732565, 401.36554499376336, 507.21017024690764, 593.4374554758281,
        651.0889758767552, 676.2902708933344, 670.5994495509834, 637.888472455309,
        580.8262576072847, 504.69155801724474, 422.36906473610975, 345.49054694603313,
        274.24971480977774, 208.64745926600168, 156.03563504417724],
}


def fail(message: str) -> None:
    sys.exit(f"wheel smoke check FAILED ({sys.executable}): {message}")


def main() -> None:
    import brooklet
    from brooklet import reach

    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    module = Path(brooklet.__file__).resolve()
    if module.parent != site:
        fail(f"brooklet was imported from {module}, not from {site}")
    if not module.name.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
        fail(f"{module.name} does not carry this interpreter's suffix {sysconfig.get_config_var('EXT_SUFFIX')}")
    if not (site / "brooklet-stubs" / "__init__.pyi").is_file():
        fail("the type stubs brooklet-stubs/__init__.pyi are not installed")
    distribution = importlib.metadata.distribution("brooklet")
    if not any(Path(str(f)).name == "LICENSE" for f in distribution.files or ()):
        fail("the license is not in the wheel's metadata")

    with DATA.open(newline="") as f:
        inflow = [float(row["inflow_cfs"]) for row in csv.DictReader(f)]
    hour = datetime.timedelta(hours=1)
    for sub_reaches, expected in EXPECTED.items():
        routed = reach.muskingum_routing(inflow, datetime.timedelta(hours=2.3), 0.15, hour,
                                         sub_reaches, 85.0)
        if [v.hex() for v in routed] != [v.hex() for v in expected]:
            wrong = [i for i, (a, b) in enumerate(zip(routed, expected)) if a.hex() != b.hex()]
            fail(f"textbook flood with {sub_reaches} sub-reaches differs at hours "
                 f"{[i + 1 for i in wrong]} (or in length: {len(routed)} values)")
    build = "free-threaded " if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(f"wheel smoke check: brooklet {distribution.version} ({module.name}) on {build}CPython "
          f"{sys.version.split()[0]}, {sysconfig.get_platform()}: the textbook flood with 1 and 4 "
          "sub-reaches routes to the expected values, bit for bit")


if __name__ == "__main__":
    main()
