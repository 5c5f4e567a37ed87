#!/usr/bin/env python3
"""Checks of what the project ships, run by ctest.

  check_packaging.py help SOURCE_DIR
      The help pages: exactly the four topics, UTF-8, valid HTML (tidy), only what a
      QTextBrowser renders and nothing it would have to fetch.

  check_packaging.py install BUILD_DIR SOURCE_DIR VERSION
      `cmake --install` into a temporary prefix and `cpack -G DEB`: the installed files and the
      package's files are exactly the expected ones, desktop-file-validate and appstreamcli
      accept the installed tree, the icons have their sizes, the installed programs run, and the
      package's Depends name the Debian package of every library its programs need.

Exit status 0 when every check passes; each failure is printed.
"""

import html.parser
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

APP_ID = "org.onyx.Corvina"
HELP_TOPICS = ["Record", "Analyze", "Diagnose", "CommandLine"]
ICON_SIZES = [16, 22, 24, 32, 48, 64, 128, 256]
PROGRAMS = ["corvina", "corvina-tool"]

# Relative to the install prefix.
EXPECTED_FILES = (
    ["bin/" + p for p in PROGRAMS]
    + [
        "share/corvina/Diagnose.ddb",
        "lib/udev/rules.d/70-corvina-kestrel9.rules",
        f"share/applications/{APP_ID}.desktop",
        f"share/metainfo/{APP_ID}.metainfo.xml",
        f"share/mime/packages/{APP_ID}.xml",
        f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    ]
    + [f"share/dbus-1/interfaces/org.onyx.Corvina.{i}.xml" for i in ("ICoDevice", "ICoRecord")]
    + ["share/dbus-1/services/org.onyx.Corvina.service"]
    + [f"share/corvina/Help/{t}.html" for t in HELP_TOPICS]
    + [f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png" for s in ICON_SIZES]
)

# Runtime packages the package must depend on whatever its programs link today: the windows come
# with Qt Widgets, Charts, PrintSupport and D-Bus and need a platform plugin to open at all.
REQUIRED_DEPENDS = {
    "libc6", "libstdc++6", "libgcc-s1", "liblzo2-2", "zlib1g", "libhidapi-hidraw0", "libedf1",
    "libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6charts6", "libqt6printsupport6",
    "libqt6dbus6", "qt6-qpa-plugins",
}

# What QTextBrowser's rich text understands; other tags are silently dropped.
QT_RICH_TEXT_TAGS = {
    "a", "address", "b", "big", "blockquote", "body", "br", "center", "cite", "code", "dd",
    "dfn", "div", "dl", "dt", "em", "font", "h1", "h2", "h3", "h4", "h5", "h6", "head", "hr",
    "html", "i", "img", "kbd", "li", "meta", "nobr", "ol", "p", "pre", "s", "samp", "small", "span",
    "strong", "style", "sub", "sup", "table", "tbody", "td", "tfoot", "th", "thead", "title",
    "tr", "tt", "u", "ul", "var",
}

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def run(cmd, **kwargs):
    return subprocess.run(cmd, capture_output=True, text=True, **kwargs)


def need_tools(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print("missing tools: " + ", ".join(missing) + " (run scripts/install-deps)")
        sys.exit(1)


# ---- help pages -------------------------------------------------------------------------------


class PageScanner(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags = set()
        self.ids = set()
        self.hrefs = []
        self.resources = []
        self.lang = None
        self.title = ""
        self.charset = None
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.add(tag)
        if "id" in a:
            self.ids.add(a["id"])
        if tag == "html":
            self.lang = a.get("lang")
        if tag == "title":
            self._in_title = True
        if tag == "meta" and "content" in a:
            m = re.search(r"charset=([\w-]+)", a["content"], re.I)
            if m:
                self.charset = m.group(1).lower()
        if tag == "a" and "href" in a:
            self.hrefs.append(a["href"])
        for name in ("src", "background", "data"):
            if name in a:
                self.resources.append(f"<{tag} {name}={a[name]}>")
        if "style" in a and "url(" in a["style"]:
            self.resources.append(f"<{tag} style={a['style']}>")

    def handle_endtag(self, tag):
        if tag == "title":
            self._in_title = False

    def handle_data(self, data):
        if self._in_title:
            self.title += data


def check_help(source_dir):
    need_tools("tidy")
    help_dir = os.path.join(source_dir, "packaging", "help")
    pages = sorted(f for f in os.listdir(help_dir) if f.endswith(".html"))
    if pages != sorted(t + ".html" for t in HELP_TOPICS):
        fail(f"help pages {pages}, expected one per topic {HELP_TOPICS}")
    for topic in HELP_TOPICS:
        path = os.path.join(help_dir, topic + ".html")
        if not os.path.isfile(path):
            continue
        raw = open(path, "rb").read()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            fail(f"{topic}.html is not UTF-8: {e}")
            continue
        if raw.startswith(b"\xef\xbb\xbf"):
            fail(f"{topic}.html starts with a byte order mark")
        r = run(["tidy", "-q", "-e", "--doctype", "html5", path])
        if r.returncode != 0:
            fail(f"{topic}.html: tidy reports\n{r.stderr.strip()}")
        scan = PageScanner()
        scan.feed(text)
        scan.close()
        if scan.lang != "ru":
            fail(f'{topic}.html: <html lang="ru"> expected, got {scan.lang!r}')
        if scan.charset != "utf-8":
            fail(f"{topic}.html: no utf-8 charset declaration (got {scan.charset!r})")
        if not scan.title.strip():
            fail(f"{topic}.html: empty title")
        unsupported = scan.tags - QT_RICH_TEXT_TAGS
        if unsupported:
            fail(f"{topic}.html: tags a QTextBrowser does not render: {sorted(unsupported)}")
        if scan.resources:
            fail(f"{topic}.html: external resources {scan.resources}")
        for href in scan.hrefs:
            if not href.startswith("#"):
                fail(f"{topic}.html: link {href!r} leaves the page")
            elif href[1:] not in scan.ids:
                fail(f"{topic}.html: link {href!r} has no target")
        if "<script" in text.lower():
            fail(f"{topic}.html: holds a script")


# ---- installation and package -----------------------------------------------------------------


def files_under(root):
    found = set()
    for d, _, names in os.walk(root):
        for n in names:
            found.add(os.path.relpath(os.path.join(d, n), root))
    return found


def compare_file_sets(what, found, expected):
    for p in sorted(set(expected) - found):
        fail(f"{what}: missing {p}")
    for p in sorted(found - set(expected)):
        fail(f"{what}: unexpected {p} (add it to EXPECTED_FILES if it belongs there)")


def png_size(path):
    data = open(path, "rb").read(33)
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    width, height = struct.unpack(">II", data[16:24])
    return width, height, data[25]  # colour type


def read_desktop(path):
    entries = {}
    group = None
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("["):
            group = line.strip("[]")
        elif "=" in line and group == "Desktop Entry":
            k, v = line.split("=", 1)
            entries[k.strip()] = v.strip()
    return entries


def check_installed_tree(build_dir, source_dir, version, root):
    prefix = os.path.join(root, "usr")
    r = run(["cmake", "--install", build_dir, "--prefix", prefix])
    if r.returncode != 0:
        fail("cmake --install failed:\n" + r.stdout + r.stderr)
        return
    compare_file_sets("installed tree", files_under(prefix), EXPECTED_FILES)

    for rel in EXPECTED_FILES:
        path = os.path.join(prefix, rel)
        if not os.path.isfile(path):
            continue
        executable = os.stat(path).st_mode & 0o111 != 0
        if rel.startswith("bin/") != executable:
            fail(f"{rel}: executable bit is {'set' if executable else 'missing'}")

    # The shipped data are the build's, not stale copies.
    pairs = [(f"share/corvina/Help/{t}.html", os.path.join(source_dir, "packaging", "help", t + ".html"))
             for t in HELP_TOPICS]
    pairs.append(("share/corvina/Diagnose.ddb", os.path.join(build_dir, "share", "corvina", "Diagnose.ddb")))
    for rel, original in pairs:
        installed = os.path.join(prefix, rel)
        if os.path.isfile(installed) and os.path.isfile(original):
            if open(installed, "rb").read() != open(original, "rb").read():
                fail(f"{rel} differs from {original}")

    for s in ICON_SIZES:
        path = os.path.join(prefix, f"share/icons/hicolor/{s}x{s}/apps/{APP_ID}.png")
        if os.path.isfile(path):
            info = png_size(path)
            if info is None:
                fail(f"{path} is not a PNG")
            elif info[:2] != (s, s) or info[2] != 6:
                fail(f"{path}: {info[0]}x{info[1]} colour type {info[2]}, expected {s}x{s} RGBA")
    svg = os.path.join(prefix, f"share/icons/hicolor/scalable/apps/{APP_ID}.svg")
    if os.path.isfile(svg):
        try:
            tag = ET.parse(svg).getroot().tag
            if not tag.endswith("svg"):
                fail(f"{svg}: root element {tag}")
        except ET.ParseError as e:
            fail(f"{svg}: {e}")

    # The bus starts the installed program for automation.
    service = os.path.join(prefix, "share/dbus-1/services/org.onyx.Corvina.service")
    if os.path.isfile(service):
        lines = open(service, encoding="utf-8").read().splitlines()
        want = ["[D-BUS Service]", "Name=org.onyx.Corvina", f"Exec={prefix}/bin/corvina --embedding"]
        if lines != want:
            fail(f"{service}: {lines!r}, expected {want!r}")

    desktop = os.path.join(prefix, f"share/applications/{APP_ID}.desktop")
    if os.path.isfile(desktop):
        r = run(["desktop-file-validate", desktop])
        if r.returncode != 0 or r.stdout.strip():
            fail("desktop-file-validate:\n" + r.stdout + r.stderr)
        entry = read_desktop(desktop)
        exec_program = entry.get("Exec", "").split(" ")[0]
        if exec_program != "corvina":
            fail(f"Exec starts with {exec_program!r}, expected corvina")
        if entry.get("Icon") != APP_ID:
            fail(f"Icon={entry.get('Icon')!r}, expected {APP_ID}")
        for key in ("Name", "Name[ru]", "Comment", "Comment[ru]", "GenericName", "GenericName[ru]"):
            if not entry.get(key):
                fail(f"{APP_ID}.desktop has no {key}")
        if "MedicalSoftware" not in entry.get("Categories", "").split(";"):
            fail("desktop entry is not in the MedicalSoftware category")
        # Every MIME type the entry opens is one the package defines, and *.pwv maps to it.
        mime_root = os.path.join(root, "mime")
        shutil.copytree(os.path.join(prefix, "share/mime/packages"), os.path.join(mime_root, "packages"))
        r = run(["update-mime-database", mime_root])
        if r.returncode != 0:
            fail("update-mime-database:\n" + r.stderr)
        else:
            globs = open(os.path.join(mime_root, "globs2"), encoding="utf-8").read()
            for mime in filter(None, entry.get("MimeType", "").split(";")):
                if f":{mime}:*.pwv" not in globs:
                    fail(f"MIME type {mime} of the desktop entry does not match *.pwv")

    metainfo = os.path.join(prefix, f"share/metainfo/{APP_ID}.metainfo.xml")
    r = run(["appstreamcli", "validate-tree", "--no-net", root])
    if r.returncode != 0:
        fail("appstreamcli validate-tree:\n" + r.stdout + r.stderr)
    if os.path.isfile(metainfo):
        component = ET.parse(metainfo).getroot()
        if component.findtext("id") != APP_ID:
            fail(f"metainfo id {component.findtext('id')!r}")
        releases = component.findall("releases/release")
        if not releases or releases[0].get("version") != version:
            newest = releases[0].get("version") if releases else None
            fail(f"newest release in the metainfo is {newest!r}, the project is {version}: add a release entry")

    # The installed programs start (no display: the program stays without windows).
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["XDG_CONFIG_HOME"] = os.path.join(root, "config")
    for program, marker in (("corvina", "--out_file"), ("corvina-tool", "export")):
        path = os.path.join(prefix, "bin", program)
        if os.path.isfile(path):
            r = run([path, "--help"], env=env, timeout=30)
            if r.returncode != 0 or marker not in r.stdout + r.stderr:
                fail(f"installed {program} --help: exit {r.returncode}\n{r.stdout}{r.stderr}")


def owning_package(soname, library_paths):
    """The Debian package that holds the library the dynamic linker loads for soname."""
    for path in library_paths.get(soname, []):
        candidates = {path, os.path.realpath(path)}
        for c in list(candidates):  # merged /usr: a package may have listed the other spelling
            if c.startswith("/usr/lib/"):
                candidates.add(c[len("/usr"):])
            elif c.startswith("/lib/"):
                candidates.add("/usr" + c)
        for c in sorted(candidates):
            r = run(["dpkg-query", "-S", c])
            if r.returncode == 0:
                return r.stdout.split(":")[0].split(",")[0].strip()
    return None


def ldconfig_paths():
    paths = {}
    # On x86-64 the cache also lists 32-bit libraries, which the programs never load.
    flavour = "x86-64" if os.uname().machine == "x86_64" else ""
    for line in run(["ldconfig", "-p"]).stdout.splitlines():
        m = re.match(r"\s*(\S+) \(([^)]*)\) => (\S+)", line)
        if m and flavour in m.group(2):
            paths.setdefault(m.group(1), []).append(m.group(3))
    return paths


def parse_depends(text):
    deps = {}
    for item in filter(None, (s.strip() for s in text.split(","))):
        m = re.fullmatch(r"([a-z0-9][a-z0-9+.-]*)(?:\s*\(\s*(<<|<=|=|>=|>>)\s*([^)\s]+)\s*\))?", item)
        if not m:
            fail(f"Depends item {item!r} is not a plain package relation")
            continue
        deps[m.group(1)] = (m.group(2), m.group(3))
    return deps


def check_package(build_dir, version, root):
    out = os.path.join(root, "pkg")
    r = run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build_dir, "CPackConfig.cmake")],
            cwd=root)
    if r.returncode != 0:
        fail("cpack failed:\n" + r.stdout + r.stderr)
        return
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    deb = os.path.join(out, f"corvina_{version}_{arch}.deb")
    if not os.path.isfile(deb):
        fail(f"cpack made {sorted(os.listdir(out))}, expected {os.path.basename(deb)}")
        return

    listing = run(["dpkg-deb", "-c", deb]).stdout.splitlines()
    files = set()
    for line in listing:
        if not line.startswith("d"):
            files.add(line.split()[-1].lstrip("./"))
    compare_file_sets("package", files, ["usr/" + p for p in EXPECTED_FILES])

    fields = {}
    for f in ("Package", "Version", "Architecture", "Maintainer", "Section", "Description", "Depends"):
        fields[f] = run(["dpkg-deb", "-f", deb, f]).stdout.strip()
    for f, want in (("Package", "corvina"), ("Version", version), ("Architecture", arch)):
        if fields[f] != want:
            fail(f"package {f} is {fields[f]!r}, expected {want!r}")
    for f in ("Maintainer", "Section", "Description"):
        if not fields[f]:
            fail(f"package has no {f}")

    deps = parse_depends(fields["Depends"])
    for name in sorted(REQUIRED_DEPENDS - deps.keys()):
        fail(f"Depends lacks {name}")
    # Each named package exists here, in a version the relation accepts.
    for name, (op, ver) in sorted(deps.items()):
        r = run(["dpkg-query", "-W", "-f", "${Version}", name])
        if r.returncode != 0 or not r.stdout:
            fail(f"Depends names {name}, which is not a package of this system")
        elif op and run(["dpkg", "--compare-versions", r.stdout, {"<<": "lt", "<=": "le", "=": "eq",
                                                                  ">=": "ge", ">>": "gt"}[op], ver]).returncode:
            fail(f"Depends wants {name} ({op} {ver}), this system has {r.stdout}")

    # Every library an installed program needs comes from a package named in Depends.
    unpacked = os.path.join(root, "deb")
    run(["dpkg-deb", "-x", deb, unpacked])
    paths = ldconfig_paths()
    for rel in sorted(files):
        path = os.path.join(unpacked, rel)
        with open(path, "rb") as fh:
            if fh.read(4) != b"\x7fELF":
                continue
        dyn = run(["readelf", "-d", path]).stdout
        for soname in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dyn):
            package = owning_package(soname, paths)
            if package is None:
                fail(f"{rel} needs {soname}, which no installed package holds")
            elif package not in deps:
                fail(f"{rel} needs {soname} from {package}, which Depends does not name")
        if ".symtab" in run(["readelf", "-S", path]).stdout:
            fail(f"{rel} is not stripped")

    control = os.path.join(root, "control")
    run(["dpkg-deb", "-e", deb, control])
    for script in ("postinst", "postrm"):
        path = os.path.join(control, script)
        if not os.path.isfile(path):
            fail(f"package has no {script}")
        elif not os.access(path, os.X_OK) or run(["sh", "-n", path]).returncode != 0:
            fail(f"{script} is not an executable shell script")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "help":
        check_help(sys.argv[2])
    elif len(sys.argv) == 5 and sys.argv[1] == "install":
        need_tools("cmake", "cpack", "dpkg-deb", "dpkg-query", "readelf", "ldconfig",
                   "desktop-file-validate", "appstreamcli", "update-mime-database")
        build_dir, source_dir = (os.path.abspath(p) for p in sys.argv[2:4])
        version = sys.argv[4]
        with tempfile.TemporaryDirectory(prefix="corvina_install_") as root:
            check_installed_tree(build_dir, source_dir, version, root)
            check_package(build_dir, version, root)
    else:
        print(__doc__)
        return 2
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
