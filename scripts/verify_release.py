"""Checks release zips against the commit they claim to come from, by
rebuilding the commit's release with each zip's signature attached and
comparing bytes; scripts/verify-release.sh runs it, once what it needs is
installed. docs/releasing.md says what is compared and checked.
"""
import lzma
import os
import re
import secrets
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import authenticode  # noqa: E402

EXE = "KZviVIVaru.exe"
SIGNATURE = "KZviVIVaru.pem"  # where package.sh's attach mode takes each zip's signature from
SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"
LARGEST = 4 << 20  # bytes of a zip, of one of its files or of a CA file: a release is about 40 KB
BUILD_TIME = 30 * 60  # seconds a release build may take; one takes about a minute
MOST_CAUSES = 32  # differences named for one zip: a release holds four files
UNREADABLE = (OSError, KeyError, zipfile.BadZipFile, ValueError, NotImplementedError, RuntimeError, EOFError,
              zlib.error, lzma.LZMAError)  # what reading a zip's member can raise
SETTINGS = ("KZ_VERIFY_SIGNED", "KZ_VERIFY_SIGNER", "KZ_VERIFY_SIGNATURES", "KZ_VERIFY_CAFILE", "KZ_VERIFY_TSA_CAFILE")
FORM = re.compile(r"(SHA1|SHA256|SHA384|SHA512)( time-stamped)?(, (SHA1|SHA256|SHA384|SHA512)( time-stamped)?)?")


class Refused(Exception):
    """A setting, argument or step that stops the verification; the text
    names its cause."""


def shown(text, limit=200):
    """Text from a zip, on one line, without control characters."""
    text = "".join(c if c.isprintable() else "?" for c in text)
    return text if len(text) <= limit else text[:limit] + "..."


def settings(environ, cwd):
    """The KZ_VERIFY_* settings, read as the caller gave them: relative paths
    from the caller's folder, and anything unreadable refused by name."""
    unknown = sorted(name for name in environ if name.startswith("KZ_VERIFY_") and name not in SETTINGS)
    if unknown:
        raise Refused(f"{unknown[0]} is not a setting of the verifier, which knows {', '.join(SETTINGS)}")
    empty = sorted(name for name in SETTINGS if environ.get(name) == "")
    if empty:  # a script's variable that expanded to nothing, most likely
        raise Refused(f"{empty[0]} is set but empty; give it a value or unset it")
    signed = environ.get("KZ_VERIFY_SIGNED", "")
    if signed not in ("", "0", "1"):
        raise Refused(f"KZ_VERIFY_SIGNED is \"{shown(signed)}\", and must be 0 or 1")
    signer = environ.get("KZ_VERIFY_SIGNER", "").replace(":", "").upper()
    if signer and not re.fullmatch("[0-9A-F]{64}", signer):
        raise Refused("KZ_VERIFY_SIGNER is not a SHA-256 fingerprint (64 hex digits, colons allowed): "
                      f"\"{shown(environ['KZ_VERIFY_SIGNER'])}\"")
    form = environ.get("KZ_VERIFY_SIGNATURES", "")
    if form and not FORM.fullmatch(form):
        raise Refused(f"KZ_VERIFY_SIGNATURES is \"{shown(form)}\", not a form the verdict prints, such as "
                      "\"SHA256 time-stamped\" or \"SHA1 time-stamped, SHA256 time-stamped\"")
    files = {}
    for name in ("KZ_VERIFY_CAFILE", "KZ_VERIFY_TSA_CAFILE"):
        files[name] = os.path.join(cwd, environ[name]) if environ.get(name) else SYSTEM_CAS
        if not environ.get(name):
            continue
        try:
            with open(files[name], "rb") as f:
                holds = b"-----BEGIN CERTIFICATE-----" in f.read(LARGEST)
        except OSError as error:
            raise Refused(f"{name}: cannot read {shown(files[name])} ({error.strerror})")
        if not holds:
            raise Refused(f"{name}: {shown(files[name])} holds no PEM certificate")
    return {"signed": signed == "1" or bool(signer or form), "signer": signer, "form": form,
            "cafile": files["KZ_VERIFY_CAFILE"], "tsa_cafile": files["KZ_VERIFY_TSA_CAFILE"]}


def git(repo, *args, env=None):
    done = subprocess.run(["git", "-C", repo, *args], capture_output=True, text=True, env=env)
    return done.stdout.strip() if done.returncode == 0 else None


def git_environment(work):
    """Git's environment for reading the repository this script runs from,
    whoever owns it: root verifying another account's clone runs its code
    already, so its ownership is no reason to refuse it."""
    config = os.path.join(work, "gitconfig")
    with open(config, "w") as f:
        f.write("[safe]\n\tdirectory = *\n")
    return {**os.environ, "GIT_CONFIG_GLOBAL": config, "GIT_CONFIG_NOSYSTEM": "1"}


def resolve(repo, name, env=None):
    """The one commit NAME names, as a ref, a hash or any revision git
    reads; refused where a tag or branch and a hash prefix name different
    commits, or none does."""
    def commit(revision):
        return git(repo, "rev-parse", "--verify", "-q", "--end-of-options", f"{revision}^{{commit}}", env=env)
    found = {commit(name)} | {commit(f"refs/{kind}{name}") for kind in ("", "tags/", "heads/", "remotes/")}
    if re.fullmatch("[0-9a-fA-F]{4,40}", name):
        found |= {commit(candidate) for candidate in (git(repo, "rev-parse", f"--disambiguate={name}", env=env) or "").split()}
    found.discard(None)
    if not found:
        raise Refused(f"no commit {shown(name)} in {repo}")
    if len(found) > 1:
        raise Refused(f"{shown(name)} is ambiguous: it names the commits {', '.join(sorted(found))}; "
                      "give a longer hash or the full ref (refs/tags/...)")
    return found.pop()


def certificate_blob(exe):
    """The signature in an exe's certificate table, without the alignment
    after it, which is the rebuild's to make; None when unsigned, ValueError
    when there is none to read."""
    try:
        offset, size = struct.unpack_from("<II", exe, authenticode.pe_fields(exe)[1])
        if (offset, size) == (0, 0):
            return None
        length = struct.unpack_from("<I", exe, offset)[0]
        if not 8 < length <= size or offset + size > len(exe):
            raise ValueError("its certificate table does not fit in the file")
        entry = exe[offset + 8:offset + length]
    except struct.error:
        raise ValueError("its headers or certificate table are cut short")
    try:
        return entry[:authenticode.parser.peek(entry)]
    except ValueError as error:
        raise ValueError(f"its certificate table holds no signature to read ({error})")


def built(work, path):
    """PATH, where the build made it a regular file inside WORK; None where
    it did not, so that no link a commit's build left is followed."""
    real = os.path.realpath(path)
    return path if (real.startswith(work + os.sep) and os.path.isfile(real) and not os.path.islink(path)
                    and os.path.getsize(real) <= LARGEST) else None


def read_member(path, name):
    """One file of a zip, or None where the zip does not hold it readably."""
    if path is None:
        return None
    try:
        with zipfile.ZipFile(path) as z:
            info = z.getinfo(name)
            return z.read(info) if info.file_size <= LARGEST else None
    except UNREADABLE:
        return None


def fetch(repo, src, env=None):
    """A new repository SRC with every commit of REPO: all its refs and HEAD,
    since the commit may be reachable from a remote's branch alone."""
    head = ["+HEAD:refs/source/HEAD"] if git(repo, "rev-parse", "--verify", "-q", "HEAD", env=env) else []
    for step in (["init", "-q", src], ["-C", src, "fetch", "-q", "--no-tags", repo, "+refs/*:refs/source/*", *head]):
        subprocess.run(["git", *step], check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def rebuild(repo, sha, build, env):
    """Builds the commit's release in BUILD/src with its own package.sh,
    which attaches each BUILD/attach/SET/KZviVIVaru.pem as well. Run by root,
    the build runs as an account of its own, a user id picked for this run,
    in a PID namespace and a session of its own, without a terminal: nothing
    of the commit runs as root, reaches the caller's terminal or outlives the
    build to touch what it leaves. Shows the end of the build's log when it
    fails, and returns whether it succeeded."""
    src = os.path.join(build, "src")
    os.mkdir(os.path.join(build, "tmp"))
    try:
        fetch(repo, src, env)
    except subprocess.CalledProcessError as error:
        print(f"verify-release: {shown(' '.join(error.cmd))} failed")
        return False
    account = []
    if os.geteuid() == 0:
        uid = 0x7E000000 + secrets.randbelow(1 << 24)  # far above any account's
        subprocess.run(["chown", "-R", f"{uid}:{uid}", build], check=True)
        # KILL on the parent's death is set again after the change of user
        # (which clears it) and cannot be shed by a set-id program: when
        # unshare goes, the namespace's first process goes, and all with it.
        own = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "--no-new-privs"]
        account = ["setpriv", "--pdeathsig", "KILL", "--",  # unshare goes with the verifier, however it ends
                   "unshare", "--pid", "--net", "--ipc", "--fork", "--kill-child", "--", *own, "--pdeathsig", "KILL", "--"]
    environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": build, "LC_ALL": "C",
                   "TMPDIR": os.path.join(build, "tmp"), "KZ_SIGN_ATTACH": os.path.join(build, "attach")}
    with tempfile.TemporaryFile() as log:  # no name the build could put a link in place of
        try:
            done = subprocess.run([*account, "sh", "-c", 'git checkout -q --detach "$1" && exec scripts/package.sh',
                                   "_", sha], cwd=src, env=environment, stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT, start_new_session=True, timeout=BUILD_TIME).returncode == 0
        except subprocess.TimeoutExpired:
            log.write(f"\nverify-release: the build took more than {BUILD_TIME // 60} minutes\n".encode())
            done = False
        finally:  # whatever ends the wait: anything of the build's own user that is left goes
            if account:
                subprocess.run([*own, "--", "kill", "-KILL", "-1"], stderr=subprocess.DEVNULL)
        if not done:  # the end of the file, whatever the build did with the offset it shares
            log.seek(max(0, os.fstat(log.fileno()).st_size - 8192))
            print("\n".join(shown(line) for line in log.read(8192).decode("utf-8", "replace").splitlines()[-20:]))
    return done


def first_difference(given, wanted):
    def lines(data):
        return data.decode("utf-8", "replace").lstrip("\ufeff").splitlines() + ["(the end)"]
    for has, should in zip(lines(given), lines(wanted)):
        if has != should:
            return f"it has \"{shown(has, 80)}\" where the commit's has \"{shown(should, 80)}\""
    return "it differs in its line ends or bytes"


def toolchain(given, wanted):
    """The package versions that BUILDINFO names and this machine's build
    record does not, or None."""
    def packages(data):
        return {fields[1]: fields[2] for fields in (line.split() for line in data.decode("utf-8", "replace").splitlines()[:64])
                if len(fields) == 3 and fields[0] == "package"}
    here = packages(wanted)
    differences = [f"{shown(name, 60)} {shown(version, 40)} in BUILDINFO, {here.get(name, 'not installed')} here"
                   for name, version in packages(given).items() if here.get(name) != version]
    return "; ".join(differences[:16]) or None


def explain(given, wanted, unsigned_exe, elsewhere):
    """Why the zip GIVEN is not the rebuilt zip WANTED: a cause for each
    file that differs. ELSEWHERE maps the other release's name to its rebuilt
    zip, to recognise its exe."""
    try:
        with zipfile.ZipFile(given) as z, zipfile.ZipFile(wanted) as w:
            rebuilt = {info.filename: w.read(info) for info in w.infolist()}
            causes, seen = [], set()
            for info in z.infolist():
                name = shown(info.filename)
                mode = info.external_attr >> 16 if info.create_system == 3 else 0
                if info.filename in seen:
                    causes.append(f"{name}: a second entry of that name (extractors differ in which one they take)")
                elif mode & 0o170000 == 0o120000:
                    causes.append(f"{name}: a symbolic link, not a regular file")
                elif info.is_dir() or mode & 0o170000 == 0o040000:
                    causes.append(f"{name}: a folder, not a regular file")
                elif info.filename not in rebuilt:
                    causes.append(f"{name}: not part of the commit's release")
                elif info.file_size > LARGEST:
                    causes.append(f"{name}: {info.file_size} bytes, more than any file of a release")
                else:
                    causes += differences(info.filename, z.read(info), rebuilt[info.filename], unsigned_exe, elsewhere)
                seen.add(info.filename)
            causes += [f"{name}: missing" for name in rebuilt if name not in seen]
    except UNREADABLE as error:
        return [f"zip: not a zip that can be read ({shown(str(error))})"]
    return causes or ["zip: laid out otherwise than the commit's release (the same files, with other dates, order, "
                      "attributes, extra fields or bytes between them)"]


def differences(name, has, should, unsigned_exe, elsewhere):
    if has == should:
        return []
    if name == "BUILDINFO":
        tools = toolchain(has, should)
        return [f"BUILDINFO: differs from the commit's BUILDINFO ({first_difference(has, should)})"] + (
            [f"toolchain: not the one BUILDINFO names, and that alone changes the exe's bytes: {tools}; verify on a "
             "machine with the versions BUILDINFO names (Debian's snapshot archive has them all)"] if tools else [])
    if name != EXE:
        return [f"{name}: differs from the commit's {name} ({first_difference(has, should)})"]
    for other, path in elsewhere.items():
        if read_member(path, EXE) == has:
            return [f"zip: its exe is the one of the release zip {other}"]
    checksum, security = authenticode.pe_fields(unsigned_exe)
    regions = {"its PE checksum" if checksum <= at < checksum + 4 else
               "its certificate table's place" if security <= at < security + 8 else
               "its signature area, which the signature does not cover" if at >= len(unsigned_exe) else
               "its code or headers"
               for at in range(max(len(has), len(should))) if at >= min(len(has), len(should)) or has[at] != should[at]}
    return [f"{EXE}: differs from the commit's with the zip's signature attached, in {', '.join(sorted(regions))} "
            f"({len(has)} bytes, the rebuilt one {len(should)})"]


class Verification:
    """One zip's checks: each failure a line "FAIL: ZIP: what: cause"."""

    def __init__(self, settings_, label):
        self.settings, self.label, self.failures = settings_, label, 0

    def fail(self, cause):
        print(f"FAIL: {self.label}: {shown(cause, 1000)}")
        self.failures += 1

    def compare(self, path, rebuilt, unsigned_exe, elsewhere, signed):
        """The zip against its rebuild, byte for byte; where they differ, why."""
        with open(path, "rb") as f, open(rebuilt, "rb") as r:
            same = f.read() == r.read()
        if same:
            print(f"zip: byte for byte the commit's release{' with this signature attached' if signed else ''}")
        causes = [] if same else explain(path, rebuilt, unsigned_exe, elsewhere)
        for cause in causes[:MOST_CAUSES]:
            self.fail(cause)
        if len(causes) > MOST_CAUSES:
            self.fail(f"zip: and {len(causes) - MOST_CAUSES} differences more")

    def signature(self, blob, exe):
        """Checks the signatures BLOB, taken from EXE; returns the verdict's form."""
        wanted = self.settings
        if blob is None:
            print("signature: none (an unsigned release)")
            if wanted["signed"]:
                self.fail(f"{EXE}: not signed, and KZ_VERIFY_SIGNED, KZ_VERIFY_SIGNER or KZ_VERIFY_SIGNATURES asks "
                          "for a signature")
            return "unsigned"
        try:
            checked = authenticode.check(blob, exe, wanted["cafile"], wanted["tsa_cafile"])
        except authenticode.Unreadable as problem:
            self.fail(f"{EXE}: {problem}")
            return "unreadable"
        print("\n".join(shown(line, 400) for line in checked.report))
        for problem in checked.problems:
            self.fail(f"{EXE}: {problem}")
        for signer in sorted(set(checked.signers)):
            if wanted["signer"] and signer != wanted["signer"]:
                self.fail(f"{EXE}: a signature is by the certificate {signer}, not the one KZ_VERIFY_SIGNER names")
        if len(set(checked.signers)) > 1:
            self.fail(f"{EXE}: its signatures are by different certificates, and Windows shows only the primary one's signer")
        form = ", ".join(checked.form)
        if wanted["form"] and form != wanted["form"]:
            self.fail(f"{EXE}: signed as \"{form}\", not as KZ_VERIFY_SIGNATURES says, \"{wanted['form']}\"")
        return f"signed: {form}, by {checked.signers[0] if checked.signers else 'nobody known'}"


def take_signature(path, folder):
    """The zip's exe and its signature, which is written to FOLDER for the
    rebuild to attach: (exe, signature, None), where either may be None, or
    (exe, None, the ValueError that says why its signature cannot be read)."""
    os.makedirs(folder)
    exe = read_member(path, EXE) if os.path.getsize(path) <= LARGEST else None
    try:
        blob = certificate_blob(exe) if exe else None
        if blob is not None:
            authenticode.load(blob)  # its size and form, before the build attaches it
    except (ValueError, authenticode.Unreadable) as error:
        return exe, None, error
    if blob is not None:
        with open(os.path.join(folder, SIGNATURE), "wb") as f:
            f.write(authenticode.pem.armor("PKCS7", blob))
    return exe, blob, None


def verify_zip(check, path, name, taken, rebuilt, unsigned_exe, elsewhere):
    """One zip against its rebuild, then its signatures; returns the
    verdict's form of signing."""
    exe, blob, unreadable = taken
    if unreadable:  # compared as unsigned, for the explanation
        check.fail(f"{EXE}: {unreadable}")
    if os.path.getsize(path) > LARGEST:
        check.fail(f"zip: {os.path.getsize(path)} bytes, more than any release holds")
    elif unsigned_exe is None:
        check.fail(f"zip: named {shown(name)}, which is neither release zip of the commit ({', '.join(elsewhere)}); "
                   "a browser's renamed copy must get its name back")
    elif rebuilt is None:
        check.fail(f"{EXE}: its signature does not attach to the commit's exe, or the commit's package.sh cannot "
                   "attach one (before KZ_SIGN_ATTACH: verify with that commit's own scripts/verify-release.sh)")
    else:
        check.compare(path, rebuilt, unsigned_exe, elsewhere, blob is not None)
        return "unreadable" if unreadable else check.signature(blob, exe)
    return None


def verify(repo, zips, commit, wanted):
    """Whether every zip of ZIPS, (as given, path) pairs, is the release of
    COMMIT; prints each one's checks and verdict."""
    work = tempfile.mkdtemp(prefix="verify-release.")  # the caller's; the build gets a folder in it
    build = os.path.join(work, "build")
    os.chmod(work, 0o711)  # the build's account passes through, and sees nothing else
    try:
        env = git_environment(work)
        sha = resolve(repo, commit, env)
        attach = os.path.join(build, "attach")
        checks = [Verification(wanted, shown(given)) for given, _ in zips]
        taken = []
        for index, (_, path) in enumerate(zips):
            try:
                taken.append(take_signature(path, os.path.join(attach, str(index))))
            except Exception as error:  # whatever one zip holds, the others get their verdicts
                taken.append((None, None, ValueError(f"the verifier could not read it ({type(error).__name__})")))
        print(f"== building the release of commit {sha}"
              f"{' as an account of its own' if os.geteuid() == 0 else ''}, with each zip's signature attached")
        if not rebuild(repo, sha, build, env):
            print(f"FAIL: the release build of commit {sha} failed; nothing verified")
            return False
        packages = os.path.join(build, "src", "build", "packages")
        names = sorted(n for n in (os.listdir(packages) if os.path.isdir(packages) else []) if built(build, os.path.join(packages, n)))
        for index, ((given, path), check) in enumerate(zip(zips, checks)):
            print(f"== {check.label}: against commit {sha}")
            name, blob = os.path.basename(given), taken[index][1]
            folder = os.path.join(attach, str(index)) if blob is not None else packages
            try:
                form = verify_zip(check, path, name, taken[index], built(build, os.path.join(folder, name)),
                                  read_member(built(build, os.path.join(packages, name)) if name in names else None, EXE),
                                  {other: built(build, os.path.join(folder, other)) for other in names if other != name})
            except Exception as error:  # a verdict for every zip, whatever one of them holds
                check.fail(f"zip: the verifier could not check it ({type(error).__name__}: {error})")
            if check.failures == 0:
                print(f"verified: {check.label} is the release of commit {sha} ({form})")
            else:
                print(f"NOT verified: {check.label}: {check.failures} check(s) failed")
        return all(check.failures == 0 for check in checks)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def interrupted(number, frame):
    raise KeyboardInterrupt  # the build and the work folder go on the way out, as after Ctrl-C


def main(args):
    sys.stdout.reconfigure(line_buffering=True)  # in order with what goes to stderr
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    usage = "usage: verify-release.sh ZIP... [COMMIT]"
    zips = [(arg, os.path.abspath(arg)) for arg in args if arg.endswith(".zip")]
    commits = [arg for arg in args if not arg.endswith(".zip")]
    missing = [given for given, path in zips if not os.path.isfile(path)]
    if not zips or len(commits) > 1 or missing:
        print(f"verify-release: no file {shown(missing[0])}" if missing else usage, file=sys.stderr)
        return 2
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        wanted = settings(os.environ, os.getcwd())
        return 0 if verify(repo, zips, commits[0] if commits else "HEAD", wanted) else 1
    except Refused as problem:
        print(f"verify-release: {problem}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("verify-release: interrupted; nothing verified", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
