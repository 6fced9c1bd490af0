"""``pkgindex info``: the client's record of a project, with what the
answering index's project page adds: the project's status (PEP 792), the
latest release's first upload time and requires-python, and a summary from
that release's core metadata when neither the page nor the API gives one.

A quarantined project's page lists no files, so the client finds nothing;
the pages of the configured indexes are then asked, in the client's order,
and the first that has the project and declares it not active answers.
"""

from __future__ import annotations

import datetime as dt
from typing import Any

from .._native import mask_given_url
from . import output
from .asof import NOT_YET, Timeline, not_yet, page_of, page_problem
from .questions import Answer, Query

#: The keys --json adds to the client's record, in their order.
ADDED_KEYS = ("status", "status_reason", "upload_time", "requires_python")


def _found(info: Any) -> bool:
    return isinstance(info, dict) and "error" not in info


async def ask_info(client: Any, q: Query) -> Answer:
    from .asof import ask_versions

    info, index = await client.answer(client.get_package_info(q.name))
    if not _found(info):
        return await _not_active(client, q, info)
    # The latest version is the one `versions` lists first (as of --as-of).
    listed = await ask_versions(client, q)
    latest = listed.result[0] if listed.found else None
    where = listed.index or index
    record = dict(info, latest_version=latest, **dict.fromkeys(ADDED_KEYS))
    if where is not None:
        page = await page_of(client, q, where)
        problem = page_problem(page)
        if problem is None:
            await _from_page(client, q, record, page, latest)
        else:
            q.remarks.append(f"{q.name}: {problem} at {mask_given_url(where)}; its status, upload time "
                             "and requires-python are not known")
    if q.as_of is not None and not listed.found and not listed.extra:
        # Nothing uploaded by then, or the page that says so could not be read.
        return Answer(record, False, empty=NOT_YET, index=where)
    return Answer(record, True, index=index, extra=listed.extra)


async def _from_page(client: Any, q: Query, record: dict[str, Any], page: Any, latest: str | None) -> None:
    record["status"], record["status_reason"] = page.status, page.status_reason
    files = Timeline(page).files_of(latest) if latest is not None else []
    times = [f.upload_time for f in files if f.upload_time is not None]
    record["upload_time"] = min(times).isoformat() if times else None
    record["requires_python"] = next((f.requires_python for f in files if f.requires_python),
                                     record.get("requires_python"))
    if not record.get("summary") and files:
        summary = await summary_of(client, q, files)
        if summary:
            record["summary"] = summary


async def _not_active(client: Any, q: Query, info: Any) -> Answer:
    """The client found nothing: a project an index declares not active
    (quarantined, say) answers with its status; else nothing is found."""
    indexes = q.watch.indexes
    urls = list(dict.fromkeys(([indexes.primary] if indexes.primary else []) + list(indexes.urls)))
    # Only the indexes the layer's routes let hear of this name (a pin), in their order.
    routes = client.network.routes
    for url in routes.plan(q.name, urls):
        # An index that could not be read is not asked again; with fail-closed, nor any after it.
        if q.watch.failure_of(url) is not None:
            if routes.fail_closed:
                break
            continue
        page = await page_of(client, q, url)
        if page_problem(page) is None and not page.active:
            record = {"name": page.name, "latest_version": None, "summary": None,
                      **dict.fromkeys(ADDED_KEYS)}
            record["status"], record["status_reason"] = page.status, page.status_reason
            return Answer(record, True, index=url)
    return Answer(info, False)


async def summary_of(client: Any, q: Query, files: list[Any]) -> str | None:
    """The Summary of a release's core metadata: its metadata file where the
    page announces one (hash checked), else a wheel read by ranges."""
    try:
        from ..indexdata.wheel_metadata import UnreadableMetadata, read_wheel_metadata
    except ImportError:
        return None
    ordered = sorted(files, key=lambda f: (not f.core_metadata, not f.filename.endswith(".whl")))
    for file in ordered:
        if not file.core_metadata and not file.filename.endswith(".whl"):
            continue
        announced = file.core_metadata
        try:
            text = await read_wheel_metadata(
                client.network.session(), file.url, hashes=dict(file.hashes) or None,
                metadata_url=file.url + ".metadata" if announced else None,
                metadata_hashes=dict(announced) if isinstance(announced, dict) else None, whole=True)
        except UnreadableMetadata as exc:
            q.remarks.append(f"{q.name}: the core metadata of {file.filename} could not be read: {exc}")
            continue
        return _summary(text)
    return None


def _summary(metadata: bytes) -> str | None:
    from email.parser import BytesHeaderParser
    from email.policy import compat32

    value = BytesHeaderParser(policy=compat32).parsebytes(metadata).get("Summary")
    if value is None:
        return None
    return " ".join(str(value).split()) or None


def _shown_time(text: str) -> str:
    return dt.datetime.fromisoformat(text).astimezone(dt.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")


def show_info(q: Query, a: Answer) -> list[str]:
    if a.empty == NOT_YET:
        return not_yet(q, a)
    if not a.found:
        return output.show_info(q, a)
    record = a.result
    rows = output.info_rows(q, a)
    added: list[list[str]] = []
    if record.get("status") not in (None, "active"):
        reason = record.get("status_reason")
        added.append(["status", record["status"] + (f": {reason}" if reason else "")])
    if record.get("upload_time"):
        added.append(["uploaded", _shown_time(record["upload_time"])])
    if record.get("requires_python"):
        added.append(["requires_python", record["requires_python"]])
    # After the summary, before the index.
    return output.table(["FIELD", "VALUE"], rows[:3] + added + rows[3:])
