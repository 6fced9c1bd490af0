"""CPU per TLS connection: the network layer's context for the system trust
store against truststore's own, on fresh connections to one HTTPS server.

    python bench/tls_setup.py [--connections N] [--rounds N] [--write FILE]

The server runs in another process on 127.0.0.1 with a certificate from a
throw-away CA; OpenSSL is pointed (SSL_CERT_FILE) at the system's CA bundle
with that CA added, so each context loads as many certificates as it would
for a real index. Each round opens N connections one after another with a
new aiohttp session per context (no reuse), contexts alternating round by
round: the client's CPU time (process_time) per connection, medians.

Baseline: truststore.SSLContext, which loads the CA files for every connection.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import aiohttp

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import record  # noqa: E402

SERVER = """
import asyncio, ssl, sys
async def serve(reader, writer):
    await reader.readuntil(b"\\r\\n\\r\\n")
    writer.write(b"HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\nConnection: close\\r\\n\\r\\nok")
    await writer.drain()
    writer.close()
async def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1])
    server = await asyncio.start_server(serve, "127.0.0.1", 0, ssl=context)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()
asyncio.run(main())
"""


async def per_connection(context: ssl.SSLContext, url: str, connections: int) -> float:
    """Milliseconds of this process's CPU per new connection and request."""
    started = time.process_time()
    for _ in range(connections):
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(ssl=context, force_close=True)) as session:
            async with session.get(url) as response:
                await response.read()
    return (time.process_time() - started) / connections * 1000


def contexts() -> dict[str, ssl.SSLContext]:
    import truststore

    from quorvel_master.network.setup import NetworkOptions, ssl_context

    return {"truststore": truststore.SSLContext(ssl.PROTOCOL_TLS_CLIENT), "ours": ssl_context(NetworkOptions())}


async def measure(url: str, connections: int, rounds: int) -> dict[str, list[float]]:
    made = contexts()
    figures: dict[str, list[float]] = {name: [] for name in made}
    for turn in range(rounds):
        order = list(made) if turn % 2 == 0 else list(reversed(made))
        for name in order:
            figures[name].append(await per_connection(made[name], url, connections))
    return figures


def system_bundle() -> bytes:
    paths = ssl.get_default_verify_paths()
    for candidate in (paths.openssl_cafile, paths.cafile, "/etc/ssl/certs/ca-certificates.crt"):
        if candidate and os.path.isfile(candidate):
            return Path(candidate).read_bytes()
    return b""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--connections", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=5)
    record.add_option(parser)
    args = parser.parse_args()
    import trustme

    with tempfile.TemporaryDirectory() as home, record.recording(args.write):
        ca = trustme.CA()
        served, trusted = Path(home) / "server.pem", Path(home) / "trusted.pem"
        ca.issue_cert("localhost").private_key_and_cert_chain_pem.write_to_path(str(served))
        bundle = system_bundle()
        trusted.write_bytes(bundle + b"\n" + ca.cert_pem.bytes())
        os.environ["SSL_CERT_FILE"] = str(trusted)
        server = subprocess.Popen([sys.executable, "-c", SERVER, str(served)], stdout=subprocess.PIPE, text=True)
        try:
            port = int(server.stdout.readline())  # type: ignore[union-attr]
            figures = asyncio.run(measure(f"https://localhost:{port}/", args.connections, args.rounds))
        finally:
            server.terminate()
            server.wait()
        print(f"{args.connections} new connections per round, {args.rounds} rounds, CA file of "
              f"{bundle.count(b'BEGIN CERTIFICATE') + 1} certificates")
        medians = {name: statistics.median(values) for name, values in figures.items()}
        for name, value in medians.items():
            print(f"  {name:<10} {value:6.2f} ms CPU per connection (rounds: "
                  f"{', '.join(f'{v:.2f}' for v in figures[name])})")
        print(f"  ours / truststore: {medians['ours'] / medians['truststore']:.2f} of the CPU")


if __name__ == "__main__":
    main()
