#!/usr/bin/env python3
"""The signed release: cpack, given a PKCS#12 key, packs an Authenticode-signed velkor-dpapi.exe
that two independent verifiers accept against the key's root (osslsigncode, and sbsigntool's
sbverify, which computes the image digest itself), that holds the same code as the build, and that
still runs and reads as the unsigned one does; the npm platform package packed beside the zip
holds the same signed file, and the zip's SBOM names it. A throwaway root CA, code-signing
certificate and RFC 3161 time-stamping authority (served on the loopback address) are made with
openssl.

    release_signing.py --build DIR --name RELEASE --exe PATH --version X.Y.Z --description TEXT
                       [--sbom NAME] [--runner wine] [unittest arguments]
"""

import argparse
import hashlib
import http.server
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import unittest
import zipfile

# The helpers that the black-box, release and docs tests share.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import wine_session
from npm_package import client_pins
from pe_image import PeImage

BUILD = None
NAME = None
EXE = None
VERSION = None
DESCRIPTION = None
SBOM = None
RUNNER = []
NPM_PLATFORM = "win32-x64"
HERE = os.path.dirname(os.path.abspath(__file__))

PASSWORD = "correct horse 7 battery"
UNSIGNED_NOTE = "velkor-dpapi.exe is NOT signed: no signing key (set VELKOR_SIGN_PKCS12 to sign)"

TSA_CONFIG = """\
[ tsa ]
default_tsa = velkor_test_tsa
[ velkor_test_tsa ]
serial = {folder}/tsa.serial
signer_cert = {folder}/tsa.pem
certs = {folder}/root.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def run(command, **options):
    return subprocess.run(command, capture_output=True, **options)


def wine_environment():
    return dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def make_certificate(folder, name, subject, issuer, extensions):
    """name.key and name.pem in folder: a certificate for subject with these extensions, issued by
    the certificate named issuer, or self-signed when issuer is None."""
    key, pem = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pem")
    config = os.path.join(folder, name + ".cnf")
    with open(config, "w") as stream:
        stream.write("[req]\ndistinguished_name = dn\n[dn]\n[v3]\n" + "\n".join(extensions) + "\n")
    new_key = ["-newkey", "rsa:2048", "-nodes", "-keyout", key, "-subj", subject, "-config", config]
    if issuer is None:
        run(["openssl", "req", "-x509"] + new_key + ["-extensions", "v3", "-days", "2",
                                                      "-out", pem], check=True)
        return
    request = os.path.join(folder, name + ".csr")
    run(["openssl", "req", "-new"] + new_key + ["-out", request], check=True)
    issuer = os.path.join(folder, issuer)
    run(["openssl", "x509", "-req", "-in", request, "-CA", issuer + ".pem",
         "-CAkey", issuer + ".key", "-CAcreateserial", "-days", "2", "-out", pem,
         "-extfile", config, "-extensions", "v3"], check=True)


def make_keys(folder):
    """The roots, the signer's PKCS#12 file (with PASSWORD, also written to the returned file)
    and the time-stamping authority's certificate and configuration."""
    root_extensions = ["basicConstraints = critical, CA:TRUE",
                       "keyUsage = critical, keyCertSign, cRLSign"]
    make_certificate(folder, "root", "/CN=velkor-dpapi throwaway root", None, root_extensions)
    make_certificate(folder, "other_root", "/CN=another throwaway root", None, root_extensions)
    make_certificate(folder, "signer", "/CN=velkor-dpapi throwaway signer", "root",
                     ["basicConstraints = CA:FALSE", "keyUsage = critical, digitalSignature",
                      "extendedKeyUsage = codeSigning"])
    make_certificate(folder, "tsa", "/CN=velkor-dpapi throwaway time stamps", "root",
                     ["basicConstraints = CA:FALSE", "keyUsage = critical, digitalSignature",
                      "extendedKeyUsage = critical, timeStamping"])
    password_file = os.path.join(folder, "password")
    with open(password_file, "w") as stream:
        stream.write(PASSWORD)
    in_folder = lambda name: os.path.join(folder, name)
    run(["openssl", "pkcs12", "-export", "-inkey", in_folder("signer.key"),
         "-in", in_folder("signer.pem"), "-certfile", in_folder("root.pem"),
         "-out", in_folder("signer.p12"), "-passout", "file:" + password_file], check=True)
    with open(in_folder("tsa.serial"), "w") as stream:
        stream.write("01\n")
    with open(in_folder("tsa.cnf"), "w") as stream:
        stream.write(TSA_CONFIG.format(folder=folder))
    return password_file


def start_time_stamp_authority(folder):
    """An RFC 3161 server on the loopback address that answers through `openssl ts -reply`."""
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            with lock:
                reply = run(["openssl", "ts", "-reply", "-config", os.path.join(folder, "tsa.cnf"),
                             "-queryfile", "/dev/stdin", "-out", "/dev/stdout"], input=query)
            status = 200 if reply.returncode == 0 else 500
            self.send_response(status)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply.stdout)))
            self.end_headers()
            self.wfile.write(reply.stdout)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class ReleaseSigningTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="velkor-signing-")
        cls.password_file = make_keys(cls.folder)
        cls.root = os.path.join(cls.folder, "root.pem")
        cls.server = start_time_stamp_authority(cls.folder)
        cls.time_stamp_url = "http://127.0.0.1:%d/" % cls.server.server_address[1]
        cls.key = os.path.join(cls.folder, "signer.p12")
        cls.signed_pack, cls.signed = cls.pack(
            "signed", VELKOR_SIGN_PKCS12=cls.key, VELKOR_SIGN_PASSWORD=PASSWORD,
            VELKOR_SIGN_TIMESTAMP_URL=cls.time_stamp_url)
        if RUNNER:
            wine_session.start(RUNNER)

    @classmethod
    def tearDownClass(cls):
        cls.server.shutdown()
        shutil.rmtree(cls.folder, ignore_errors=True)

    @classmethod
    def pack(cls, label, **settings):
        """Runs cpack with these signing settings alone, tracing every command it runs with its
        arguments expanded, as a verbose log would; returns its run and the unpacked .exe (None
        when it made no zip)."""
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith("VELKOR_SIGN_")
                       and not name.lower().endswith("_proxy")}  # the server is on loopback
        environment.update(settings, no_proxy="127.0.0.1")
        output = os.path.join(cls.folder, label)
        process = run(["cpack", "--trace-expand", "--config",
                       os.path.join(BUILD, "CPackConfig.cmake"), "-B", output],
                      env=environment, text=True)
        zip_path = os.path.join(output, NAME + ".zip")
        if not os.path.exists(zip_path):
            return process, None
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(os.path.join(output, "unpacked"))
        return process, os.path.join(output, "unpacked", NAME, "velkor-dpapi.exe")

    def verify(self, exe, root):
        return run(["osslsigncode", "verify", "-CAfile", root, "-TSA-CAfile", root, "-in", exe],
                   text=True)

    def sbverify(self, exe, root):
        return run(["sbverify", "--cert", root, exe], text=True)

    def test_packing_signs_and_no_trace_shows_the_password(self):
        process = self.signed_pack
        self.assertEqual(process.returncode, 0, process.stdout + process.stderr)
        self.assertIn("velkor-dpapi.exe is signed with " + self.key, process.stderr)
        self.assertNotIn(UNSIGNED_NOTE, process.stdout + process.stderr)
        self.assertNotIn(PASSWORD, process.stdout + process.stderr)

    def test_verify_accepts_the_signed_exe_against_its_root_only(self):
        other_root = os.path.join(self.folder, "other_root.pem")
        for exe, root, accepted in ((self.signed, self.root, True),
                                    (EXE, self.root, False),
                                    (self.signed, other_root, False)):
            with self.subTest(exe=exe, root=root):
                self.assertEqual(self.verify(exe, root).returncode == 0, accepted)

    def test_sbverify_accepts_the_signed_exe_against_its_root_only(self):
        other_root = os.path.join(self.folder, "other_root.pem")
        for exe, root, accepted in ((self.signed, self.root, True),
                                    (EXE, self.root, False),
                                    (self.signed, other_root, False)):
            with self.subTest(exe=exe, root=root):
                process = self.sbverify(exe, root)
                self.assertEqual(process.returncode == 0, accepted, process.stdout + process.stderr)
                if accepted:
                    self.assertEqual(process.stdout, "Signature verification OK\n")

    def test_both_verifiers_reject_a_changed_byte_of_code(self):
        with open(self.signed, "rb") as stream:
            image = bytearray(stream.read())
        # A byte of the first section's data (the code): covered by the signature's digest.
        raw_offset = PeImage(bytes(image)).sections[0][2]
        image[raw_offset + 16] ^= 0x01
        changed = os.path.join(self.folder, "changed.exe")
        with open(changed, "wb") as stream:
            stream.write(image)
        self.assertNotEqual(self.verify(changed, self.root).returncode, 0)
        self.assertNotEqual(self.sbverify(changed, self.root).returncode, 0)

    def test_the_platform_package_holds_the_signed_exe_and_the_sbom_names_it(self):
        output = os.path.dirname(os.path.dirname(os.path.dirname(self.signed)))
        with open(self.signed, "rb") as stream:
            signed = stream.read()
        tarball = "velkor-dpapi-%s-%s.tgz" % (NPM_PLATFORM, VERSION)
        with tarfile.open(os.path.join(output, tarball)) as tgz:
            self.assertEqual(tgz.extractfile("package/velkor-dpapi.exe").read(), signed)
        # The client, packed beside it by the x64 release, pins the signed file.
        if NPM_PLATFORM == "win32-x64":
            pins = client_pins(os.path.join(output, "velkor-dpapi-%s.tgz" % VERSION))
            self.assertEqual(pins["@velkor-dpapi/win32-x64"], hashlib.sha256(signed).hexdigest())
        if SBOM:
            with open(os.path.join(os.path.dirname(self.signed), SBOM)) as stream:
                hashes = json.load(stream)["metadata"]["component"]["hashes"]
            self.assertEqual(hashes, [{"alg": "SHA-256",
                                       "content": hashlib.sha256(signed).hexdigest()}])

    def test_signature_is_sha256_and_time_stamped(self):
        output = self.verify(self.signed, self.root).stdout
        self.assertIn("Message digest algorithm  : SHA256", output)
        self.assertIn("Timestamp Server Signature verification: ok", output)

    def test_signed_exe_holds_the_built_code(self):
        # The Authenticode digest covers the whole file but its checksum and signature: the same
        # data means the signed file is the built one plus a signature.
        data = []
        for exe in (self.signed, EXE):
            out = os.path.join(self.folder, "data-%d" % len(data))
            run(["osslsigncode", "extract-data", "-h", "sha256", "-in", exe, "-out", out],
                check=True)
            with open(out, "rb") as stream:
                data.append(stream.read())
        self.assertEqual(data[0], data[1])
        with open(self.signed, "rb") as signed, open(EXE, "rb") as built:
            self.assertNotEqual(signed.read(), built.read())

    def test_signed_exe_passes_selftest(self):
        process = subprocess.Popen(RUNNER + [self.signed, "selftest"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   cwd=self.folder, env=wine_environment())
        out, err = process.communicate(b"", timeout=300)
        self.assertEqual((out, err, process.returncode), (b"ok\r\n", b"", 0))

    def test_signed_exe_passes_resource_and_import_tests(self):
        process = run([sys.executable, os.path.join(HERE, "exe_test.py"), "--exe", self.signed,
                       "--version", VERSION, "--description", DESCRIPTION,
                       "ResourceTest", "ImportTest"], text=True)
        self.assertEqual(process.returncode, 0, process.stderr)

    def test_password_file_signs_without_time_stamp_when_no_server_is_named(self):
        process, exe = self.pack("password-file", VELKOR_SIGN_PKCS12=self.key,
                                 VELKOR_SIGN_PASSWORD_FILE=self.password_file)
        self.assertEqual(process.returncode, 0, process.stdout + process.stderr)
        verified = self.verify(exe, self.root)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Timestamp is not available", verified.stdout)

    def test_wrong_password_fails_the_packing(self):
        wrong = "not the password 42"
        process, exe = self.pack("wrong-password", VELKOR_SIGN_PKCS12=self.key,
                                 VELKOR_SIGN_PASSWORD=wrong)
        self.assertNotEqual(process.returncode, 0)
        self.assertIsNone(exe, "no zip")
        self.assertIn("signing velkor-dpapi.exe failed", process.stderr)
        self.assertNotIn(wrong, process.stdout + process.stderr)

    def test_without_a_key_the_release_is_unsigned_and_says_so(self):
        process, exe = self.pack("unsigned")
        self.assertEqual(process.returncode, 0, process.stdout + process.stderr)
        self.assertIn(UNSIGNED_NOTE + "\n", process.stderr)
        with open(exe, "rb") as packed, open(EXE, "rb") as built:
            self.assertEqual(packed.read(), built.read())


def main():
    global BUILD, NAME, EXE, VERSION, DESCRIPTION, SBOM, RUNNER, NPM_PLATFORM
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--name", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--description", required=True)
    parser.add_argument("--sbom")
    parser.add_argument("--runner", action="append", default=[])
    parser.add_argument("--npm-platform", choices=("win32-x64", "win32-arm64"),
                        default="win32-x64")
    args, rest = parser.parse_known_args()
    BUILD, NAME, EXE = os.path.abspath(args.build), args.name, os.path.abspath(args.exe)
    VERSION, DESCRIPTION, SBOM, RUNNER = args.version, args.description, args.sbom, args.runner
    NPM_PLATFORM = args.npm_platform
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
