#!/usr/bin/env python3
"""Builds the deep-scan benchmark image: a disk image (1 GiB by default) of pseudo-random
"other data" holding a few hundred real small files, each placed at a 512-byte sector
boundary, and a manifest IMAGE.json that lists every placed file (family, sector, size,
sha256) and what the filler holds.

    make_deepscan_image.py IMAGE [--size BYTES] [--seed N] [--pool DIR]
                                 [--count N --max-file-bytes B]

The files come from a pool folder (by default deepscan-pool/ beside IMAGE), made once by
the tools that normally write each format: ImageMagick (JPEG, PNG, BMP, GIF), LibreOffice
(DOC, DOCX, XLS, XLSX, PPT, PPTX, PDF), Ghostscript (PDF), zip (ZIP) and ffmpeg (MOV).
Formats whose tool is missing are left out, and the script says so. The files that
tests/fixtures/carving/manifest.json lists join the pool when that corpus exists (so the
image changes when the corpus does). Delete the pool folder to make it again. To install
the tools:

    apt-get install -y imagemagick libreoffice-writer libreoffice-calc libreoffice-impress \\
      ghostscript zip ffmpeg

By default every pool file is placed once, in a seeded random order with seeded random
gaps of filler between them. With --count N, N files are drawn (with repetition) from the
pool's files of the deep scan's default types no larger than --max-file-bytes: the
"many files" image for the memory measurement.

Determinism: the layout and the filler depend only on the seed and on the pool files; the
pool is made with fixed seeds, a fixed clock (SOURCE_DATE_EPOCH, faketime for LibreOffice
when installed) and fixed file times, so the same tools give the same image. Other tool
versions write other bytes, so the manifest records every file's sha256.

The filler: runs of 4 KiB to 1 MiB, each pseudo-random bytes (about 80%, like compressed or
encrypted data), text (about 14%) or zeros (about 6%). Pseudo-random data begins a sector
with a two-byte signature now and then (FF D8 is a JPEG start, 'BM' a bitmap, FF FB an MP3
frame, 0A 00-05 a PCX header: each about once in 65,536 sectors, so some 30 of each per
GiB), and a JPEG start there makes a carver measure a bogus JPEG up to the next FF D9. Such
sector starts are changed in their second byte (FF D8 -> FF D9, ...), as are the rarer
four-byte magics, so that the scan finds only the placed files; the manifest counts what was
changed. Signatures at offsets that are not sector starts are left alone (a carver that
searches every byte offset, like foremost without -q, still meets some).
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

UNIT = 512
POOL_VERSION = 1
FIXED_EPOCH = 1700000000  # 2023-11-14 22:13:20 UTC
FIXED_DATE = '2023-11-14 22:13:20'
# The deep scan's default types, as families of the pool (file name extensions).
DEFAULT_FAMILIES = {'jpg', 'bmp', 'doc', 'xls', 'ppt', 'vsd', 'docx', 'xlsx', 'pptx', 'pdf', 'rar', 'zip', 'mov'}

WORDS = ('the of and to in is that for on with as by at from this be are or an which it was not have data '
         'file disk sector volume record table report value index cluster folder entry number system user '
         'order account invoice customer product meeting project summary result quarter budget revenue '
         'review schedule update version release network service server client request response status '
         'memory storage backup archive image picture document letter message note draft final copy '
         'north south east west river valley station harbour market garden bridge tower castle village').split()


def log(msg):
    print('make_deepscan_image: ' + msg, file=sys.stderr, flush=True)


def tool(*names):
    for n in names:
        p = shutil.which(n)
        if p:
            return p
    return None


def run(cmd, cwd=None, env=None):
    r = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
    if r.returncode != 0:
        raise RuntimeError('%s failed:\n%s' % (' '.join(map(str, cmd[:6])), r.stdout.decode(errors='replace')))


def text_paragraphs(rng, count):
    out = []
    for _ in range(count):
        words = [rng.choice(WORDS) for _ in range(rng.randint(20, 90))]
        words[0] = words[0].capitalize()
        out.append(' '.join(words) + '.')
    return out


def fix_times(paths):
    for p in paths:
        os.utime(p, (FIXED_EPOCH, FIXED_EPOCH))


# ---------------------------------------------------------------------------------------------
# The pool
# ---------------------------------------------------------------------------------------------
def make_pictures(pool, work, rng, missing):
    # The real ImageMagick, not a wrapper that may stand in for `convert` on PATH.
    im = tool('convert-im6.q16', 'magick')
    if not im:
        missing.append('ImageMagick (imagemagick): no JPEG, PNG, BMP, GIF')
        return
    sources = []
    for k in range(3):
        src = os.path.join(work, 'plasma%d.png' % k)
        run([im, '-seed', str(101 + k), '-size', '1280x960', 'plasma:fractal', '-blur', '0x1', '-depth', '8',
             '-strip', src])
        sources.append(src)
    widths = (96, 160, 240, 320, 480, 640, 800, 1024, 1280)

    def crop(i, wmax=1280):
        w = rng.choice([x for x in widths if x <= wmax])
        h = w * 3 // 4
        x, y = rng.randint(0, 1280 - w), rng.randint(0, 960 - h)
        return [rng.choice(sources), '-crop', '%dx%d+%d+%d' % (w, h, x, y), '+repage']

    os.makedirs(os.path.join(pool, 'jpg'), exist_ok=True)
    for i in range(120):
        args = crop(i)
        opts = ['-quality', str(rng.randint(70, 95))]
        if i % 4 == 1:
            opts += ['-interlace', 'Plane']
        if i % 5 == 2:
            opts += ['-sampling-factor', '1x1']
        run([im] + args + ['-strip'] + opts + [os.path.join(pool, 'jpg', 'photo%03d.jpg' % i)])
    os.makedirs(os.path.join(pool, 'png'), exist_ok=True)
    for i in range(40):
        run([im] + crop(i, 640) + ['-strip', '-define', 'png:exclude-chunks=date,time',
                                   os.path.join(pool, 'png', 'picture%03d.png' % i)])
    os.makedirs(os.path.join(pool, 'bmp'), exist_ok=True)
    for i in range(20):
        run([im] + crop(i, 320) + ['-strip', 'BMP3:' + os.path.join(pool, 'bmp', 'bitmap%03d.bmp' % i)])
    os.makedirs(os.path.join(pool, 'gif'), exist_ok=True)
    for i in range(10):
        run([im] + crop(i, 320) + ['-strip', '-colors', '64', os.path.join(pool, 'gif', 'anim%03d.gif' % i)])


def make_documents(pool, work, rng, missing):
    soffice = tool('soffice', 'libreoffice')
    if not soffice:
        missing.append('LibreOffice (libreoffice-writer, -calc, -impress): no DOC, DOCX, XLS, XLSX, PPT, PPTX')
        return
    src = os.path.join(work, 'lo-src')
    out = os.path.join(work, 'lo-out')
    profile = os.path.join(work, 'lo-profile')
    os.makedirs(src)
    os.makedirs(os.path.join(profile, 'user'))
    with open(os.path.join(profile, 'user', 'registrymodifications.xcu'), 'w') as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<oor:items xmlns:oor="http://openoffice.org/2001/registry" '
                'xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">'
                '<item oor:path="/org.openoffice.Office.Common/Save/Document"><prop oor:name="GenerateThumbnail" '
                'oor:op="fuse"><value>false</value></prop></item></oor:items>\n')
    texts, tables, slides = [], [], []
    for i in range(65):
        p = os.path.join(src, 'letter%03d.txt' % i)
        with open(p, 'w') as f:
            f.write('\n\n'.join(text_paragraphs(rng, rng.choice((3, 8, 20, 40, 80, 160)))) + '\n')
        texts.append(p)
    for i in range(30):
        p = os.path.join(src, 'table%03d.csv' % i)
        with open(p, 'w') as f:
            f.write('Item,Count,Price,Region,Note\n')
            for r in range(rng.choice((20, 60, 200, 600, 1500))):
                f.write('item%d,%d,%d.%02d,%s,%s %s\n' % (r, rng.randint(0, 999), rng.randint(0, 9999), rng.randint(0, 99),
                                                      rng.choice(WORDS), rng.choice(WORDS), rng.choice(WORDS)))
        tables.append(p)
    for i in range(20):
        p = os.path.join(src, 'slides%03d.fodp' % i)
        pages = []
        for k in range(rng.randint(2, 12)):
            paras = ''.join('<text:p>%s</text:p>' % t[:120] for t in text_paragraphs(rng, 3))
            pages.append('<draw:page draw:name="P%d"><draw:frame svg:x="2cm" svg:y="2cm" svg:width="22cm" '
                         'svg:height="12cm"><draw:text-box>%s</draw:text-box></draw:frame></draw:page>' % (k, paras))
        with open(p, 'w') as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<office:document '
                    'xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
                    'xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" '
                    'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
                    'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.2" '
                    'office:mimetype="application/vnd.oasis.opendocument.presentation"><office:body>'
                    '<office:presentation>%s</office:presentation></office:body></office:document>\n' % ''.join(pages))
        slides.append(p)

    env = dict(os.environ, TZ='UTC', SOURCE_DATE_EPOCH=str(FIXED_EPOCH))
    faketime = tool('faketime')

    def convert(target, inputs, family, count):
        # Each input is converted once; the first `count` inputs of the list are used.
        if os.path.isdir(out):
            shutil.rmtree(out)
        cmd = [soffice, '-env:UserInstallation=file://' + profile, '--headless', '--norestore',
               '--convert-to', target, '--outdir', out] + inputs[:count]
        if faketime:
            cmd = [faketime, '-f', FIXED_DATE] + cmd
        run(cmd, env=env)
        dest = os.path.join(pool, family)
        os.makedirs(dest, exist_ok=True)
        for name in sorted(os.listdir(out)):
            shutil.move(os.path.join(out, name), os.path.join(dest, name))

    convert('doc', texts[0:], 'doc', 20)
    convert('docx', texts[20:], 'docx', 25)
    convert('pdf', texts[45:], 'pdf', 20)
    convert('xls', tables[0:], 'xls', 15)
    convert('xlsx', tables[15:], 'xlsx', 15)
    convert('ppt', slides[0:], 'ppt', 10)
    convert('pptx', slides[10:], 'pptx', 10)


def make_pdfs(pool, work, rng, missing):
    gs = tool('gs')
    if not gs:
        missing.append('Ghostscript (ghostscript): fewer PDFs')
        return
    dest = os.path.join(pool, 'pdf')
    os.makedirs(dest, exist_ok=True)
    for i in range(20):
        ps = os.path.join(work, 'page%03d.ps' % i)
        with open(ps, 'w') as f:
            f.write('%!PS\n')
            for page in range(rng.randint(1, 6)):
                f.write('/Helvetica findfont 16 scalefont setfont 72 740 moveto (Report page %d) show\n' % (page + 1))
                f.write('/Helvetica findfont 10 scalefont setfont\n')
                y = 720
                for t in text_paragraphs(rng, 50):
                    f.write('72 %d moveto (%s) show\n' % (y, t[:95]))
                    y -= 13
                    if y < 80:
                        break
                for k in range(rng.randint(0, 8)):
                    f.write('newpath %d %d %d 0 360 arc stroke\n' % (rng.randint(100, 500), rng.randint(100, 600),
                                                                    rng.randint(5, 60)))
                f.write('showpage\n')
        # Relative names keep the document id fixed.
        run([gs, '-q', '-dSAFER', '-dNOPAUSE', '-dBATCH', '-sDEVICE=pdfwrite', '-dCompatibilityLevel=1.4',
             '-sOutputFile=gs%03d.pdf' % i, os.path.basename(ps)], cwd=work)
        shutil.move(os.path.join(work, 'gs%03d.pdf' % i), os.path.join(dest, 'gs%03d.pdf' % i))


def make_zips(pool, work, rng, missing):
    z = tool('zip')
    if not z:
        missing.append('zip (zip): no ZIP')
        return
    dest = os.path.join(pool, 'zip')
    os.makedirs(dest, exist_ok=True)
    pictures = sorted(os.path.join(pool, 'png', n) for n in os.listdir(os.path.join(pool, 'png'))) \
        if os.path.isdir(os.path.join(pool, 'png')) else []
    for i in range(30):
        d = os.path.join(work, 'zip%03d' % i)
        os.makedirs(d)
        members = []
        for k in range(rng.randint(1, 8)):
            p = os.path.join(d, 'notes%d.txt' % k)
            with open(p, 'w') as f:
                f.write('\n'.join(text_paragraphs(rng, rng.randint(2, 40))) + '\n')
            members.append(p)
        if pictures and i % 2:
            p = os.path.join(d, 'picture.png')
            shutil.copy(rng.choice(pictures), p)
            members.append(p)
        fix_times(members + [d])
        target = os.path.join(dest, 'archive%03d.zip' % i)
        run([z, '-q', '-X', '-D', '-%d' % rng.choice((1, 6, 9)), target] + [os.path.basename(m) for m in members],
            cwd=d)


def make_movies(pool, work, rng, missing):
    ff = tool('ffmpeg')
    if not ff:
        missing.append('ffmpeg (ffmpeg): no MOV')
        return
    dest = os.path.join(pool, 'mov')
    os.makedirs(dest, exist_ok=True)
    for i in range(6):
        size = rng.choice(('160x120', '320x240'))
        run([ff, '-nostdin', '-hide_banner', '-loglevel', 'error', '-y', '-f', 'lavfi', '-i',
             'testsrc=size=%s:rate=15:duration=%d' % (size, rng.randint(1, 4)), '-map_metadata', '-1',
             '-c:v', 'mpeg4', '-q:v', str(rng.randint(3, 8)), '-fflags', '+bitexact', '-flags:v', '+bitexact',
             '-f', 'mov', os.path.join(dest, 'clip%03d.mov' % i)])


def make_pool(pool):
    stamp = os.path.join(pool, 'pool.json')
    if os.path.isfile(stamp):
        with open(stamp) as f:
            if json.load(f).get('version') == POOL_VERSION:
                return
    log('making the file pool in %s (once; a minute or two)' % pool)
    staging = pool + '.staging'
    if os.path.isdir(staging):
        shutil.rmtree(staging)
    os.makedirs(staging)
    rng = random.Random(20231114)
    missing = []
    with tempfile.TemporaryDirectory(prefix='deepscan-pool-') as work:
        make_pictures(staging, work, rng, missing)
        make_documents(staging, work, rng, missing)
        make_pdfs(staging, work, rng, missing)
        make_zips(staging, work, rng, missing)
        make_movies(staging, work, rng, missing)
    for m in missing:
        log('missing ' + m)
    with open(os.path.join(staging, 'pool.json'), 'w') as f:
        json.dump({'version': POOL_VERSION, 'missing': missing}, f)
    if os.path.isdir(pool):
        shutil.rmtree(pool)
    os.rename(staging, pool)


def pool_files(pool, repo_root):
    """(family, name, bytes) of every pool file, in a fixed order."""
    files = []
    for family in sorted(os.listdir(pool)):
        d = os.path.join(pool, family)
        if not os.path.isdir(d):
            continue
        for name in sorted(os.listdir(d)):
            with open(os.path.join(d, name), 'rb') as f:
                files.append((family, family + '/' + name, f.read()))
    # The carving corpus: the files its manifest lists.
    corpus = os.path.join(repo_root, 'tests', 'fixtures', 'carving')
    listed = os.path.join(corpus, 'manifest.json')
    if os.path.isfile(listed):
        with open(listed) as f:
            names = sorted(e['name'] for e in json.load(f)['files'])
        for name in names:
            with open(os.path.join(corpus, name), 'rb') as f:
                files.append((name.rsplit('.', 1)[-1].lower(), 'carving/' + name, f.read()))
    return files


# ---------------------------------------------------------------------------------------------
# The filler
# ---------------------------------------------------------------------------------------------
FOUR_BYTE_MAGICS = frozenset((b'\x00\x00\x02\x00', b'\x00\x00\x0a\x00', b'II*\x00', b'MM\x00*', b'IIRO', b'IIRS', b'PK\x03\x04',
                    b'Rar!', b'JMF6', b'GIF8', b'%PDF', b'RIFF', b'\x89PNG', b'FUJI', b'<HTM', b'<htm', b'!BDN',
                    b'8BPS', b'MThd', b'\xd0\xcf\x11\xe0', b'\xcf\xad\x12\xfe'))


class Filler:
    def __init__(self, rng):
        self.rng = rng
        self.changed = {'jpg': 0, 'bmp': 0, 'mp3': 0, 'pcx': 0, 'four_byte_magic': 0, 'iso_box': 0}
        self.kinds = {'random': 0, 'text': 0, 'zero': 0}
        text = []
        size = 0
        while size < (4 << 20):
            line = ' '.join(rng.choice(WORDS) for _ in range(rng.randint(4, 14))) + '\n'
            text.append(line)
            size += len(line)
        self.text = ''.join(text).encode()

    def scrub(self, buf):
        """Changes sector starts that look like a file's start (buf is sector-aligned)."""
        for off in range(0, len(buf), UNIT):
            b0, b1 = buf[off], buf[off + 1]
            if b0 == 0xFF and b1 in (0xD8, 0xFB):
                buf[off + 1] ^= 1
                self.changed['jpg' if b1 == 0xD8 else 'mp3'] += 1
            elif b0 == 0x42 and b1 == 0x4D:
                buf[off + 1] ^= 1
                self.changed['bmp'] += 1
            elif b0 == 0x0A and b1 in (0, 2, 3, 4, 5):
                buf[off] ^= 1
                self.changed['pcx'] += 1
            elif bytes(buf[off:off + 4]) in FOUR_BYTE_MAGICS:
                buf[off] ^= 0x40
                self.changed['four_byte_magic'] += 1
            if bytes(buf[off + 4:off + 8]) in (b'ftyp', b'moov'):
                buf[off + 4] ^= 0x40
                self.changed['iso_box'] += 1

    def write(self, out, sectors):
        while sectors > 0:
            n = min(sectors, self.rng.randint(8, 2048))
            pick = self.rng.random()
            nbytes = n * UNIT
            if pick < 0.80:
                buf = bytearray(self.rng.randbytes(nbytes))
                self.scrub(buf)
                self.kinds['random'] += nbytes
            elif pick < 0.94:
                start = self.rng.randrange(0, len(self.text) // UNIT) * UNIT
                buf = (self.text[start:] + self.text) * (1 + nbytes // len(self.text))
                buf = buf[:nbytes]
                self.kinds['text'] += nbytes
            else:
                buf = bytes(nbytes)
                self.kinds['zero'] += nbytes
            out.write(buf)
            sectors -= n


# ---------------------------------------------------------------------------------------------
# The image
# ---------------------------------------------------------------------------------------------
def main():
    ap = argparse.ArgumentParser(description='Builds the deep-scan benchmark image and its manifest.')
    ap.add_argument('image')
    ap.add_argument('--size', type=int, default=1 << 30, help='image bytes (a multiple of 512; default 1 GiB)')
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--pool', help='folder of the files to place (default: deepscan-pool beside IMAGE)')
    ap.add_argument('--count', type=int, help='place this many files drawn from the default-type pool files')
    ap.add_argument('--max-file-bytes', type=int, default=32768, help='with --count: largest file drawn')
    a = ap.parse_args()
    if a.size % UNIT or a.size < (4 << 20):
        sys.exit('make_deepscan_image: --size must be a multiple of 512 and at least 4 MiB')
    repo_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    image = os.path.abspath(a.image)
    pool = os.path.abspath(a.pool or os.path.join(os.path.dirname(image), 'deepscan-pool'))
    make_pool(pool)
    files = pool_files(pool, repo_root)
    if not files:
        sys.exit('make_deepscan_image: the pool is empty (no tool could make a file)')

    rng = random.Random(a.seed)
    if a.count:
        eligible = [f for f in files if f[0] in DEFAULT_FAMILIES and len(f[2]) <= a.max_file_bytes]
        if not eligible:
            sys.exit('make_deepscan_image: no default-type pool file is that small')
        chosen = [rng.choice(eligible) for _ in range(a.count)]
    else:
        chosen = list(files)
        rng.shuffle(chosen)
    total = a.size // UNIT
    # The first MiB is filler, as before a disk's first partition.
    lead = 2048
    used = sum((len(f[2]) + UNIT - 1) // UNIT for f in chosen)
    free = total - lead - used
    if free < len(chosen):
        sys.exit('make_deepscan_image: the files (%d sectors) do not fit into %d sectors' % (used, total))
    # Seeded random gaps that add up to the free space.
    weights = [rng.random() for _ in range(len(chosen) + 1)]
    scale = sum(weights)
    gaps = [int(w / scale * free) for w in weights]
    gaps[-1] += free - sum(gaps)

    filler = Filler(rng)
    entries = []
    tmp = image + '.partial'
    with open(tmp, 'wb') as out:
        filler.write(out, lead + gaps[0])
        sector = lead + gaps[0]
        for (family, name, data), gap in zip(chosen, gaps[1:]):
            out.write(data)
            slack = (-len(data)) % UNIT
            # The rest of the file's last sector holds whatever was there before.
            out.write(rng.randbytes(slack))
            entries.append({'name': name, 'family': family, 'sector': sector, 'size': len(data),
                            'sha256': hashlib.sha256(data).hexdigest(), 'default_type': family in DEFAULT_FAMILIES})
            sector += (len(data) + slack) // UNIT
            filler.write(out, gap)
            sector += gap
        if out.tell() != a.size:
            raise RuntimeError('image size %d, expected %d' % (out.tell(), a.size))
    manifest = {'unit': UNIT, 'size': a.size, 'seed': a.seed, 'pool': pool,
                'filler_bytes': filler.kinds, 'filler_sector_starts_changed': filler.changed,
                'files': entries}
    with open(image + '.json.partial', 'w') as f:
        json.dump(manifest, f, indent=1)
    os.replace(tmp, image)
    os.replace(image + '.json.partial', image + '.json')
    placed = sum(e['size'] for e in entries)
    log('%s: %d files (%d of the default types), %.1f MB of files; filler sector starts changed: %s' %
        (image, len(entries), sum(e['default_type'] for e in entries), placed / 1e6, filler.changed))


if __name__ == '__main__':
    main()
