"""The system trust store, configured once per layer: the certificates it
accepts and refuses are truststore's own, whichever CA files the environment
points OpenSSL at (a real TLS server on 127.0.0.1 for each case)."""

from __future__ import annotations

import asyncio
import ssl
import sys

import pytest

from network_support import tls_server_context
from quorvel_master.network.setup import NetworkOptions, ssl_context

trustme = pytest.importorskip("trustme")
truststore = pytest.importorskip("truststore")
pytestmark = pytest.mark.skipif(sys.platform in ("win32", "darwin"),
                                reason="there truststore's own context is kept: the platform verifies")


async def handshake(context: ssl.SSLContext, server: ssl.SSLContext, hostname: str) -> str:
    """'accepted', or the reason the client refused the server's certificate."""
    async def serve(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        writer.close()

    listening = await asyncio.start_server(serve, "127.0.0.1", 0, ssl=server)
    port = listening.sockets[0].getsockname()[1]
    try:
        _, writer = await asyncio.open_connection("127.0.0.1", port, ssl=context, server_hostname=hostname)
        writer.close()
        return "accepted"
    except ssl.SSLCertVerificationError as exc:
        return exc.verify_message
    finally:
        listening.close()
        await listening.wait_closed()


def environments(tmp_path, ca, other):
    """SSL_CERT_FILE and SSL_CERT_DIR by case: the server's CA, another one,
    or nothing usable (truststore then looks in the system's usual places)."""
    ours, theirs, empty = tmp_path / "ca.pem", tmp_path / "other.pem", tmp_path / "empty"
    ca.cert_pem.write_to_path(str(ours))
    other.cert_pem.write_to_path(str(theirs))
    empty.mkdir()
    return {
        "the server's CA": {"SSL_CERT_FILE": str(ours), "SSL_CERT_DIR": str(empty)},
        "another CA": {"SSL_CERT_FILE": str(theirs), "SSL_CERT_DIR": str(empty)},
        "no file, an empty folder": {"SSL_CERT_FILE": str(tmp_path / "none.pem"), "SSL_CERT_DIR": str(empty)},
    }


CASES = [
    # (environment, the name asked for, expected)
    ("the server's CA", "localhost", "accepted"),
    ("the server's CA", "elsewhere.invalid", "Hostname mismatch, certificate is not valid for 'elsewhere.invalid'."),
    ("another CA", "localhost", "unable to get local issuer certificate"),
    ("no file, an empty folder", "localhost", "unable to get local issuer certificate"),
]


@pytest.mark.parametrize("environment, hostname, expected", CASES)
def test_the_system_store_trusts_what_truststore_trusts(tmp_path, monkeypatch, environment, hostname, expected):
    ca, other = trustme.CA(), trustme.CA()
    for name, value in environments(tmp_path, ca, other)[environment].items():
        monkeypatch.setenv(name, value)
    server = tls_server_context(ca)
    ours = ssl_context(NetworkOptions())
    assert ours.cert_store_stats()["x509_ca"] == 0  # nothing read before a connection needs it

    async def both() -> tuple[str, str]:
        return (await handshake(ours, server, hostname),
                await handshake(truststore.SSLContext(ssl.PROTOCOL_TLS_CLIENT), server, hostname))

    assert asyncio.run(both()) == (expected, expected)
    assert ours.cert_store_stats()["x509_ca"] > 0
