# tests/host/system/test_readme.py — the README's marked examples, run as printed against the
# daemon `make run` starts (on a free port instead of 1161): each command must succeed, and print
# what the README shows after it, numbers aside (counters and times move).
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
LINES = (ROOT / "README.md").read_text().split("\n") + [""]


def block(at):
    """The indented block after the marker at `at` and a blank line, blank lines inside kept."""
    end = at + 2
    while LINES[end].startswith("    ") or not LINES[end] and LINES[end + 1].startswith("    "):
        end += 1
    return [line[4:] for line in LINES[at + 2:end]]


def commands(lines):
    """[command, output lines]: with prompts ("$ "), the lines after a command are its output;
    without, each line is a command. A trailing backslash continues a command."""
    prompted, steps, continued = any(line.startswith("$ ") for line in lines), [], False
    for line in lines:
        if continued:
            steps[-1][0] += "\n" + line
        elif not prompted or line.startswith("$ "):
            steps.append([line.removeprefix("$ "), []])
        else:
            steps[-1][1].append(line)
            continue
        continued = line.endswith("\\")
    return steps


def pattern(lines):
    """Any number for a number, any blanks for blanks, and any lines for "..."."""
    word = lambda w: r"\d+".join(map(re.escape, re.split(r"\d+", w)))  # noqa: E731
    return "".join(r"(?:.*\n)*" if line.strip() == "..." else
                   r"[ \t]*" + r"[ \t]+".join(map(word, line.split())) + r"[ \t]*\n" for line in lines)


@pytest.mark.parametrize("at", [i for i, line in enumerate(LINES) if line == "<!-- example -->"],
                         ids=lambda at: f"README.md:{at + 3}")
def test_readme_example_runs_as_printed(agent, at):
    daemon = agent().start()
    for command, expected in commands(block(at)):
        run = subprocess.run(["bash", "-c", command.replace("127.0.0.1:1161", daemon.address[4:])],
                             cwd=ROOT, env=daemon.env, capture_output=True, text=True, timeout=90)
        output = run.stdout.rstrip("\n") + "\n"
        assert run.returncode == 0 and not run.stderr, (command, run.stderr)
        assert re.fullmatch(pattern(expected), output) if expected else output.strip(), output
