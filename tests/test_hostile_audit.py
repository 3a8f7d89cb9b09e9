"""A bounded audit of the command on hostile files: real scripts cut short,
with bytes flipped, control and bidirectional characters put into names and
literals, nesting and lines made huge, delimiters and quotes left open. Each
run must end with the usual exit status (0, or 1 for a file or statement
that failed), one clear line per problem on standard error, no traceback,
nothing raw for a terminal in the table format and on standard error, and
JSON Lines that read back.

LINEAGE_AUDIT_SEED fixes the seed (a new one is drawn on every run and shown
on failure); LINEAGE_AUDIT_COUNT sets how many files are tried."""

import json
import os
import random
from pathlib import Path

from column_lineage import cli

SEED = int(os.environ.get("LINEAGE_AUDIT_SEED") or random.SystemRandom().randrange(2**32))
COUNT = int(os.environ.get("LINEAGE_AUDIT_COUNT") or 150)
SCRIPTS = sorted((Path(__file__).parent / "scripts").glob("*.sql"))
HOSTILE_CHARS = "\x00\x07\x08\x1b\r\x7f\x85\u2028\u2029\u202e\u2066\ufeff"
ESCAPES = ("\x1b]0;owned\x07", "\x1b[2J", "\x1b[31m", "\r\x1b[K")


def cut(text, rng):
    return text[:rng.randrange(len(text) + 1)]


def flip(text, rng):
    data = bytearray(text.encode("utf-8"))
    for _ in range(rng.randrange(1, 6)):
        if data:
            data[rng.randrange(len(data))] = rng.randrange(256)
    return bytes(data)


def sprinkle(text, rng):
    """Hostile characters put inside backticked names and quoted literals."""
    pieces = []
    for piece in text.split("`"):
        if pieces and rng.random() < 0.5:
            piece = rng.choice(HOSTILE_CHARS + "".join(ESCAPES)) + piece
        pieces.append(piece)
    text = "`".join(pieces)
    return text.replace("'", "'" + rng.choice(ESCAPES), rng.randrange(1, 4))


def nest(text, rng):
    depth = rng.choice((50, 400, 3000))
    return "SELECT " + "(" * depth + "1" + ")" * depth + " AS x;\n" + text


def widen(text, rng):
    return text.replace("\n", " ") + " " + ", ".join(f"c{n}" for n in range(rng.randrange(2000)))


def unbalance(text, rng):
    opener = rng.choice(("'", '"', "`", "/*", "DELIMITER $$\n", "(", "BEGIN "))
    at = rng.randrange(len(text) + 1)
    return text[:at] + opener + text[at:]


MUTATIONS = (cut, flip, sprinkle, nest, widen, unbalance)


def hostile_file(rng, folder, number):
    text = SCRIPTS[rng.randrange(len(SCRIPTS))].read_text()
    for mutation in rng.sample(MUTATIONS, rng.randrange(1, 3)):
        text = mutation(text.decode("utf-8", "replace") if isinstance(text, bytes) else text,
                        rng)
    path = folder / f"h{number:04d}.sql"
    path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8", "surrogatepass"))
    return path


def raw_controls(text):
    return sorted({char for char in text if not char.isprintable() and char != "\n"})


def test_the_command_holds_on_hostile_files(tmp_path, capsys):
    rng = random.Random(SEED)
    tried = 0
    for number in range(COUNT):
        path = hostile_file(rng, tmp_path, number)
        where = f"seed {SEED}, file {number} ({path.read_bytes()[:200]!r}…)"
        for format_name in ("table", "json"):
            code = cli.main(["--format", format_name, "--jobs", "1", str(path)])
            out, err = capsys.readouterr()
            assert code in (0, 1), where
            assert "Traceback" not in err, where
            lines = err.splitlines()
            assert lines and all(line.startswith("lineage: ") for line in lines), where
            assert raw_controls(err) == [], where
            if format_name == "table":
                assert raw_controls(out) == [], where
            else:
                for line in out.split("\n")[:-1]:
                    json.loads(line)
            tried += 1
    with capsys.disabled():
        print(f"\nhostile audit: {tried} runs over {COUNT} hostile files (seed {SEED})")
