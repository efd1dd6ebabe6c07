#!/usr/bin/env python3
"""Stand-ins for the tools a release and a review run besides codesign
(standin.py), so that scripts/macos-release and scripts/macos-review run
here end to end. Run as toolchain.py TOOL ARGUMENT...; tests/macos/run
writes a wrapper a tool.

cmake TOOLS HELPER ...: CMake as scripts/macos-build runs it.
  --version; --fresh --preset macos (without --fresh a cache already there
  is kept); --build --preset macos. The cache holds what CMake reads from
  the environment (CFLAGS, CXXFLAGS, LDFLAGS). The build is HELPER, the
  cross-built helper, with one byte changed for each thing that would
  change a real build's bytes: a CXXFLAGS that reached it; the Xcode at
  /Applications/Xcode_16.3.app; a file "code-changed" in the source; a
  second build (a folder named build-again) when TOOLS/differ-again exists.
pkgbuild, pkgutil --check-signature | --expand-full, spctl --assess,
notarytool submit | log, stapler staple | validate: a package is a tar of
Payload/..., PackageInfo, Signature (the identity and the SHA-256 of the
payload) and, once stapled, Ticket. FAULTS=package-signature signs it with
a wrong digest. NOTARY (Accepted, Invalid or none: no status at all) is the
notary service's answer; notarytool --wait exits 0 on each, as it has been
seen to (notarytool(1) says nothing of it).
"""
import hashlib
import io
import json
import os
import struct
import sys
import tarfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standin  # noqa: E402


def fail(message, status=1):
    print(message, file=sys.stderr)
    sys.exit(status)


def cmake(tools, helper, args):
    if args == ["--version"]:
        print("cmake version 3.31.6\n\nCMake suite maintained and supported by Kitware (kitware.com/cmake).")
        return
    folder = "build-macos/universal"
    cache = f"{folder}/CMakeCache.txt"
    if args == ["--fresh", "--preset", "macos"] or (args == ["--preset", "macos"] and not os.path.exists(cache)):
        os.makedirs(folder, exist_ok=True)
        compilers = os.environ["DEVELOPER_DIR"] + "/Toolchains/XcodeDefault.xctoolchain/usr/bin"
        env = os.environ.get
        entries = {
            "CMAKE_GENERATOR:INTERNAL": "Unix Makefiles",
            "CMAKE_C_COMPILER:FILEPATH": f"{compilers}/cc",
            "CMAKE_CXX_COMPILER:FILEPATH": f"{compilers}/c++",
            "CMAKE_C_FLAGS:STRING": env("CFLAGS", ""),
            "CMAKE_C_FLAGS_RELEASE:STRING": "-O3 -DNDEBUG",
            "CMAKE_CXX_FLAGS:STRING": env("CXXFLAGS", ""),
            "CMAKE_CXX_FLAGS_RELEASE:STRING": "-O3 -DNDEBUG",
            "CMAKE_EXE_LINKER_FLAGS:STRING": env("LDFLAGS", ""),
            "CMAKE_EXE_LINKER_FLAGS_RELEASE:STRING": "",
        }
        with open(cache, "w") as f:
            f.write("# This is the CMakeCache file.\n" + "".join(f"{k}={v}\n" for k, v in entries.items()))
        return
    if args == ["--preset", "macos"]:
        return
    if args != ["--build", "--preset", "macos"]:
        fail(f"cmake: not a call scripts/macos-build makes: {args}")
    with open(cache) as f:
        cached = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    changes = [
        cached["CMAKE_CXX_FLAGS:STRING"] != "",
        "/Xcode_16.3.app/" in os.environ["DEVELOPER_DIR"],
        os.path.exists("code-changed"),
        os.path.exists(f"{tools}/differ-again") and "/build-again/" in os.getcwd(),
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
        return {m.name: tar.extractfile(m).read() if m.isfile() else None for m in tar.getmembers()}


def digest(files):
    h = hashlib.sha256()
    for name in sorted(files):
        if name.startswith("Payload/"):
            h.update(name.encode() + b"\0" + (files[name] or b"") + b"\0")
    return h.hexdigest()


def write(path, files):
    with tarfile.open(path, "w") as tar:
        for name, content in sorted(files.items()):
            info = tarfile.TarInfo(name)
            info.size = len(content)
            info.mode = 0o755
            tar.addfile(info, io.BytesIO(content))


def signer(path):
    """The package's signing identity, or None where it doesn't verify."""
    files = members(path)
    signature = (files.get("Signature") or b"").decode().split("\n")
    return signature[0] if len(signature) > 1 and signature[1] == digest(files) else None


def pkgbuild(args):
    option = lambda name: args[args.index(name) + 1]
    root, location, output = option("--root"), option("--install-location"), args[-1]
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[f"Payload{location}/{os.path.relpath(path, root)}"] = open(path, "rb").read()
    files["PackageInfo"] = f"{option('--identifier')} {option('--version')}\n".encode()
    wrong = "package-signature" in os.environ.get("FAULTS", "")
    files["Signature"] = f"{option('--sign')}\n{'0' * 64 if wrong else digest(files)}\n".encode()
    write(output, files)
    print(f"pkgbuild: Wrote package to {output}")


def pkgutil(args):
    if args[0] == "--check-signature":
        identity = signer(args[1])
        print(f'Package "{os.path.basename(args[1])}":')
        if identity is None:
            fail("   Status: package is invalid (checksum did not verify)")
        print("   Status: signed by a developer certificate issued by Apple for distribution")
        print(f"   Certificate Chain:\n    1. {identity}\n    2. Developer ID Certification Authority\n    3. Apple Root CA")
    elif args[0] == "--expand-full":
        package, folder = args[1:3]
        if os.path.exists(folder):
            fail(f"Error: {folder} already exists")
        for name, content in members(package).items():
            if name.startswith("Payload/") or name == "PackageInfo":
                os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(content)
    else:
        fail(f"pkgutil: unknown operation {args[0]}")


def spctl(args):
    path = args[-1]
    if signer(path) and "Ticket" in members(path):
        print(f"{path}: accepted\nsource=Notarized Developer ID\norigin={signer(path)}", file=sys.stderr)
    else:
        fail(f"{path}: rejected\nsource=Unnotarized Developer ID", 3)


def notarytool(args):
    if args[0] == "log":
        output = args[-1] if len(args) > 4 else None
        text = json.dumps({"jobId": args[1], "status": os.environ.get("NOTARY", "Accepted"), "issues": []})
        open(output, "w").write(text) if output else print(text)
        return
    answer = {"id": "2efe2717-52ef-43a5-96dc-0797e4ca1041", "message": "Processing complete"}
    if os.environ.get("NOTARY", "Accepted") != "none":
        answer["status"] = os.environ.get("NOTARY", "Accepted")
    print(json.dumps(answer, indent=2))


def stapler(args):
    path = args[-1]
    files = members(path)
    if args[0] == "staple":
        if not signer(path):
            fail(f"CloudKit query for {os.path.basename(path)} failed: Record not found", 65)
        files["Ticket"] = b"ticket\n"
        write(path, files)
        print("The staple and validate action worked!")
    elif "Ticket" in files:
        print("The validate action worked!")
    else:
        fail(f"{os.path.basename(path)} does not have a ticket stapled to it.", 65)


if __name__ == "__main__":
    tool, *arguments = sys.argv[1:]
    tools = {"pkgbuild": pkgbuild, "pkgutil": pkgutil, "spctl": spctl, "notarytool": notarytool, "stapler": stapler}
    if tool == "cmake":
        cmake(arguments[0], arguments[1], arguments[2:])
    else:
        tools[tool](arguments)
