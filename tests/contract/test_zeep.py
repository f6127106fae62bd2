# SPDX-FileCopyrightText: 2026 the KXRWebServer authors
# SPDX-License-Identifier: BSD-2-Clause
"""ReadWrite from zeep, built from the WSDL that nginx serves; run by tests/contract/run (KXR_URL: nginx)."""
import json, os, pathlib, struct, subprocess
import pytest, requests, zeep
from lxml import etree
from zeep.exceptions import Fault

URL = os.environ.get("KXR_URL", "")
pytestmark = pytest.mark.skipif(not URL, reason="needs the stack: tests/contract/run")
HERE = pathlib.Path(__file__).resolve().parent
NS = "urn:KxrWebService"
ENV = "{http://schemas.xmlsoap.org/soap/envelope/}"
PARAMETERS = ["netId", "nPort", "indexGroup", "indexOffset", "cbRdLen", "pwrData"]
READ, WRITE = 61568, 61569
EXAMPLE_OUTPUT = "0x1018:1 code 0 78563412\n0x1008:0 code 0 4b58522d53494d00\n"


class Recorder(zeep.Transport):  # keeps each call's headers and bytes as they go on the wire

    def __init__(self):
        session = requests.Session()
        session.auth, session.verify = ("operator", os.environ.get("KXR_OPERATOR_PASSWORD")), os.environ.get("KXR_CACERT")
        super().__init__(session=session)
        self.sent = []

    def post(self, address, message, headers):
        self.sent.append((dict(headers), message))
        return super().post(address, message, headers)


@pytest.fixture(scope="module")
def toolkit():
    transport = Recorder()
    client = zeep.Client(URL + "KxrWebService.wsdl", transport=transport)
    client.set_ns_prefix("u", NS)
    service = client.create_service("{urn:KxrWebService}KxrWebServiceSoap",
                                    URL + "KxrWebService/KxrWebService.dll")
    return service, transport


def check_sent(content_type, message):
    # text/xml, well-formed with namespaces (lxml refuses an undeclared prefix), <u:ReadWrite with u bound to the
    # service's namespace, and every parameter present (netId empty).
    assert content_type.split(";")[0] == "text/xml"
    call = etree.fromstring(message).find(ENV + "Body")[0]
    assert (call.tag, call.prefix) == (f"{{{NS}}}ReadWrite", "u")
    assert [(p.tag, bool(p.text)) for p in call] == [(name, name != "netId") for name in PARAMETERS]


def call(toolkit, group, count, rdlen, buffer):
    service, transport = toolkit
    transport.sent.clear()
    try:
        return service.ReadWrite(netId="", nPort=0, indexGroup=group,
                                 indexOffset=count, cbRdLen=rdlen, pwrData=buffer)
    finally:
        ((headers, message),) = transport.sent
        check_sent(headers["Content-Type"], message)


def header(index, sub, size):
    return struct.pack("<IBBHI", 0, sub, 0, index, size)


def records(result, count):
    return [struct.unpack_from("<iI", result, 8 * i) for i in range(count)], result[8 * count:]


# A sum-up read of several entries: the integrator guide's example, below.
def test_write_then_read_back(toolkit):
    assert call(toolkit, WRITE, 1, 4, header(0x2000, 1, 2) + b"\x2a\x5a") == bytes(4)
    assert records(call(toolkit, READ, 1, 10, header(0x2000, 1, 2)), 1) == ([(0, 2)], b"\x2a\x5a")


def test_fault(toolkit):
    with pytest.raises(Fault) as raised:  # no room for the result record
        call(toolkit, READ, 1, 4, header(0x1018, 1, 4))
    assert (raised.value.code, raised.value.message) == ("-1606614783", "Readbuffer too small")


def test_node_soap_on_the_wire():  # what node soap sent in soap.test.mjs (run before), under the same checks
    sent = [json.loads(line) for line in open(os.environ["KXR_WIRE"])]
    assert len(sent) == 3
    for content_type, message in sent:
        check_sent(content_type, message.encode())


def test_guide_example():
    example = (HERE / "example_zeep.py").read_text()
    guide = (HERE / "../../docs/integrator.md").read_text()
    assert example.split("\n", 3)[3] in guide, "docs/integrator.md does not show example_zeep.py as it is"
    run = subprocess.run(["/usr/bin/python3", HERE / "example_zeep.py", URL, os.environ["KXR_CACERT"]], capture_output=True,
                         text=True, timeout=30, env={**os.environ, "KXR_PASSWORD": os.environ["KXR_OPERATOR_PASSWORD"]})
    assert (run.returncode, run.stderr, run.stdout) == (0, "", EXAMPLE_OUTPUT)
    assert EXAMPLE_OUTPUT in guide
