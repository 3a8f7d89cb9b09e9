"""A run of the command with `--store`: the files whose content and settings
the store already holds are taken from it, the others analysed and stored;
the stored files under a directory given that are gone are forgotten."""

from __future__ import annotations

import hashlib
import json
import os
import stat
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING

from . import __version__
from .rows import FileLineage
from .store import Store, content_digest

if TYPE_CHECKING:
    from sqlglot.schema import MappingSchema

    from .server import InputName

    # Analyses files, in order: their lineages, in that order.
    Analyse = Callable[[list[InputName]], Iterable[FileLineage]]


def settings_digest(dialect: str, schema: MappingSchema | None, database: str | None = None,
                    indirect: bool = False) -> str:
    """What else an analysis depends on than the file: the tool's version,
    the dialect, the schema and the default database given, and whether
    indirect lineage was asked for."""
    mapping = getattr(schema, "mapping", None)
    text = json.dumps([__version__, dialect, mapping, database, indirect], sort_keys=True,
                      default=str)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def store_key(path: InputName) -> str:
    """How the store names a file: its path as given, normalised, or a
    server's object by its name."""
    if not isinstance(path, str):
        return path.name
    return path if "://" in path else os.path.normpath(path)  # a server's prefix as it is


def file_digest(path: InputName) -> str | None:
    """The digest of a file's content (a server's object: of its text); None
    when it cannot be read (the analysis says why)."""
    if not isinstance(path, str):
        return None if path.sql is None else content_digest(path.sql.encode("utf-8"))
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None  # a pipe can be read once only: by the analysis, never stored
    except OSError:
        return None
    try:
        with open(path, "rb") as source:
            return content_digest(source.read())
    except OSError:
        return None  # the analysis reports it


def through_store(store: Store, files: list[InputName], directories: list[str], settings: str,
                  analyse: Analyse, stdin: str, indirect: bool = False
                  ) -> Iterator[FileLineage]:
    """Every file's lineage in order: stored where its digest and the
    settings match, else analysed (with `analyse`, over the files to do, in
    order, started before this returns) and stored."""
    keys = [store_key(path) for path in files if path != stdin]
    for directory in directories:
        gone = set(store.paths_under(store_key(directory))) - set(keys)
        store.forget(sorted(gone))
    digests = {path: file_digest(path) for path in files if path != stdin}
    known = store.digests()
    fresh = [path for path in files
             if path == stdin or digests[path] is None
             or known.get(store_key(path)) != (digests[path], settings)]
    stored = store.by_path() if len(fresh) < len(files) else {}
    store.order(keys)
    return merged(store, files, set(fresh), iter(analyse(fresh)), stored, digests, settings, stdin,
                  indirect)


def merged(store: Store, files: list[InputName], fresh: set[InputName],
           analysed: Iterator[FileLineage], stored: dict[str, FileLineage],
           digests: dict[InputName, str | None], settings: str, stdin: str, indirect: bool
           ) -> Iterator[FileLineage]:
    """The files' lineages in order: `stored` (by store key) but for the
    `fresh` ones, taken from `analysed` in turn and stored (or, when one
    cannot be analysed any more, forgotten)."""
    for path in files:
        if path not in fresh:
            yield stored[store_key(path)]
            continue
        lineage = next(analysed)
        digest = digests.get(path)
        if path != stdin and digest is not None and lineage.error is None:
            store.put(lineage, store_key(path), digest, settings, indirect)
        elif path != stdin:
            # Unreadable now: what was stored of it is no longer what it holds.
            store.forget([store_key(path)])
        yield lineage
