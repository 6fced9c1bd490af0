"""The moment ``--as-of`` names: a date, an RFC 3339 time, or an ISO 8601
duration back from now. Read once here, for every command that takes it.

- ``2024-06-01``: through the end of that day in UTC ("at or before" a date
  takes in the whole day), that is 2024-06-01T23:59:59.999999Z.
- ``2024-06-01T12:00:00Z``, ``2024-06-01 14:00:00+02:00``: that moment, read
  as the page parser reads upload times; the offset is required.
- ``P14D``, ``PT6H``, ``P1Y2M``, ``P2W``, ``PT1.5S``: that long before now.
  Years and months are calendar ones, counted on the UTC date (a month back
  from March 31 is the last day of February); weeks are 7 days, days 24 hours.
"""

from __future__ import annotations

import datetime as dt
import re

from .._native import parse_time

__all__ = ["parse_when", "shown_when"]

_DATE = re.compile(r"(\d{4})-(\d{2})-(\d{2})")
# Nine digits at most: any more is no moment a datetime can hold.
_N = r"(\d{1,9})"
_DURATION = re.compile(
    rf"P(?:{_N}Y)?(?:{_N}M)?(?:{_N}W)?(?:{_N}D)?(?:T(?:{_N}H)?(?:{_N}M)?(?:(\d{{1,9}}(?:[.,]\d{{1,6}})?)S)?)?",
    re.IGNORECASE,
)


def parse_when(text: str, now: dt.datetime) -> dt.datetime:
    """The aware moment ``text`` names, durations counted back from ``now``
    (aware); raises ValueError for anything else."""
    try:
        moment = _date(text) or parse_time(text) or _duration(text, now)
    except (OverflowError, ValueError):
        moment = None
    if moment is None:
        raise ValueError(f"{text!r} is not a date (2024-06-01), an RFC 3339 time (2024-06-01T12:00:00Z) "
                         "or an ISO 8601 duration (P14D)")
    return moment


def shown_when(moment: dt.datetime) -> str:
    """A moment as the command line shows it: UTC, to the second."""
    return moment.astimezone(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _date(text: str) -> dt.datetime | None:
    match = _DATE.fullmatch(text)
    if match is None:
        return None
    day = dt.date(int(match[1]), int(match[2]), int(match[3]))
    return dt.datetime.combine(day, dt.time.max, tzinfo=dt.timezone.utc)


def _duration(text: str, now: dt.datetime) -> dt.datetime | None:
    match = _DURATION.fullmatch(text)
    # "P" and "PT" alone name no length.
    if match is None or not any(match.groups()) or text.upper().endswith("T"):
        return None
    years, months, weeks, days, hours, minutes = (int(g or 0) for g in match.groups()[:6])
    seconds = float((match[7] or "0").replace(",", "."))
    start = _months_back(now.astimezone(dt.timezone.utc), years * 12 + months)
    return start - dt.timedelta(weeks=weeks, days=days, hours=hours, minutes=minutes, seconds=seconds)


def _months_back(moment: dt.datetime, months: int) -> dt.datetime:
    """The same time of day ``months`` calendar months earlier, the day kept
    within the shorter month."""
    if months == 0:
        return moment
    index = moment.year * 12 + (moment.month - 1) - months
    year, month = divmod(index, 12)
    month += 1
    following = dt.date(year + (month == 12), month % 12 + 1, 1)
    last_day = (following - dt.timedelta(days=1)).day
    return moment.replace(year=year, month=month, day=min(moment.day, last_day))
