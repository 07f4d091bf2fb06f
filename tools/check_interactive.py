#!/usr/bin/python3
"""Corpus check for --keep-interactive (run by hand, not by CTest).

For every PDF in a directory that has annotations, a form, an outline or a title, stamps an empty
one-page foreground on it with the option on, and compares input and output with pikepdf:
per page the same annotation subtypes in the same order, each /Rect equal to the input's moved by
the page's placement (read back from the output page: the /Bg XObject's /Matrix and the drawing
line's translation), every link and outline item reaching the page index it reached in the input,
the same fully-qualified field names and values, the same outline titles, the same /Title; then
qpdf --check. Also times the stamp with and without the option (best of 3 per file).

usage: check_interactive.py TOOL CORPUS_DIR [WORK_DIR]
TOOL is called as: TOOL stamp [--keep-interactive] BG FG OUT
Needs python3-pikepdf (Debian) and qpdf.
"""
import os, re, subprocess, sys, tempfile, time

import pikepdf


def page_index_map(pdf):
    return {p.obj.objgen: i for i, p in enumerate(pdf.pages)}


def named_lookup(pdf, name):
    root = pdf.Root
    if isinstance(name, pikepdf.Name):
        d = root.get('/Dests')
        if d is not None and str(name) in d:
            return d[str(name)]
        key = str(name)[1:]
    else:
        key = bytes(name)
    names = root.get('/Names')
    if names is not None and '/Dests' in names:
        try:
            nt = pikepdf.NameTree(names.Dests)
            k = key if isinstance(key, str) else key.decode('latin-1')
            if k in nt:
                return nt[k]
        except Exception:
            pass
    d = root.get('/Dests')
    if d is not None and isinstance(key, str) and ('/' + key) in d:
        return d['/' + key]
    return None


def dest_page(pdf, dest, pages):
    """The page index a destination reaches, or None."""
    for _ in range(4):
        if dest is None:
            return None
        if isinstance(dest, (pikepdf.Name, pikepdf.String)):
            dest = named_lookup(pdf, dest)
            continue
        if isinstance(dest, pikepdf.Dictionary):
            dest = dest.get('/D')
            continue
        break
    if isinstance(dest, pikepdf.Array) and len(dest) > 0:
        p = dest[0]
        if isinstance(p, pikepdf.Dictionary) and p.is_indirect:
            return pages.get(p.objgen)
        if isinstance(p, int) or (hasattr(p, '__int__') and not isinstance(p, pikepdf.Dictionary)):
            try:
                return int(p)
            except Exception:
                return None
    return None


def link_target(pdf, annot, pages):
    if '/Dest' in annot:
        return dest_page(pdf, annot.Dest, pages)
    a = annot.get('/A')
    if isinstance(a, pikepdf.Dictionary) and a.get('/S') == pikepdf.Name.GoTo:
        return dest_page(pdf, a.get('/D'), pages)
    return None


def annots(pdf):
    pages = page_index_map(pdf)
    out = []
    for pg in pdf.pages:
        row = []
        seen = set()
        for a in pg.obj.get('/Annots', []) or []:
            if not isinstance(a, pikepdf.Dictionary):
                continue
            if a.is_indirect:
                if a.objgen in seen:
                    continue
                seen.add(a.objgen)
            rect = a.get('/Rect')
            try:
                rect = [float(x) for x in rect]
            except Exception:
                continue
            if len(rect) != 4:
                continue
            row.append((str(a.get('/Subtype')), rect, link_target(pdf, a, pages)))
        out.append(row)
    return out


def placement(out_pdf, t):
    """The affine map (a b c d e f) that places the background page on output page t."""
    pg = out_pdf.pages[t].obj
    bg = pg.Resources.XObject.Bg
    m = [float(x) for x in bg.get('/Matrix', [1, 0, 0, 1, 0, 0])]
    content = pg.Contents.read_bytes().decode('latin-1')
    mt = re.search(r'1 0 0 1 (\S+) (\S+) cm /Bg Do', content)
    tx, ty = float(mt.group(1)), float(mt.group(2))
    return (m[0], m[1], m[2], m[3], m[4] + tx, m[5] + ty)


def moved_rect(m, r):
    a, b, c, d, e, f = m
    xs, ys = [], []
    for x, y in ((r[0], r[1]), (r[2], r[3]), (r[0], r[3]), (r[2], r[1])):
        xs.append(a * x + c * y + e)
        ys.append(b * x + d * y + f)
    return [min(xs), min(ys), max(xs), max(ys)]


def value(v):
    """A field value in a form that compares across files."""
    if v is None:
        return None
    if isinstance(v, pikepdf.String):
        return bytes(v)
    if isinstance(v, pikepdf.Name):
        return str(v)
    if isinstance(v, pikepdf.Array):
        return tuple(value(x) for x in v)
    if isinstance(v, pikepdf.Stream):
        return v.read_bytes()
    if isinstance(v, pikepdf.Dictionary):
        return tuple(sorted(k for k in v.keys()))
    return str(v)


def fields(pdf):
    form = pdf.Root.get('/AcroForm')
    out = []
    if form is None:
        return out
    seen = set()

    def walk(f, prefix, depth):
        if depth > 64 or not isinstance(f, pikepdf.Dictionary):
            return
        if f.is_indirect:
            if f.objgen in seen:
                return
            seen.add(f.objgen)
        t = f.get('/T')
        name = prefix
        if t is not None:
            name = (prefix + '.' if prefix else '') + str(t)
        kids = f.get('/Kids')
        if t is not None:
            v = f.get('/V')
            out.append((name, value(v)))
        if kids is not None:
            for k in kids:
                walk(k, name, depth + 1)

    for f in form.get('/Fields', []) or []:
        walk(f, '', 0)
    return out


def outline(pdf):
    pages = page_index_map(pdf)
    out = []
    root = pdf.Root.get('/Outlines')
    if root is None:
        return out
    seen = set()

    def walk(item, depth):
        while isinstance(item, pikepdf.Dictionary) and depth < 64:
            if item.is_indirect:
                if item.objgen in seen:
                    return
                seen.add(item.objgen)
            target = link_target(pdf, item, pages)
            out.append((str(item.get('/Title', '')), target))
            walk(item.get('/First'), depth + 1)
            item = item.get('/Next')

    walk(root.get('/First'), 0)
    return out


def title(pdf):
    try:
        return str(pdf.docinfo.get('/Title', '')) if pdf.trailer.get('/Info') is not None else ''
    except Exception:
        return ''


def interesting(pdf):
    return (any(annots(pdf)) or pdf.Root.get('/AcroForm') is not None or
            pdf.Root.get('/Outlines') is not None or title(pdf) != '')


def run(tool, keep, bg, fg, out):
    args = [tool, 'stamp'] + (['--keep-interactive'] if keep else []) + [bg, fg, out]
    t0 = time.perf_counter()
    r = subprocess.run(args, capture_output=True)
    return r.returncode, time.perf_counter() - t0


def check(src, dst):
    """Differences between input and output, as a list of strings."""
    problems = []
    ia, oa = annots(src), annots(dst)
    for t, (irow, orow) in enumerate(zip(ia, oa)):
        if [s for s, _, _ in irow] != [s for s, _, _ in orow]:
            problems.append('page %d: subtypes %s -> %s' % (t + 1, [s for s, _, _ in irow], [s for s, _, _ in orow]))
            continue
        m = placement(dst, t)
        for k, ((s, r, target), (_, r2, target2)) in enumerate(zip(irow, orow)):
            want = moved_rect(m, r)
            if any(abs(x - y) > 0.01 for x, y in zip(want, r2)):
                problems.append('page %d annot %d %s: rect %s, want %s' % (t + 1, k, s, r2, want))
            if target is not None and target != target2:
                problems.append('page %d annot %d %s: reaches %s, input %s' % (t + 1, k, s, target2, target))
    if fields(src) != fields(dst):
        problems.append('fields %s -> %s' % (fields(src)[:5], fields(dst)[:5]))
    if outline(src) != outline(dst):
        problems.append('outline %s -> %s' % (outline(src)[:5], outline(dst)[:5]))
    if title(src) != title(dst):
        problems.append('title %r -> %r' % (title(src), title(dst)))
    return problems


def main():
    tool, corpus = sys.argv[1], sys.argv[2]
    work = sys.argv[3] if len(sys.argv) > 3 else tempfile.mkdtemp(prefix='qm-interactive-')
    fg = os.path.join(work, 'empty.pdf')
    e = pikepdf.new()
    e.add_blank_page(page_size=(200, 100))
    e.save(fg)
    total_on = total_off = 0.0
    files = bad = 0
    for name in sorted(os.listdir(corpus)):
        if not name.endswith('.pdf'):
            continue
        path = os.path.join(corpus, name)
        try:
            src = pikepdf.open(path)
            if not interesting(src):
                continue
        except Exception:
            continue
        out = os.path.join(work, name)
        rc, _ = run(tool, True, path, fg, out)
        if rc != 0:
            continue  # the job refuses the file with or without the option
        on = min(run(tool, True, path, fg, out)[1] for _ in range(3))
        off = min(run(tool, False, path, fg, out + '.off.pdf')[1] for _ in range(3))
        run(tool, True, path, fg, out)
        total_on += on
        total_off += off
        files += 1
        problems = check(src, pikepdf.open(out))
        q = subprocess.run(['qpdf', '--check', out], capture_output=True)
        if q.returncode != 0:
            problems.append('qpdf --check: exit %d %s' % (q.returncode, q.stdout.decode()[-200:].strip()))
        print('%-55s %-4s on %.1f ms off %.1f ms' % (name, 'ok' if not problems else 'DIFF', on * 1e3, off * 1e3))
        for p in problems[:8]:
            print('    ' + p)
        bad += bool(problems)
    print('%d files, %d with differences; time with %.1f ms, without %.1f ms' % (files, bad, total_on * 1e3, total_off * 1e3))
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
