"""Print requirements declared in pyproject.toml, one a line (a pip requirements file).

    requirements.py build        the [build-system] requirements
    requirements.py NAME ...     the project's dependencies plus the named extras
"""
import pathlib
import re
import sys

TEXT = pathlib.Path(__file__).resolve().parent.parent.joinpath("pyproject.toml").read_text()


def section(name):
    return TEXT.split("[" + name + "]", 1)[1].split("\n[", 1)[0]


def strings(body):
    return re.findall(r'"([^"]+)"', body)


def array(body, key):
    # The array ends with the line: a requirement's extras have brackets too.
    match = re.search(r"^" + re.escape(key) + r"\s*=\s*\[(.*?)\]\s*$", body, re.S | re.M)
    return strings(match.group(1)) if match else []


wanted = []
for name in sys.argv[1:]:
    if name == "build":
        wanted += array(section("build-system"), "requires")
    else:
        if not wanted or "numpy" not in " ".join(wanted):
            wanted += array(section("project"), "dependencies")
        wanted += array(section("project.optional-dependencies"), name)
print("\n".join(dict.fromkeys(wanted)))
