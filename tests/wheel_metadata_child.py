"""Child process of the event-loop driver's bound tests: reads the core
metadata of one wheel with read_wheel_metadata on a fresh event loop, and
prints as JSON the records of its Requires-Dist values (as the client's
parser makes them), the failure's text, and the peak growth of the resident
size during the read over the size before it (as finder_limits_child.py).

    python wheel_metadata_child.py WHEEL_URL [--metadata URL] [--sha256 HEX] [--timeout SECONDS]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import json

import aiohttp

from finder_limits_child import pic, status_kib
from quorvel_master.indexdata.wheel_metadata import UnreadableMetadata, read_wheel_metadata


async def measured(args: argparse.Namespace) -> dict:
    hashes = {"sha256": args.sha256} if args.sha256 else None
    async with aiohttp.ClientSession() as session:
        # Everything the read needs once is loaded by a read that fails at once.
        try:
            await read_wheel_metadata(session, "http://127.0.0.1:1/files/x/x-1.0-py3-none-any.whl")
        except UnreadableMetadata:
            pass
        gc.collect()
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status_kib("VmRSS")
        try:
            answer, error = await read_wheel_metadata(session, args.url, hashes=hashes, metadata_url=args.metadata,
                                                      timeout=args.timeout), None
        except UnreadableMetadata as exc:
            answer, error = [], str(exc)
        growth = status_kib("VmHWM") - before
    client = pic.PackageIndexClient(None)
    records = [record for record in map(client._parse_requirement, answer) if record]
    return {"answer": records, "error": error, "growth_kib": growth}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("url")
    parser.add_argument("--metadata")
    parser.add_argument("--sha256")
    parser.add_argument("--timeout", type=float)
    print(json.dumps(asyncio.run(measured(parser.parse_args()))))


if __name__ == "__main__":
    main()
