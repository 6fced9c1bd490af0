"""``Setup.warm``: the TLS context made and its CA files loaded ahead of the
first connection (the command line does it on a thread while it imports);
a file that cannot be used is left to the first use, which says why."""

from __future__ import annotations

import ssl

import pytest

from quorvel_master.network.setup import NetworkOptions, Setup

trustme = pytest.importorskip("trustme")


@pytest.mark.parametrize("case, error", [
    ("a CA file", None),
    ("no such file", OSError),
    ("not a certificate", ssl.SSLError),
    ("the system store", None),
])
def test_warm_loads_now_or_leaves_the_error_to_the_first_use(tmp_path, monkeypatch, case, error):
    ca_file = tmp_path / "ca.pem"
    trustme.CA().cert_pem.write_to_path(str(ca_file))
    (tmp_path / "bad.pem").write_text("not a certificate\n")
    cert = {"a CA file": ca_file, "no such file": tmp_path / "none.pem", "not a certificate": tmp_path / "bad.pem"}
    if case == "the system store":
        pytest.importorskip("truststore")
        monkeypatch.setenv("SSL_CERT_FILE", str(ca_file))
        monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path / "empty"))
    setup = Setup(NetworkOptions(cert=cert.get(case), truststore=case == "the system store"))
    setup.warm()
    if error is not None:
        with pytest.raises(error):
            setup.ssl  # noqa: B018
        return
    # Loaded by warm itself: no connection has been made.
    assert setup.ssl.cert_store_stats()["x509_ca"] == 1
