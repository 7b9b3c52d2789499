"""Checks release zips against the commit they claim to come from: rebuilds
the commit's release in the build root each zip's BUILDINFO names, with the
zip's signature attached, requires the zip byte for byte, and checks that
signature's one form, each signature and each time stamp in it.
scripts/verify-release.sh starts it; docs/releasing.md says what it checks.
"""
import io
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import authenticode  # noqa: E402
from asn1crypto import pem, x509  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EXE, SYSTEM_CAS = "KZviVIVaru.exe", "/etc/ssl/certs/ca-certificates.crt"
LARGEST = 4 << 20  # bytes of a zip, or a CA file: a release is about 40 KB
MOST_LINES = 200  # of the build's output, and of diffoscope's report on one zip
SETTINGS = ("KZ_VERIFY_SIGNED", "KZ_VERIFY_SIGNER", "KZ_VERIFY_SIGNATURES", "KZ_VERIFY_CAFILE", "KZ_VERIFY_TSA_CAFILE")
FORM = re.compile(r"SHA256 (RFC 3161|not) time-stamped|SHA1 (legacy|not) time-stamped, SHA256 (RFC 3161|not) time-stamped")
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Refused(Exception):
    """A setting or argument that stops the verification; the text names it."""


class Interrupted(BaseException):
    """INT, TERM or HUP: the build and the work folder go, nothing is verified."""


def interrupted(number, frame):
    for stop in STOPS:  # the clean-up that follows is not cut short by another
        signal.signal(stop, signal.SIG_IGN)
    raise Interrupted


def shown(text, limit=400):
    """Text from a zip, a signature or the build, on one line, without control characters."""
    text = "".join(c if c.isprintable() else "?" for c in text)
    return text if len(text) <= limit else text[:limit] + "..."


def read_regular(path, what=None, flags=0):
    """The bytes of a regular file of at most LARGEST bytes, read once: a
    FIFO, a device or a folder is refused before it is read, by WHAT's name,
    or is None where WHAT is None."""
    data, problem = b"", None
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | flags)
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                problem = f"{shown(path)} is not a regular file"
            while not problem and len(data) <= LARGEST and (chunk := os.read(fd, LARGEST + 1 - len(data))):
                data += chunk
        finally:
            os.close(fd)
    except OSError as error:
        problem = f"cannot read {shown(path)} ({error.strerror})"
    problem = problem or (f"{shown(path)} is more than {LARGEST} bytes" if len(data) > LARGEST else None)
    if problem and what:
        raise Refused(f"{what}: {problem}")
    return None if problem else data


def authorities(name, path):
    """The certificates of a CA file, every PEM block of it read."""
    data = read_regular(path, name)
    try:
        blocks = list(pem.unarmor(data, multiple=True)) if b"-----BEGIN" in data else []
        for kind, _, der in blocks:
            if kind != "CERTIFICATE":
                raise ValueError(f"a {kind} block")
            x509.Certificate.load(der, strict=True).native
    except authenticode.MISREAD as error:
        raise Refused(f"{name}: {shown(path)} holds a PEM block that is no certificate ({shown(str(error), 100)})")
    if not blocks:
        raise Refused(f"{name}: {shown(path)} holds no PEM certificate")
    return {der for _, _, der in blocks}


def settings(environ, cwd):
    """The KZ_VERIFY_* settings, read whole as the caller gave them: relative
    paths from the caller's folder, anything unreadable refused by name."""
    unknown = sorted(name for name in environ if name.startswith("KZ_VERIFY_") and name not in SETTINGS)
    if unknown:
        raise Refused(f"{unknown[0]} is not a setting of the verifier, which knows {', '.join(SETTINGS)}")
    empty = sorted(name for name in SETTINGS if environ.get(name) == "")
    if empty:  # a script's variable that expanded to nothing, most likely
        raise Refused(f"{empty[0]} is set but empty; give it a value or unset it")
    signed, form = environ.get("KZ_VERIFY_SIGNED", ""), environ.get("KZ_VERIFY_SIGNATURES", "")
    signer = environ.get("KZ_VERIFY_SIGNER", "").replace(":", "").upper()
    if signed not in ("", "0", "1"):
        raise Refused(f"KZ_VERIFY_SIGNED is \"{shown(signed)}\", and must be 0 or 1")
    if signer and not re.fullmatch("[0-9A-F]{64}", signer):
        raise Refused(f"KZ_VERIFY_SIGNER is not a SHA-256 fingerprint (64 hex digits, colons allowed): "
                      f"\"{shown(environ['KZ_VERIFY_SIGNER'])}\"")
    if form and not FORM.fullmatch(form):
        raise Refused(f"KZ_VERIFY_SIGNATURES is \"{shown(form)}\", not a form a release's signature takes, such as "
                      "\"SHA256 RFC 3161 time-stamped\" or \"SHA1 legacy time-stamped, SHA256 RFC 3161 time-stamped\"")
    files = [os.path.join(cwd, environ[name]) if environ.get(name) else SYSTEM_CAS
             for name in ("KZ_VERIFY_CAFILE", "KZ_VERIFY_TSA_CAFILE")]
    return {"signed": signed == "1" or bool(signer or form), "signer": signer, "form": form,
            "cafile": files[0], "tsa_cafile": files[1],
            "authorities": {path: authorities(name, path) for name, path in zip(SETTINGS[3:], files)}}


def git(repo, *args):
    """Git on the repository this script runs from, whoever owns it: root
    verifying another account's clone runs its code already."""
    done = subprocess.run(["git", "-c", "safe.directory=*", "-C", repo, *args], capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def resolve(repo, name):
    """The one commit NAME names, as a ref, a hash or any revision git reads,
    from any ref; refused where a tag or branch and a hash prefix name
    different commits, or none does."""
    def commit(revision):
        return git(repo, "rev-parse", "--verify", "-q", "--end-of-options", f"{revision}^{{commit}}")
    found = {commit(name)} | {commit(f"refs/{kind}{name}") for kind in ("", "tags/", "heads/", "remotes/")}
    if re.fullmatch("[0-9a-fA-F]{4,40}", name):
        found |= {commit(candidate) for candidate in (git(repo, "rev-parse", f"--disambiguate={name}") or "").split()}
    found = {sha for sha in found if sha and re.fullmatch("[0-9a-f]{40}", sha)}  # "^HEAD" gives "^SHA", no commit
    if len(found) != 1:
        raise Refused(f"{shown(name)} is ambiguous: it names the commits {', '.join(sorted(found))}; give a longer "
                      "hash or the full ref (refs/tags/...)" if found else f"no commit {shown(name)} in {repo}")
    return found.pop()


class Zip:
    """One zip as given: its bytes, read once, and what they hold."""

    def __init__(self, given, index):
        self.label, self.index, self.failures, self.form = shown(given), index, 0, None
        self.name, self.data = os.path.basename(given), read_regular(given, "zip")
        self.exe = self.blob = self.record = self.primary = None
        try:
            with zipfile.ZipFile(io.BytesIO(self.data)) as z:
                if sum(i.file_size for i in z.infolist()) > LARGEST:  # each member is cut at its size when read
                    return self.fail(f"zip: its files unpack to more than {LARGEST} bytes, which no release's do")
                self.exe = z.read(EXE) if EXE in z.namelist() else None
                buildinfo = z.read("BUILDINFO").decode("utf-8", "replace") if "BUILDINFO" in z.namelist() else ""
            self.record = "".join(sorted(line + "\n" for line in buildinfo.splitlines()
                                         if line.split(" ")[0] in ("debian", "package")))
            self.blob = authenticode.certificate_blob(self.exe) if self.exe else None
            self.primary, differs = authenticode.form(self.blob) if self.blob else (None, None)
        except (ValueError, authenticode.Unreadable) as problem:
            return self.fail(f"{EXE}: {problem}")
        except Exception as error:  # what a zip holds is anyone's; none keeps the others from their verdicts
            return self.fail(f"zip: not a zip that can be read ({type(error).__name__}: {shown(str(error), 100)})")
        if differs:
            self.fail(f"{EXE}: its signature is not in the one form a release's takes: {differs} differs")

    def fail(self, cause):
        print(f"FAIL: {self.label}: {shown(cause, 1000)}")
        self.failures += 1


def rebuild(repo, sha, zips, work):
    """The release of SHA built in the root the zips' BUILDINFO names, with
    each one's signature attached: its output folder, or None after saying
    why not."""
    with open(os.path.join(work, "record"), "w") as f:
        f.write(zips[0].record)
    made = subprocess.run([f"{HERE}/root.sh", "make", f.name], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          stdin=subprocess.DEVNULL, text=True, errors="replace").stdout.strip().splitlines() or ["not made"]
    if not os.path.isdir(made[-1]):
        for z in zips:
            z.fail(f"build root: {shown(made[-1].removeprefix('root: '))}")
        return None
    out, signatures, source = (os.path.join(work, name) for name in ("out", "signatures", "source.tar"))
    for z in [z for z in zips if z.blob and not z.failures]:
        os.makedirs(os.path.join(signatures, str(z.index)))
        with open(os.path.join(signatures, str(z.index), "KZviVIVaru.pem"), "wb") as f:
            f.write(pem.armor("PKCS7", z.blob))
    os.makedirs(signatures, exist_ok=True)
    os.mkdir(out)
    if git(repo, "archive", "--format=tar", "-o", source, sha) is None:
        raise Refused(f"git cannot write out commit {sha}")
    print(f"== building the release of commit {sha} in the build root {os.path.basename(made[-1])}, "
          "with each zip's signature attached")
    with open(source, "rb") as tar:
        build = subprocess.Popen([f"{HERE}/root.sh", "build", made[-1], out, signatures, sha,
                                  git(repo, "log", "-1", "--format=%ct", sha)],
                                 stdin=tar, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        try:
            for count, line in enumerate(build.stdout):  # its own prefix: the build cannot speak as the verifier
                if count < MOST_LINES:
                    print(f"  build: {shown(line.decode('utf-8', 'replace').rstrip())}")
            status = build.wait()
        except BaseException:
            build.kill()
            build.wait()
            raise
    if status != 0:
        print(f"FAIL: the release build of commit {sha} failed (status {status})")
    return out if status == 0 else None


def explain(z, rebuilt, work):
    """Why the zip is not the rebuilt one: its members that differ, and
    diffoscope's report (a BUILDINFO that differs names the toolchain)."""
    try:
        with zipfile.ZipFile(io.BytesIO(z.data)) as given, zipfile.ZipFile(io.BytesIO(rebuilt)) as wanted:
            has = [(i.filename, given.read(i)) for i in given.infolist()]
            should = {i.filename: wanted.read(i) for i in wanted.infolist()}
        names = [name for name, _ in has]
        causes = [f"{shown(name)}: a second entry of that name" for i, name in enumerate(names) if name in names[:i]]
        causes += [f"{shown(name)}: not part of the commit's release" for name in names if name not in should]
        causes += [f"{name}: missing" for name in should if name not in names]
        causes += [f"{name}: differs from the commit's {name}" for name, data in dict(has).items()
                   if name in should and data != should[name]]
    except Exception as error:
        causes = [f"zip: not a zip that can be read ({type(error).__name__})"]
    for cause in causes or ["zip: laid out otherwise than the commit's release (the same files)"]:
        z.fail(cause)
    paths = [os.path.join(work, f"{z.index}.{kind}.zip") for kind in ("given", "rebuilt")]
    for path, data in zip(paths, (z.data, rebuilt)):
        with open(path, "wb") as f:
            f.write(data)
    try:
        report = subprocess.run(["diffoscope", "--no-progress", "--text", "-", *paths], capture_output=True,
                                text=True, errors="replace", timeout=300, stdin=subprocess.DEVNULL).stdout
    except subprocess.TimeoutExpired:
        report = "(diffoscope took more than five minutes)"
    for line in report.splitlines()[:MOST_LINES]:
        print(f"  diffoscope: {shown(line)}")


def check_signature(z, wanted):
    """The signature's checks; returns the verdict's form of signing."""
    if z.blob is None:
        print("signature: none (an unsigned release)")
        if wanted["signed"]:
            z.fail(f"{EXE}: not signed, and KZ_VERIFY_SIGNED, KZ_VERIFY_SIGNER or KZ_VERIFY_SIGNATURES asks for a signature")
        return "unsigned"
    checked = authenticode.check(z.primary, z.exe, wanted["cafile"], wanted["tsa_cafile"], wanted["authorities"])
    print("\n".join(shown(line) for line in checked.report))
    for problem in checked.problems:
        z.fail(f"{EXE}: {problem}")
    for signer in sorted(set(checked.signers)):
        if wanted["signer"] and signer != wanted["signer"]:
            z.fail(f"{EXE}: a signature is by the certificate {signer}, not the one KZ_VERIFY_SIGNER names")
    if len(set(checked.signers)) > 1:
        z.fail(f"{EXE}: its signatures are by different certificates, and Windows shows only the primary one's signer")
    form = ", ".join(checked.form)
    if wanted["form"] and form != wanted["form"]:
        z.fail(f"{EXE}: signed as \"{form}\", not as KZ_VERIFY_SIGNATURES says, \"{wanted['form']}\"")
    return f"signed: {form}, by {checked.signers[0]}"


def verify(repo, zips, commit, wanted):
    """Whether every zip of ZIPS is the release of COMMIT; prints each one's
    checks and verdict."""
    work = tempfile.mkdtemp(prefix="verify-release.")
    try:
        sha, groups = resolve(repo, commit), {}
        for z in zips:
            if z.record:
                groups.setdefault(z.record, []).append(z)
            elif not z.failures:
                z.fail("BUILDINFO: missing, or it names no build root")
        for index, group in enumerate(groups.values()):
            os.mkdir(os.path.join(work, str(index)))
            out = rebuild(repo, sha, group, os.path.join(work, str(index)))
            unsigned = os.path.join(out or work, "unsigned")
            names = sorted(n for n in os.listdir(unsigned) if n.endswith(".zip")) if os.path.isdir(unsigned) else []
            for z in group:
                print(f"== {z.label}: against commit {sha}")
                if out is None or z.failures:  # no build, or a signature not in the one form: nothing to compare
                    continue
                rebuilt = read_regular(os.path.join(out, str(z.index) if z.blob else "unsigned", z.name), flags=os.O_NOFOLLOW)
                if z.name not in names:
                    z.fail(f"zip: named {shown(z.name)}, which is neither release zip of the commit ({', '.join(names)}); "
                           "a browser's renamed copy must get its name back")
                elif rebuilt is None:
                    z.fail(f"{EXE}: its signature does not attach to the commit's exe")
                elif rebuilt == z.data:
                    print(f"zip: byte for byte the commit's release{' with this signature attached' if z.blob else ''}")
                else:
                    explain(z, rebuilt, work)
                z.form = check_signature(z, wanted)
        for z in zips:
            print(f"verified: {z.label} is the release of commit {sha} ({z.form})" if not z.failures else
                  f"NOT verified: {z.label}: {z.failures} check(s) failed")
        return not any(z.failures for z in zips)
    finally:  # with the three blocked: one that comes now is handled once this is done
        signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)
        shutil.rmtree(work, ignore_errors=True)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPS)


def main(args):
    sys.stdout.reconfigure(line_buffering=True)  # in order with what goes to stderr
    for stop in STOPS:
        signal.signal(stop, interrupted)
    try:
        # verify-release.sh starts this with the three blocked, so that one
        # sent at any moment until now is handled here.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPS)
        given = [arg for arg in args if arg.endswith(".zip")]
        commits = [arg for arg in args if not arg.endswith(".zip")]
        if not given or len(commits) > 1:
            print("usage: verify-release.sh ZIP... [COMMIT]", file=sys.stderr)
            return 2
        wanted = settings(os.environ, os.getcwd())
        zips = [Zip(arg, index) for index, arg in enumerate(given)]
        return 0 if verify(os.path.dirname(HERE), zips, commits[0] if commits else "HEAD", wanted) else 1
    except Refused as problem:
        print(f"verify-release: {problem}", file=sys.stderr)
        return 2
    except Interrupted:
        print("verify-release: interrupted; nothing verified", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
