"""The tests' throwaway PKI and time-stamp authority, made anew for each run
and never committed: certificates issued here with any dates and
extensions (asn1crypto writes them, openssl signs), legacy Authenticode
stamps and RFC 3161 tokens, and an HTTP authority on 127.0.0.1 that answers
osslsigncode with the same stamps.

    pki.py make DIR     the PKI in DIR, with test.pfx (password in DIR/password)
                        and a SoftHSM2 token holding the vendor's key (token/)
    pki.py serve DIR    the authority, until killed: POST /rfc3161, /legacy;
                        its port in DIR/port; it ends itself after 15 minutes
"""
import base64
import datetime
import hashlib
import http.server
import os
import signal
import subprocess
import sys
import tempfile

from asn1crypto import algos, cms, keys, parser, pem, x509

NOW = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
HOUR = datetime.timedelta(hours=1)
CA = [("basic_constraints", {"ca": True}, True), ("key_usage", {"key_cert_sign"}, True)]
# name: subject, issuer, extensions (name, value, critical), validity; the
# vendor's own and those that test a key, a chain or a purpose.
PLAN = {
    "ca": ("Test root", None, CA),
    "vendor": ("Vendor", "ca", [("extended_key_usage", ["code_signing"], False)]),
    "fake-ca": ("Test root", None, CA),  # another key under the root's name
    "impostor": ("Vendor", "fake-ca", [("extended_key_usage", ["code_signing"], False)]),
    "stranger": ("Stranger", None, [("extended_key_usage", ["code_signing"], False)]),
    "web": ("Web", "ca", [("extended_key_usage", ["server_auth"], False)]),
    "intermediate": ("Intermediate", "ca", CA),
    "employee": ("Vendor's unit", "intermediate", [("extended_key_usage", ["code_signing"], False)]),
    "web-intermediate": ("Web intermediate", "ca", CA + [("extended_key_usage", ["server_auth"], False)]),
    "web-employee": ("Vendor's web unit", "web-intermediate", [("extended_key_usage", ["code_signing"], False)]),
    "expired": ("Vendor", "ca", [("extended_key_usage", ["code_signing"], False)], -3 * HOUR, -HOUR),
    "expired-lifetime": ("Vendor", "ca", [("extended_key_usage", ["code_signing", "1.3.6.1.4.1.311.10.3.13"], False)],
                         -3 * HOUR, -HOUR),
    "own-root": ("Own root", None, CA),
    "copy": ("Test root", "own-root", CA),  # the root's name and key, by a root of anyone's making
    "tsa-root": ("TSA root", None, CA),
    "tsa": ("TSA", "tsa-root", [("extended_key_usage", ["time_stamping"], True)]),
    "tsa-without-usage": ("TSA", "tsa-root", []),
    "self-made-tsa": ("TSA", None, [("extended_key_usage", ["time_stamping"], True)]),
    # ec-: a P-256 key, whose certificates' signatures have the higher s of their twins
    "ec-ca": ("EC CA", "ca", CA),
    "ec-vendor": ("EC vendor", "ec-ca", [("extended_key_usage", ["code_signing"], False)]),
    "ec-tsa-ca": ("EC TSA CA", "tsa-root", CA),
    "ec-tsa": ("EC TSA", "ec-tsa-ca", [("extended_key_usage", ["time_stamping"], True)]),
}
P256 = int("FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551", 16)  # the curve's order


class Pki:
    def __init__(self, folder):
        self.folder = folder

    def path(self, name):
        return os.path.join(self.folder, name)

    def openssl(self, *args, data=None):
        return subprocess.run(["openssl", *args], check=True, capture_output=True, input=data, cwd=self.folder).stdout

    def certificate(self, name):
        with open(self.path(f"{name}.pem"), "rb") as f:
            return x509.Certificate.load(pem.unarmor(f.read())[2])

    def sign(self, name, data, digest="sha256"):
        return self.openssl("dgst", f"-{digest}", "-sign", self.path(f"{name}.key"), data=data)

    def pem(self, names):
        """The certificates of NAMES, in one PEM bundle."""
        return b"".join(pem.armor("CERTIFICATE", self.certificate(name).dump()) for name in names)

    def chain(self, name):
        """NAME and its issuers' names, up to but not including a root."""
        issuer = PLAN[name][1]
        return [name] + (self.chain(issuer) if issuer and PLAN[issuer][1] else [])

    def make(self):
        for name, (subject, issuer, extensions, *validity) in PLAN.items():
            # One serial for one subject under one issuer's name: an impostor's
            # certificate answers to the vendor's signer identifier.
            serial = int.from_bytes(hashlib.sha256(f"{subject}/{issuer and PLAN[issuer][0]}".encode()).digest()[:8], "big")
            key = name if name != "copy" else "ca"
            if not os.path.exists(self.path(f"{key}.key")):
                self.openssl("genpkey", *(["-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"] if key.startswith("ec-")
                                          else ["-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"]), "-out", f"{key}.key")
            public = keys.PublicKeyInfo.load(self.openssl("pkey", "-in", f"{key}.key", "-pubout", "-outform", "DER"))
            start, end = validity or (-6 * HOUR, 48 * HOUR)
            # ECDSA with any digest has twins: the EC vendor's is SHA-224.
            digest = "sha224" if name == "ec-vendor" else "sha256"
            algorithm = {"algorithm": f"{digest}_ecdsa" if (issuer or name).startswith("ec-") else "sha256_rsa"}
            tbs = x509.TbsCertificate({
                "version": "v3", "serial_number": serial, "signature": algorithm,
                "issuer": x509.Name.build({"common_name": PLAN[issuer][0] if issuer else subject}),
                "validity": {"not_before": x509.Time({"utc_time": NOW + start}), "not_after": x509.Time({"utc_time": NOW + end})},
                "subject": x509.Name.build({"common_name": subject}), "subject_public_key_info": public,
                "extensions": [{"extn_id": e, "critical": c, "extn_value": v} for e, v, c in extensions]})
            value = self.sign(issuer or name, tbs.dump(), digest)
            while algorithm["algorithm"].endswith("_ecdsa") and algos.DSASignature.load(value)["s"].native < P256 // 2:
                value = self.sign(issuer or name, tbs.dump(), digest)
            with open(self.path(f"{name}.pem"), "wb") as f:
                f.write(pem.armor("CERTIFICATE", x509.Certificate(
                    {"tbs_certificate": tbs, "signature_algorithm": algorithm, "signature_value": value}).dump()))
        with open(self.path("serial"), "w") as f:
            f.write("01\n")

    def legacy(self, tsa, signed, when=None):
        """A legacy Authenticode stamp: the authority's counter-signature over
        the signature value SIGNED, dated WHEN (now by default)."""
        attributes = cms.CMSAttributes([
            {"type": "content_type", "values": ["data"]},
            {"type": "signing_time", "values": [cms.Time({"utc_time": when or datetime.datetime.now(datetime.timezone.utc)})]},
            {"type": "message_digest", "values": [hashlib.sha1(signed).digest()]}])
        authority = self.certificate(tsa)
        return cms.SignerInfo({
            "version": "v1", "digest_algorithm": {"algorithm": "sha1"}, "signed_attrs": attributes,
            "sid": {"issuer_and_serial_number": {"issuer": authority.issuer, "serial_number": authority.serial_number}},
            "signature_algorithm": {"algorithm": "sha1_ecdsa" if tsa.startswith("ec-") else "rsassa_pkcs1v15"},
            "signature": self.sign(tsa, b"\x31" + attributes.dump()[1:], "sha1")})

    def rfc3161(self, tsa, query, token=True):
        """openssl ts's reply to an RFC 3161 query, or its token alone."""
        with open(self.path(f"{tsa}-chain.pem"), "wb") as f:
            f.write(self.pem(self.chain(tsa)))
        with open(self.path(f"{tsa}.cnf"), "w") as f:
            f.write(f"[tsa]\ndefault_tsa = t\n[t]\nserial = {self.path('serial')}\nsigner_cert = {self.path(tsa)}.pem\n"
                    f"certs = {self.path(tsa)}-chain.pem\nsigner_key = {self.path(tsa)}.key\nsigner_digest = sha256\n"
                    "default_policy = 2.999.1\ndigests = sha1, sha256, sha384, sha512\naccuracy = secs:1\n"
                    "ess_cert_id_alg = sha256\n")
        with tempfile.NamedTemporaryFile(dir=self.folder) as f:
            f.write(query)
            f.flush()
            return self.openssl("ts", "-reply", "-config", f"{tsa}.cnf", "-queryfile", f.name, *(["-token_out"] if token else []))

    def query(self, signed):
        return self.openssl("ts", "-query", "-sha256", "-cert", data=signed)

    def token(self, tsa, signed):
        return cms.ContentInfo.load(self.rfc3161(tsa, self.query(signed)))

    def swapped_stamp(self, blob, index):
        """BLOB, a dual signature, with signature INDEX's stamp swapped for one
        of the other kind, minted now by the same authority, whose
        certificate goes where a legacy stamp's goes."""
        signature = cms.ContentInfo.load(blob)
        target = signature if index == 0 else [v for a in signature["content"]["signer_infos"][0]["unsigned_attrs"]
                                                if a["type"].native == "microsoft_nested_signature" for v in a["values"]][0]
        info, tsa = target["content"]["signer_infos"][0], self.certificate("tsa")
        legacy = any(a["type"].native == "counter_signature" for a in info["unsigned_attrs"])
        info["unsigned_attrs"] = cms.CMSAttributes(
            [a for a in info["unsigned_attrs"] if a["type"].native not in ("counter_signature", "microsoft_time_stamp_token")]
            + [{"type": "microsoft_time_stamp_token", "values": [self.token("tsa", info["signature"].native)]} if legacy else
               {"type": "counter_signature", "values": [self.legacy("tsa", info["signature"].native)]}])
        target["content"]["certificates"] = [c for c in target["content"]["certificates"] if c.chosen.dump() != tsa.dump()] + \
            ([] if legacy else [cms.CertificateChoices({"certificate": tsa})])
        return signature.dump()

    def legacy_reply(self, request):
        """The legacy protocol's answer: signed data whose signer info is the
        counter-signature over the signature value the request carries."""
        contents, last = parser.parse(request, strict=True)[4], b""
        while contents:  # the ContentInfo that ends the request's SEQUENCE
            last, contents = contents[:parser.peek(contents)], contents[parser.peek(contents):]
        signed = cms.ContentInfo.load(last)["content"].native
        return cms.ContentInfo({"content_type": "signed_data", "content": {
            "version": "v1", "digest_algorithms": [{"algorithm": "sha1"}],
            "encap_content_info": {"content_type": "data", "content": signed},
            "certificates": [self.certificate("tsa")], "signer_infos": [self.legacy("tsa", signed)]}}).dump()

    def keys_for_signing(self):
        """test.pfx and its password; a SoftHSM2 token (label kz, object
        vendor) with the vendor's key, its PIN in token/pin."""
        password = f"pw-{os.urandom(12).hex()}"
        with open(self.path("password"), "w") as f:
            f.write(password + "\n")
        with open(self.path("wrong-password"), "w") as f:
            f.write("not-the-password\n")
        self.openssl("pkcs12", "-export", "-inkey", "vendor.key", "-in", "vendor.pem", "-passout", "file:password",
                     "-out", "test.pfx")
        os.makedirs(self.path("token/objects"))
        with open(self.path("token/softhsm2.conf"), "w") as f:
            f.write(f"directories.tokendir = {self.path('token/objects')}\nobjectstore.backend = file\nlog.level = ERROR\n")
        pin = f"pin-{os.urandom(8).hex()}"  # softhsm2-util takes it on its command line: for this token alone
        with open(self.path("token/pin"), "w") as f:
            f.write(pin + "\n")
        environ = {**os.environ, "SOFTHSM2_CONF": self.path("token/softhsm2.conf")}
        for args in (["--init-token", "--free", "--label", "kz", "--pin", pin, "--so-pin", "so-" + pin],
                     ["--import", self.path("vendor.pkcs8"), "--token", "kz", "--label", "vendor", "--id", "01", "--pin", pin]):
            if args[0] == "--import":
                self.openssl("pkcs8", "-topk8", "-nocrypt", "-in", "vendor.key", "-out", "vendor.pkcs8")
            subprocess.run(["softhsm2-util", *args], check=True, capture_output=True, env=environ)
        os.remove(self.path("vendor.pkcs8"))


def serve(pki):
    budget = [200]  # requests in all; each at most 64 KiB and 10 s

    class Authority(http.server.BaseHTTPRequestHandler):
        timeout = 10

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            if budget[0] <= 0 or not 0 < length <= 64 << 10 or self.path not in ("/rfc3161", "/legacy"):
                return self.send_error(400)
            budget[0] -= 1
            request = self.rfile.read(length)
            try:
                body = pki.rfc3161("tsa", request, token=False) if self.path == "/rfc3161" else \
                    base64.b64encode(pki.legacy_reply(base64.b64decode(request)))
            except (subprocess.SubprocessError, ValueError, TypeError, KeyError):
                return self.send_error(400)
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply" if self.path == "/rfc3161" else
                             "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    signal.alarm(15 * 60)  # should the test that started it be killed before it stops it
    server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
    with open(pki.path("port.partial"), "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(pki.path("port.partial"), pki.path("port"))
    server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("make", "serve"):
        sys.exit(__doc__)
    os.makedirs(sys.argv[2], exist_ok=True)
    pki_ = Pki(os.path.abspath(sys.argv[2]))
    if sys.argv[1] == "make":
        pki_.make()
        pki_.keys_for_signing()
    else:
        serve(pki_)
