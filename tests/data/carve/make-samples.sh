#!/usr/bin/env bash
# Makes the small sample files the carver tests read, with Debian's tools:
# zip, gzip, sqlite3, 7z (p7zip-full), qpdf, python3 and the MinGW compiler.
# The files are committed; the tests do not run this script. Run it from
# anywhere: it writes next to itself.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export TZ=UTC SOURCE_DATE_EPOCH=1709287200

# Text that compresses, and bytes that do not.
python3 - "$work" <<'PY'
import os, random, sys
w = sys.argv[1]
random.seed(7)
words = "carve cluster deflate record volume sector header table member archive".split()
with open(f"{w}/notes.txt", "w") as f:
    for i in range(600):
        f.write(" ".join(random.choice(words) for _ in range(12)) + "\n")
with open(f"{w}/noise.bin", "wb") as f:
    f.write(bytes(random.getrandbits(8) for _ in range(6000)))
PY
touch -d @1709287200 "$work"/*

# ZIP: one member deflated, one stored, a folder; and the same forced to ZIP64.
(cd "$work" && zip -q -X -D sample.zip notes.txt && zip -q -X -D -0 sample.zip noise.bin)
cp "$work/sample.zip" sample.zip
(cd "$work" && zip -q -X -D -fz zip64.zip notes.txt)
cp "$work/zip64.zip" zip64.zip
# A member written through a pipe carries a data descriptor.
(cd "$work" && head -c 3000 notes.txt | zip -q -X -D streamed.zip -)
cp "$work/streamed.zip" streamed.zip

# Office Open XML: parts written by hand, the title in docProps/core.xml.
ooxml() {  # ooxml NAME DIR MAIN_PART CONTENT_TYPE TITLE
    local d="$work/$1"
    mkdir -p "$d/_rels" "$d/docProps" "$d/$2"
    cat >"$d/[Content_Types].xml" <<XML
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Default Extension="xml" ContentType="application/xml"/><Override PartName="/$2/$3" ContentType="$4"/><Override PartName="/docProps/core.xml" ContentType="application/vnd.openxmlformats-package.core-properties+xml"/></Types>
XML
    cat >"$d/_rels/.rels" <<XML
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="$2/$3"/><Relationship Id="rId2" Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" Target="docProps/core.xml"/></Relationships>
XML
    cat >"$d/docProps/core.xml" <<XML
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>$5</dc:title><dc:creator>Tester</dc:creator></cp:coreProperties>
XML
    head -c 4000 "$work/notes.txt" | sed 's/&/and/g' | awk '{print "<p>" $0 "</p>"}' >"$d/$2/$3"
    find "$d" -exec touch -d @1709287200 {} +
    (cd "$d" && zip -q -X -D -r "../$1.zip" "[Content_Types].xml" _rels docProps "$2")
}
ooxml docx word document.xml "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml" "Minutes of the &amp; meeting"
ooxml xlsx xl workbook.xml "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml" "Budget 2024"
ooxml pptx ppt presentation.xml "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml" "Slides: Q1/Q2"
for t in docx xlsx pptx; do cp "$work/$t.zip" "sample.$t"; done

# GZIP: two members, the first with its original name and time.
(cd "$work" && gzip -c notes.txt >two.gz && head -c 2000 noise.bin | gzip -n -c >>two.gz)
cp "$work/two.gz" sample.gz

# SQLite: two tables, an index and a view.
rm -f "$work/sample.sqlite"
sqlite3 "$work/sample.sqlite" <<'SQL'
PRAGMA page_size = 1024;
CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT);
CREATE TABLE tags(note INTEGER, tag TEXT);
CREATE INDEX tags_by_note ON tags(note);
CREATE VIEW tagged AS SELECT body, tag FROM notes JOIN tags ON note = id;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300)
INSERT INTO notes SELECT i, printf('note %d: %s', i, hex(randomblob(20))) FROM n;
INSERT INTO tags SELECT id, 'tag' || (id % 7) FROM notes;
SQL
cp "$work/sample.sqlite" sample.sqlite

# 7z: compressed, and an empty archive.
(cd "$work" && 7z a -bso0 -bsp0 sample.7z notes.txt noise.bin >/dev/null)
cp "$work/sample.7z" sample.7z

# PDF: a classic cross-reference table written by hand, the same file with an
# incremental update, and qpdf's linearized and object-stream forms of it.
python3 - "$work" <<'PY'
import sys
w = sys.argv[1]
def pdf(objs, title_obj):
    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offs = []
    for i, body in enumerate(objs, 1):
        offs.append(len(out))
        out += b"%d 0 obj\n" % i + body + b"\nendobj\n"
    x = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
    for o in offs:
        out += b"%010d 00000 n \n" % o
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info %d 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, title_obj, x)
    return bytes(out), offs, x
text = b"BT /F1 18 Tf 72 720 Td (Carved page) Tj ET"
objs = [b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d >>\nstream\n" % len(text) + text + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
        b"<< /Title (Annual \\(draft\\) report) /Producer (hand) >>"]
data, offs, x = pdf(objs, 6)
open(f"{w}/plain.pdf", "wb").write(data)
# The update replaces the Info dictionary.
upd = bytearray(data)
o7 = len(upd)
upd += b"6 0 obj\n<< /Title <FEFF0055007000640061007400650064> >>\nendobj\n"
x2 = len(upd)
upd += b"xref\n0 1\n0000000000 65535 f \n6 1\n%010d 00000 n \n" % o7
upd += b"trailer\n<< /Size 7 /Root 1 0 R /Info 6 0 R /Prev %d >>\nstartxref\n%d\n%%%%EOF\n" % (x, x2)
open(f"{w}/updated.pdf", "wb").write(bytes(upd))
PY
cp "$work/plain.pdf" plain.pdf
cp "$work/updated.pdf" updated.pdf
qpdf --deterministic-id --linearize "$work/plain.pdf" linearized.pdf
qpdf --deterministic-id --object-streams=generate "$work/plain.pdf" objstream.pdf

# PE: a tiny program and library, and the program with a checksum and a
# certificate table added.
cat >"$work/tiny.c" <<'C'
__declspec(dllexport) int add(int a, int b) { return a + b; }
int start(void) { return add(2, 3); }
C
x86_64-w64-mingw32-gcc -Os -s -nostdlib -e start -o tiny.exe "$work/tiny.c"
x86_64-w64-mingw32-gcc -Os -s -nostdlib -shared -e start -o tiny.dll "$work/tiny.c"
python3 - tiny.exe signed.exe <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
opt = pe + 24
magic = struct.unpack_from("<H", data, opt)[0]
dirs = opt + (112 if magic == 0x20B else 96)
while len(data) % 8: data += b"\0"
cert = struct.pack("<IHH", 8 + 56, 0x0200, 0x0002) + bytes(range(56))
struct.pack_into("<II", data, dirs + 8 * 4, len(data), len(cert))
data += cert
struct.pack_into("<I", data, opt + 64, 0)
s = 0
for i in range(0, len(data), 2):
    if opt + 64 <= i < opt + 68: continue
    s += data[i] | (data[i + 1] << 8 if i + 1 < len(data) else 0)
    s = (s & 0xFFFF) + (s >> 16)
s = (s & 0xFFFF) + (s >> 16)
struct.pack_into("<I", data, opt + 64, s + len(data))
open(sys.argv[2], "wb").write(bytes(data))
PY
ls -l
