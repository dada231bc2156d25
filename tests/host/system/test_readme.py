# tests/host/system/test_readme.py — the README's marked examples, run as printed against the
# daemon `make run` starts (on a free port instead of 1161): each command must succeed, and print
# what the README shows after it, numbers aside (counters and times move).
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
MARK, MAKE_RUN = "<!-- example -->", "127.0.0.1:1161"


def examples():
    """The indented block after each marker (and a blank line), blank lines inside included."""
    lines = (ROOT / "README.md").read_text().split("\n") + [""]
    for at in (i for i, line in enumerate(lines) if line.strip() == MARK):
        end = at + 2
        while lines[end].startswith("    ") or not lines[end] and lines[end + 1].startswith("    "):
            end += 1
        yield pytest.param([line[4:] for line in lines[at + 2:end]], id=f"README.md:{at + 3}")


def commands(block):
    """[command, expected lines] of the block: where it has prompts ("$ "), the lines after a
    command are its output; without, every line is a command (continued by a backslash)."""
    prompted, steps, continued = any(line.startswith("$ ") for line in block), [], False
    for line in block:
        if continued:
            steps[-1][0] += "\n" + line
        elif not prompted or line.startswith("$ "):
            steps.append([line.removeprefix("$ "), []])
        else:
            steps[-1][1].append(line)
            continue
        continued = line.endswith("\\")
    return steps


def pattern(expected):
    """The lines, with any number for a number, any blanks for blanks and "..." for any lines."""
    def token(word):
        return r"\d+".join(re.escape(part) for part in re.split(r"\d+", word))
    return "".join(r"(?:.*\n)*" if line.strip() == "..." else
                   r"[ \t]*" + r"[ \t]+".join(map(token, line.split())) + r"[ \t]*\n"
                   for line in expected)


@pytest.mark.parametrize("block", examples())
def test_readme_example_runs_as_printed(agent, block):
    daemon = agent().start()
    for command, expected in commands(block):
        run = subprocess.run(["bash", "-c", command.replace(MAKE_RUN, f"127.0.0.1:{daemon.port}")],
                             cwd=ROOT, env=daemon.env, capture_output=True, text=True, timeout=90)
        assert run.returncode == 0 and not run.stderr, (command, run.stderr)
        output = run.stdout if run.stdout.endswith("\n") else run.stdout + "\n"
        assert re.fullmatch(pattern(expected), output) if expected else output.strip(), \
            (command, output)
