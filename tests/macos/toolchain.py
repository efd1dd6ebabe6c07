#!/usr/bin/env python3
"""Stand-ins for the tools a release and a review run besides codesign
(standin.py), so that scripts/macos-release and scripts/macos-review run
here end to end. Run as toolchain.py TOOL ARGUMENT...; tests/macos/run
writes a wrapper a tool.

cmake TOOLS HELPER ...: CMake as scripts/macos-build runs it: --version;
  --fresh --preset macos; --build --preset macos. The cache holds what
  CMake reads from the environment (CFLAGS, CXXFLAGS, LDFLAGS). The build is HELPER, the
  cross-built helper, with one byte changed for each thing that would
  change a real build's bytes: a CXXFLAGS that reached it; the Xcode at
  /Applications/Xcode_16.3.app; a file "code-changed" in the source; a
  second build (a folder named build-again) when TOOLS/differ-again exists;
  that build's C flags get -DAGAIN when TOOLS/inputs-differ-again does.
  Its version is TOOLS/cmake-version's, else 3.31.6. At configure it runs
  the source's configure-hook, if there is one, as a CMakeLists may run
  anything.
pkgbuild, pkgutil, lsbom, spctl, notarytool, stapler: a package is a tar
of a Bom, PackageInfo, Payload (a gzip'd cpio), Scripts/...,
Signature (the identity and the SHA-256 of the rest) and, once stapled,
Ticket; each function says what of its man page it follows.
sandbox-exec: a fixed confinement by bubblewrap, not the profile's. NOTARY
(Accepted, Invalid or none: no status at all) is the notary service's
answer; notarytool --wait exits 0 on each, or 1 with FAULTS=submit-fails,
its JSON printed either way: the release must trust neither reading of its
status (notarytool(1) does not say what it is).
"""
import gzip
import hashlib
import io
import json
import os
import stat
import struct
import subprocess
import sys
import tarfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402


def fail(message, status=1):
    print(message, file=sys.stderr)
    sys.exit(status)


def cmake(tools, helper, args):
    if args == ["--version"]:
        version = open(f"{tools}/cmake-version").read().strip() if os.path.exists(f"{tools}/cmake-version") else "3.31.6"
        print(f"cmake version {version}\n\nCMake suite maintained and supported by Kitware (kitware.com/cmake).")
        return
    folder = "build-macos/universal"
    cache = f"{folder}/CMakeCache.txt"
    again = lambda name: os.path.exists(f"{tools}/{name}") and "/build-again/" in os.getcwd()
    if args == ["--fresh", "--preset", "macos"]:
        os.makedirs(folder, exist_ok=True)
        compilers = os.environ["DEVELOPER_DIR"] + "/Toolchains/XcodeDefault.xctoolchain/usr/bin"
        env = os.environ.get
        entries = {
            "CMAKE_GENERATOR:INTERNAL": "Unix Makefiles",
            "CMAKE_C_COMPILER:FILEPATH": f"{compilers}/cc",
            "CMAKE_CXX_COMPILER:FILEPATH": f"{compilers}/c++",
            "CMAKE_C_FLAGS:STRING": env("CFLAGS", "") + (" -DAGAIN" if again("inputs-differ-again") else ""),
            "CMAKE_C_FLAGS_RELEASE:STRING": "-O3 -DNDEBUG",
            "CMAKE_CXX_FLAGS:STRING": env("CXXFLAGS", ""),
            "CMAKE_CXX_FLAGS_RELEASE:STRING": "-O3 -DNDEBUG",
            "CMAKE_EXE_LINKER_FLAGS:STRING": env("LDFLAGS", ""),
            "CMAKE_EXE_LINKER_FLAGS_RELEASE:STRING": "",
        }
        with open(cache, "w") as f:
            f.write("# This is the CMakeCache file.\n" + "".join(f"{k}={v}\n" for k, v in entries.items()))
        # A commit's CMakeLists can run anything it likes at configure.
        if os.path.exists("configure-hook"):
            subprocess.call(["sh", "configure-hook"])
        return
    if args != ["--build", "--preset", "macos"]:
        fail(f"cmake: not a call scripts/macos-build makes: {args}")
    with open(cache) as f:
        cached = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    changes = [
        cached["CMAKE_CXX_FLAGS:STRING"] != "",
        "/Xcode_16.3.app/" in os.environ["DEVELOPER_DIR"],
        os.path.exists("code-changed"),
        again("differ-again"),
    ]
    data = bytearray(open(helper, "rb").read())
    _, slices = standin.split(bytes(data))
    offset = struct.unpack_from(">I", data, 16)[0]  # the first slice's
    code = offset + standin.commands(slices[0][1])[2]
    for i, changed in enumerate(changes):
        data[code + i] ^= 0xFF if changed else 0
    with open(f"{folder}/ZartoHelper", "wb") as f:
        f.write(data)
    os.chmod(f"{folder}/ZartoHelper", 0o755)


def members(path):
    with tarfile.open(path) as tar:
        return {m.name: tar.extractfile(m).read() for m in tar.getmembers()}


def digest(files):
    """What the package's signature covers: every part of it but the
    signature and the ticket (a flat package's table of contents holds a
    checksum of each part, and the signature covers the table)."""
    h = hashlib.sha256()
    for name in sorted(set(files) - {"Signature", "Ticket"}):
        h.update(name.encode() + b"\0" + files[name] + b"\0")
    return h.hexdigest()


def write(path, files):
    with tarfile.open(path, "w") as tar:
        for name, content in sorted(files.items()):
            info = tarfile.TarInfo(name)
            info.size = len(content)
            tar.addfile(info, io.BytesIO(content))


def signer(path):
    """The package's signing identity, or None where it doesn't verify."""
    files = members(path)
    signature = files.get("Signature", b"").decode().split("\n")
    return signature[0] if len(signature) > 1 and signature[1] == digest(files) else None


def archive(entries):
    """A Payload as pkgbuild --compression legacy makes one: a gzip'd cpio
    (odc) of (path, mode, uid, gid, data) entries; a Mac's tar reads it."""
    out = b""
    for ino, (path, mode, uid, gid, data) in enumerate(entries + [("TRAILER!!!", 0, 0, 0, b"")], 1):
        name = path.encode() + b"\0"
        out += b"070707%06o%06o%06o%06o%06o%06o%06o%011o%06o%011o" % (0, ino, mode, uid, gid, 1, 0, 0, len(name), len(data))
        out += name + data
    return gzip.compress(out, mtime=0)


def pkgbuild(args):
    """pkgbuild(1): --root's whole tree (the root itself is the install
    folder, "."), each entry's mode from disk, its owner as --ownership says
    (recommended, the default: root:wheel for all; preserve: the disk's);
    --scripts' files as the package's scripts; --compression taken and
    ignored. The Bom keeps each entry's path, mode, owner, size and link;
    the Payload archive the same entries with their contents.
    FAULTS=package-signature signs it with a wrong digest; payload-extra
    adds a file the Bom doesn't list."""
    options = dict(zip(args[:-1:2], args[1:-1:2]))
    root, ownership = options["--root"], options.get("--ownership", "recommended")
    faults = os.environ.get("FAULTS", "")
    bom, payload, files = [], [], {}
    for folder, folders, names in os.walk(root):
        for name in [None] + sorted(folders + names):
            path = folder if name is None else os.path.join(folder, name)
            if name is None and folder != root:
                continue
            st = os.lstat(path)
            owner = (st.st_uid, st.st_gid)
            if ownership == "recommended":
                owner = (0, 0)
            relative = "." if path == root else "./" + os.path.relpath(path, root)
            link = os.readlink(path) if stat.S_ISLNK(st.st_mode) else ""
            size = len(link) if link else st.st_size if stat.S_ISREG(st.st_mode) else 0
            bom.append([relative, st.st_mode, owner[0], owner[1], size, link])
            data = link.encode() if link else open(path, "rb").read() if stat.S_ISREG(st.st_mode) else b""
            payload.append((relative, st.st_mode, owner[0], owner[1], data))
    if "payload-extra" in faults:
        payload.append(("./extra", stat.S_IFREG | 0o755, 0, 0, b"#!/bin/sh\n"))
    files["Payload"] = archive(payload)
    info = f'<pkg-info format-version="2" identifier="{options["--identifier"]}" version="{options["--version"]}"'
    info += f' install-location="{options["--install-location"]}" auth="root">\n'
    scripts = options.get("--scripts")
    if scripts:
        named = sorted(os.listdir(scripts))
        for name in named:
            files["Scripts/" + name] = open(os.path.join(scripts, name), "rb").read()
        info += "    <scripts>\n" + "".join(f'        <{n} file="./{n}"/>\n' for n in named if n in ("preinstall", "postinstall"))
        info += "    </scripts>\n"
    files["PackageInfo"] = (info + "</pkg-info>\n").encode()
    files["Bom"] = json.dumps(bom).encode()
    wrong = "package-signature" in faults
    files["Signature"] = f"{options['--sign']}\n{'0' * 64 if wrong else digest(files)}\n".encode()
    write(args[-1], files)
    print(f"pkgbuild: Wrote package to {args[-1]}")


def apple_issued(identity):
    """Whether IDENTITY is a Developer ID Installer under Apple's own chain;
    "A|B|C" names a chain of the signer's own making, which this Mac trusts
    (its names as the signer chose them)."""
    return identity.startswith("Developer ID Installer: ") and "|" not in identity


def pkgutil(args):
    """pkgutil(1): --check-signature shows the status and the certificate
    chain, leaf first; --expand writes the package's parts as stored (the
    Payload an archive); --expand-full (in no page before Xcode 27's) lays
    out what the Payload archive holds instead, each mode as the archive
    says (the owner is the caller's)."""
    if args[0] == "--check-signature":
        identity = signer(args[1])
        print(f'Package "{os.path.basename(args[1])}":')
        if identity is None:
            fail("   Status: package is invalid (checksum did not verify)")
        if apple_issued(identity):
            print("   Status: signed by a developer certificate issued by Apple for distribution")
            chain = [identity, "Developer ID Certification Authority", "Apple Root CA"]
        else:
            print("   Status: signed by a certificate trusted by macOS")
            chain = identity.split("|")
        print("   Certificate Chain:")
        for i, name in enumerate(chain, 1):
            print(f"    {i}. {name}")
    elif args[0] in ("--expand", "--expand-full"):
        package, folder = args[1:3]
        if os.path.exists(folder):
            fail(f"Error: {folder} already exists")
        files = members(package)
        os.makedirs(folder)
        for name, content in files.items():
            if name in ("Signature", "Ticket") or (name == "Payload" and args[0] == "--expand-full"):
                continue
            os.makedirs(os.path.dirname(f"{folder}/{name}"), exist_ok=True)
            open(f"{folder}/{name}", "wb").write(content)
        if args[0] == "--expand":
            return
        os.makedirs(f"{folder}/Payload", exist_ok=True)
        subprocess.run(["bsdtar", "-xpf", "-", "-C", f"{folder}/Payload"], input=files["Payload"], check=True)
    else:
        fail(f"pkgutil: unknown operation {args[0]}")


def lsbom(args):
    """lsbom(8) without options: path, mode (octal), UID/GID; a plain file's
    size and checksum, a link's size, checksum and target, after them."""
    for path, mode, uid, gid, size, link in json.loads(open(args[-1], "rb").read()):
        line = f"{path}\t{mode:o}\t{uid}/{gid}"
        if stat.S_ISREG(mode) or stat.S_ISLNK(mode):
            line += f"\t{size}\t{zlib.crc32(link.encode()) if link else 0}"
        print(line + (f"\t{link}" if link else ""))


def spctl(args):
    """spctl(8): --status says whether assessments are enabled
    (ASSESSMENTS, default enabled); disabled, an assessment is accepted
    whatever the file (the page: only enabled do the APIs "report the
    truth"; the override line is the stand-in's). --assess accepts a
    package signed by a Developer ID Installer with a ticket stapled, and
    exits 3 for any other; FAULTS=assess-unnotarized has it name even that
    one unnotarized, as a ticket revoked since it was stapled would be."""
    disabled = os.environ.get("ASSESSMENTS", "enabled") == "disabled"
    if args == ["--status"]:
        print("assessments disabled" if disabled else "assessments enabled")
        return
    path = args[-1]
    identity = signer(path) or ""
    if disabled:
        print(f"{path}: accepted\noverride=security disabled", file=sys.stderr)
    elif apple_issued(identity) and "Ticket" in members(path) and "assess-unnotarized" not in os.environ.get("FAULTS", ""):
        print(f"{path}: accepted\nsource=Notarized Developer ID\norigin={identity}", file=sys.stderr)
    else:
        source = "Unnotarized Developer ID" if identity.startswith("Developer ID") else "no usable signature"
        fail(f"{path}: rejected\nsource={source}", 3)


def sandbox_exec(args):
    """sandbox-exec(1) -f PROFILE -D WRITABLE=... -D PACKAGE=... -D
    PRIVATE=... COMMAND...: bubblewrap's fixed confinement, not PROFILE's:
    all read-only but WRITABLE, PACKAGE empty, PRIVATE an empty folder, no
    network; what COMMAND leaves running outlives it, as on a Mac."""
    options = {}
    while args[0] in ("-f", "-D"):
        flag, value = args[:2]
        args = args[2:]
        key, _, value = value.partition("=") if flag == "-D" else ("profile", "", value)
        options[key] = value
    if "(version 1)" not in open(options["profile"]).read():
        fail("sandbox-exec: the profile is not one")
    command = ["bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--bind", options["WRITABLE"], options["WRITABLE"]]
    if os.path.exists(options["PACKAGE"]):
        command += ["--ro-bind", "/dev/null", options["PACKAGE"]]
    if os.path.isdir(options["PRIVATE"]):
        command += ["--tmpfs", options["PRIVATE"]]
    os.execvp("bwrap", command + ["--unshare-net", "--", *args])


def notarytool(args):
    if args[0] == "log":  # notarytool log ID --keychain-profile PROFILE OUTPUT
        open(args[-1], "w").write(json.dumps({"jobId": args[1], "status": os.environ.get("NOTARY"), "issues": []}))
        return
    answer = {"id": "2efe2717-52ef-43a5-96dc-0797e4ca1041", "message": "Processing complete"}
    if os.environ.get("NOTARY", "Accepted") != "none":
        answer["status"] = os.environ.get("NOTARY", "Accepted")
    print(json.dumps(answer, indent=2))
    if "submit-fails" in os.environ.get("FAULTS", ""):
        sys.exit(1)


def stapler(args):
    """stapler(1): staple attaches a ticket to a signed package; validate
    exits 0 where one is stapled, else 65 (EX_DATAERR). FAULTS=ticket-invalid
    makes validate refuse a stapled ticket, as a revoked one would be."""
    path = args[-1]
    files = members(path)
    if args[0] == "staple":
        if not signer(path):
            fail(f"CloudKit query for {os.path.basename(path)} failed: Record not found", 65)
        files["Ticket"] = b"ticket\n"
        write(path, files)
        print("The staple and validate action worked!")
    elif "Ticket" in files and "ticket-invalid" not in os.environ.get("FAULTS", ""):
        print("The validate action worked!")
    else:
        fail(f"{os.path.basename(path)} does not have a ticket stapled to it.", 65)


if __name__ == "__main__":
    tool, *arguments = sys.argv[1:]
    if tool == "cmake":
        cmake(arguments[0], arguments[1], arguments[2:])
    else:
        globals()[tool.replace("-", "_")](arguments)
