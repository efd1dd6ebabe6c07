#!/usr/bin/env python3
"""Apple's codesign and codesign_allocate, as stand-ins on Linux that edit
real Mach-O files as the published sources do (remove and allocate below),
so that scripts/macos-verify runs here on the cross-built helper. Run by the
name it is linked as:
  codesign_allocate -i IN (-r | -a ARCH SIZE...) -o OUT
      cctools' misc/codesign_allocate.c as of cctools-1009.2, its last
      change up to cctools-1035.1.102, with libstuff/writeout.c;
      CCTOOLS=898 follows cctools-898's instead (its removal and its
      segment alignment)
  codesign -s IDENTITY [--options runtime] [--timestamp[=none]]
           [-i|--identifier ID] [-r=REQUIREMENT] FILE
  codesign --verify FILE | -d [-a ARCH] [--entitlements - --xml] FILE
  codesign --remove-signature FILE
      Security's OSX/libsecurity_codesigning/lib/codesign_alloc.cpp as of
      Security-61439.1.1, and lib/signer.cpp's code directory flags
ALLOCATOR=cctools[:ROUND] signs by cctools' rules instead, the x86_64 vmsize
rounded to ROUND: how allocators have differed. FAULTS, a comma-separated
list of no-runtime, no-timestamp, entitlement and no-requirement, each alone
or as ARCH:FAULT for one slice, makes codesign sign short of what it was
asked, as a wrong identity, an old codesign or an edited script would: so
that a check of the result is seen to refuse it; FAULTS=entitlements-refused
makes reading the entitlements fail, requirement-refused refuses any -r,
and removal-shrinks has --remove-signature shrink __LINKEDIT's vmsize (as
no published codesign does). The signature is a stand-in too: a
magic, the SHA-256 of every byte before it, what codesign -d says, and the
entitlements (codesign -d --entitlements -).

As strict as codesign(1) (Xcode 16.4's page, May 7, 2011) where the scripts
rely on it: without --force, signing a file that has a signature fails
(the linker's own included); -d without -a shows the slice of the host's
architecture (HOST_ARCH, as the run sets it; a Mac has one), not every
slice. Where the page says nothing (what -d shows of a signature that
doesn't verify, what --strict adds for a bare Mach-O) the stand-in refuses
the first and ignores the second.
"""
import hashlib
import os
import re
import struct
import sys

FAT_MAGIC = 0xCAFEBABE
MH_MAGIC_64 = 0xFEEDFACF
LC_SEGMENT_64 = 0x19
LC_SYMTAB = 0x2
LC_CODE_SIGNATURE = 0x1D
ARCHS = {0x01000007: "x86_64", 0x0100000C: "arm64"}
# cctools-898 took the segment alignment from the architecture.
SEGALIGN = {"x86_64": 0x1000, "arm64": 0x4000}
CCTOOLS_898 = os.environ.get("CCTOOLS") == "898"
# Code directory flags, named as Security's lib/codedirectory.cpp names them.
ADHOC, RUNTIME = 0x2, 0x10000
BLOB = b"\xfa\xde\x0c\xc0standin"
FAULTS = set(filter(None, os.environ.get("FAULTS", "").split(",")))


def fault(name, m):
    """Whether FAULTS plants NAME in slice M: for every slice, or for its own."""
    return name in FAULTS or f"{arch(m)}:{name}" in FAULTS
GET_TASK_ALLOW = (
    '<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
    '"http://www.apple.com/DTDs/PropertyList-1.0.dtd"><plist version="1.0"><dict>'
    "<key>com.apple.security.get-task-allow</key><true/></dict></plist>\n"
)


def rnd(value, align):
    return (value + align - 1) // align * align


def fail(message):
    print(f"{os.path.basename(sys.argv[0])}: {message}", file=sys.stderr)
    sys.exit(1)


def split(data):
    """(universal, [[alignment, slice]]) of a file's bytes."""
    if struct.unpack_from(">I", data)[0] == FAT_MAGIC:
        count = struct.unpack_from(">I", data, 4)[0]
        slices = []
        for i in range(count):
            _, _, offset, size, align = struct.unpack_from(">iiIII", data, 8 + 20 * i)
            slices.append([align, bytearray(data[offset : offset + size])])
        return True, slices
    if struct.unpack_from("<I", data)[0] != MH_MAGIC_64:
        fail("not a Mach-O file")
    return False, [[None, bytearray(data)]]


def join(universal, slices, security):
    if not universal:
        return bytes(slices[0][1])
    header = struct.pack(">II", FAT_MAGIC, len(slices))
    body, offset = b"", 8 + 20 * len(slices)
    if security:
        offset = 0x4000
    for align, m in slices:
        align = 14 if security else align
        offset = rnd(offset, 1 << align)
        cputype, subtype = struct.unpack_from("<ii", m, 4)
        header += struct.pack(">iiIII", cputype, subtype, offset, len(m), align)
        body = body.ljust(offset) + m
        offset += len(m)
    return header + body[len(header) :]


def arch(m):
    return ARCHS[struct.unpack_from("<I", m, 4)[0]]


def load_commands(m):
    offset = 32
    for _ in range(struct.unpack_from("<I", m, 16)[0]):
        yield offset, struct.unpack_from("<I", m, offset)[0]
        offset += struct.unpack_from("<I", m, offset + 4)[0]


def commands(m):
    """(linkedit, signature, first section's file offset) of a slice."""
    linkedit = signature = None
    first = len(m)
    for offset, cmd in load_commands(m):
        if cmd == LC_CODE_SIGNATURE:
            signature = offset
        elif cmd == LC_SEGMENT_64:
            if m[offset + 8 : offset + 24].rstrip(b"\0") == b"__LINKEDIT":
                linkedit = offset
            for s in range(struct.unpack_from("<I", m, offset + 64)[0]):
                size, at = struct.unpack_from("<QI", m, offset + 72 + 80 * s + 40)
                if size and at:
                    first = min(first, at)
    return linkedit, signature, first


def segalign(m):
    """cctools-973.0.1 and later (libstuff/align.c, get_seg_align): the
    smallest alignment any segment's address allows, 2**3 to 2**15."""
    if CCTOOLS_898:
        return SEGALIGN[arch(m)]
    exponent = 15
    for offset, cmd in load_commands(m):
        if cmd == LC_SEGMENT_64:
            vmaddr = struct.unpack_from("<Q", m, offset + 24)[0]
            if vmaddr:
                exponent = min(exponent, max(3, (vmaddr & -vmaddr).bit_length() - 1))
    return 1 << exponent


def symbols_end(m):
    """Where __LINKEDIT's own data ends: the string table comes last."""
    for offset, cmd in load_commands(m):
        if cmd == LC_SYMTAB:
            stroff, strsize = struct.unpack_from("<II", m, offset + 16)
            return stroff + strsize
    fail("no LC_SYMTAB")


def strip(m, signature):
    ncmds, sizeofcmds = struct.unpack_from("<II", m, 16)
    end = 32 + sizeofcmds
    m[signature:end] = m[signature + 16 : end] + bytes(16)
    struct.pack_into("<II", m, 16, ncmds - 1, sizeofcmds - 16)


def remove(m, cctools):
    """The signature and its load command go; __LINKEDIT's vmsize stays.
    Security's removal ends the file and __LINKEDIT where the signature
    began (Security-61901.0.87.0.1 ends them at the string table's end
    where that is at most 12 bytes before). cctools' writes the file out
    to the end of __LINKEDIT's own data, and takes the bytes that rounded
    the signature's offset up to 16 off the filesize with the signature;
    cctools-898 took the signature's size alone, so the filesize ran past
    the file's end by those bytes."""
    linkedit, signature, _ = commands(m)
    if signature is None:
        return
    dataoff, datasize = struct.unpack_from("<II", m, signature + 8)
    fileoff, filesize = struct.unpack_from("<QQ", m, linkedit + 40)
    end = symbols_end(m) if cctools else dataoff
    if not cctools:
        filesize = dataoff - fileoff
        if "removal-shrinks" in FAULTS:
            struct.pack_into("<Q", m, linkedit + 32, rnd(filesize, 0x4000))
    elif CCTOOLS_898:
        filesize -= datasize
    else:
        filesize -= dataoff - end + datasize
    struct.pack_into("<Q", m, linkedit + 48, filesize)
    strip(m, signature)
    del m[end:]


def allocate(m, size, cctools, align):
    """Room for SIZE bytes of signature, zeros; its offset. Security's
    allocator sets the vmsize, cctools' only grows it. In place of a
    signature, Security keeps its offset, as cctools-898 did; today's
    cctools puts it at the end of __LINKEDIT's own data rounded up to 16.
    cctools writes __LINKEDIT's own data, zeros up to the room's offset and
    the room, but the file is as long as it counted: with no load command,
    the file as it came, the rounding it added and the room; short of the
    room's end where cctools-898's removal had left the filesize past the
    file's end."""
    linkedit, signature, first = commands(m)
    vmsize, fileoff, filesize = struct.unpack_from("<QQQ", m, linkedit + 32)
    length = None
    if signature is None:
        ncmds, sizeofcmds = struct.unpack_from("<II", m, 16)
        if 32 + sizeofcmds + 16 > first:
            fail("larger updated load commands do not fit")
        signature = 32 + sizeofcmds
        struct.pack_into("<II", m, 16, ncmds + 1, sizeofcmds + 16)
        end = fileoff + filesize
        dataoff = rnd(end, 16)
        length = len(m) + dataoff - end + size
    elif cctools and not CCTOOLS_898:
        dataoff = rnd(symbols_end(m), 16)
    else:
        dataoff = struct.unpack_from("<I", m, signature + 8)[0]
    struct.pack_into("<IIII", m, signature, LC_CODE_SIGNATURE, 16, dataoff, size)
    filesize = dataoff + size - fileoff
    wanted = rnd(filesize, align)
    struct.pack_into("<QQQ", m, linkedit + 32, max(vmsize, wanted) if cctools else wanted, fileoff, filesize)
    del m[symbols_end(m) if cctools else dataoff :]
    m.extend(bytes((length if cctools and length else dataoff + size) - len(m)))
    return dataoff


def codesign_allocate(args):
    source = output = None
    remove_all, sizes = False, {}
    while args:
        flag = args.pop(0)
        if flag == "-i":
            source = args.pop(0)
        elif flag == "-o":
            output = args.pop(0)
        elif flag == "-r":
            remove_all = True
        elif flag == "-a":
            name, size = args.pop(0), int(args.pop(0), 0)
            if size % 16:
                fail(f"size for '-a {name} {size}' not a multiple of 16")
            sizes[name] = size
        else:
            fail(f"unknown flag: {flag}")
    if "allocate-refused" in FAULTS:
        fail("can't allocate: FAULTS=allocate-refused")
    if not source or not output or remove_all == bool(sizes):
        fail("usage: -i input [-a <arch> <size>]... | -r -o output")
    with open(source, "rb") as f:
        universal, slices = split(f.read())
    for _, m in slices:
        if remove_all:
            remove(m, True)
        elif arch(m) in sizes:
            allocate(m, sizes.pop(arch(m)), True, segalign(m))
    if sizes:
        fail(f"input file: {source} does not contain a matching architecture for '-a {next(iter(sizes))}'")
    with open(output, "wb") as f:
        f.write(join(universal, slices, False))


def sign(path, identity, asked, identifier, requirement, force):
    rule, _, round_to = os.environ.get("ALLOCATOR", "security").partition(":")
    with open(path, "rb") as f:
        universal, slices = split(f.read())
    if not force and any(commands(m)[1] is not None for _, m in slices):
        fail(f"{path}: is already signed")
    developer = identity != "-"
    for _, m in slices:
        runtime = asked["runtime"] and not fault("no-runtime", m)
        timestamp = asked["timestamp"] and not fault("no-timestamp", m)
        entitlements = GET_TASK_ALLOW if fault("entitlement", m) else ""
        requirement = "" if fault("no-requirement", m) else requirement
        # Ad hoc: the code directory, a hash a 4 KiB page, and the requirement.
        # A Developer ID adds a CMS blob with the certificate chain and a
        # timestamp: 18,014 bytes, the room one public Developer ID-signed
        # arm64 binary was given (recorded without its name); what matters
        # is that it is more than a 16 KiB page.
        room = 1024 + 32 * (len(m) // 4096 + 1) + len(requirement) + len(entitlements)
        room += 18014 if developer else 0
        align = 0x4000 if rule == "security" else segalign(m)
        if round_to and arch(m) == "x86_64":
            align = int(round_to, 0)
        dataoff = allocate(m, rnd(room, 16), rule != "security", align)
        # Security's signer sets the ad-hoc flag on every ad-hoc signature
        # (lib/signer.cpp); codesign -d names every flag set.
        flags = (0 if developer else ADHOC) | (RUNTIME if runtime else 0)
        names = ",".join(name for bit, name in ((ADHOC, "adhoc"), (RUNTIME, "runtime")) if flags & bit)
        flags = f"{flags:#x}({names or 'none'})"
        lines = [f"Identifier={identifier}", f"CodeDirectory v=20500 flags={flags} location=embedded"]
        if developer:
            lines += [f"Authority={identity}", "Authority=Developer ID Certification Authority", "Authority=Apple Root CA"]
            lines += ["Timestamp=Dec 8, 2026 at 12:00:00"] if timestamp else []
        else:
            lines.append("Signature=adhoc")
        lines.append("TeamIdentifier=" + (identity.rpartition("(")[2].rstrip(")") if developer else "not set"))
        text = "\n".join(lines) + "\n\0" + entitlements + "\0"
        blob = BLOB + hashlib.sha256(m[:dataoff]).digest() + text.encode()
        m[dataoff : dataoff + len(blob)] = blob
    with open(path, "wb") as f:
        f.write(join(universal, slices, rule == "security"))


def signed_text(m, part=0):
    """The display lines (part 1: the entitlements) of a slice whose
    signature holds, else None."""
    _, signature, _ = commands(m)
    if signature is None:
        return None
    dataoff = struct.unpack_from("<I", m, signature + 8)[0]
    blob = m[dataoff:]
    digest = blob[len(BLOB) : len(BLOB) + 32]
    if not blob.startswith(BLOB) or digest != hashlib.sha256(m[:dataoff]).digest():
        return None
    return blob[len(BLOB) + 32 :].split(b"\0")[part].decode()


# The options the scripts give codesign that take a value; every other word
# that does not start with "-" is a path (codesign(1): "codesign -s identity
# [-i identifier] [-r requirements] [-fv] [path ...]").
VALUED = {"--sign", "--options", "--identifier", "-a", "--entitlements", "-R"}


def parse(args):
    """(options, paths): each option's value (True for a flag), and every
    operand, each of which must be a file."""
    options, paths = {}, []
    while args:
        word = args.pop(0)
        if word in VALUED:
            options[word] = args.pop(0)
        elif word.startswith("-") and word != "-":
            name, equals, value = word.partition("=")
            options[name] = value if equals else True
        else:
            paths.append(word)
    for path in paths:
        if not os.path.isfile(path):
            fail(f"{path}: No such file or directory")
    if not paths:
        fail("no path given")
    return options, paths


def team_required(requirement):
    """The team a Developer ID requirement names (certificate leaf[subject.OU]
    = "TEAM" under anchor apple generic), or None for any other."""
    found = re.search(r'certificate leaf\[subject\.OU\] = "?([A-Z0-9]+)"?', requirement)
    return found.group(1) if found and requirement.lstrip("=").startswith("anchor apple generic") else None


def codesign(args):
    options, paths = parse(list(args))
    get = options.get
    for path in paths:
        with open(path, "rb") as f:
            universal, slices = split(f.read())
        if get("--verify"):
            for _, m in slices:
                if signed_text(m) is None:
                    fail(f"{path}: invalid signature (code or signature have been modified)")
            requirement = get("-R")
            if requirement:
                team = team_required(requirement)
                for _, m in slices:
                    text = signed_text(m)
                    if team is None or "Signature=adhoc" in text or f"TeamIdentifier={team}\n" not in text:
                        print(f"{path}: valid on disk", file=sys.stderr)
                        print(f"{path}: does not satisfy its designated Requirement", file=sys.stderr)
                        print("test-requirement: code failed to satisfy specified code requirement(s)", file=sys.stderr)
                        sys.exit(3)
            print(f"{path}: valid on disk", file=sys.stderr)
        elif get("--remove-signature"):
            for _, m in slices:
                remove(m, False)
            with open(path, "wb") as f:
                f.write(join(universal, slices, True))
        elif get("--display"):
            display(path, slices, get("-a"), "--entitlements" in options)
        elif get("--sign"):
            if get("-r") and "requirement-refused" in FAULTS:
                fail(f"{path}: the requirement is refused: FAULTS=requirement-refused")
            sign(
                path,
                get("--sign"),
                {"runtime": get("--options") == "runtime", "timestamp": get("--timestamp") is True},
                get("--identifier", os.path.basename(path)),
                get("-r", ""),
                bool(get("--force")),
            )
        else:
            fail("unknown operation")


def display(path, slices, wanted, entitlements):
    asked = wanted is not None
    wanted = wanted or os.environ.get("HOST_ARCH", "arm64")
    m = next((m for _, m in slices if arch(m) == wanted), None if asked else slices[0][1])
    if m is None:
        fail(f"{path}: bad executable format: no architecture {wanted}")
    text = signed_text(m)
    if text is None:
        fail(f"{path}: code object is not signed at all")
    if entitlements and "entitlements-refused" in FAULTS:
        fail(f"{path}: unable to read entitlements")
    print(f"Executable={os.path.abspath(path)}", file=sys.stderr)
    # Entitlements go to standard output, and nothing when there are none.
    if entitlements:
        print(signed_text(m, 1), end="")
    else:
        print(text, end="", file=sys.stderr)


if __name__ == "__main__":
    name = os.path.basename(sys.argv[0])
    try:
        (codesign_allocate if name == "codesign_allocate" else codesign)(sys.argv[1:])
    except (OSError, IndexError, ValueError, StopIteration, struct.error) as error:
        fail(str(error))
