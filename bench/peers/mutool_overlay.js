// Overlay peer for `mutool run`: lays the pages of FG over (or under) the pages of BG.
//   mutool run mutool_overlay.js stamp|merge over|under BG FG OUT
// stamp: FG's first page on every BG page; merge: FG page i on BG page i (extra pages of
// either side are left as they are). Each FG page becomes one Form XObject (its decoded
// content, its box and its resources grafted into BG); each BG page gets the drawing of that
// form appended (over) or prepended (under) to its /Contents array.

var mode = scriptArgs[0], under = scriptArgs[1] == "under";
var bg = new PDFDocument(scriptArgs[2]), fg = new PDFDocument(scriptArgs[3]);
var out = scriptArgs[4];
var graft = bg.newGraftMap();

function absent(v) {
  return v === undefined || v === null || v.isNull();
}

function inherited(page, key) {
  for (var depth = 0; depth < 64 && !absent(page); depth++) {
    var v = page.get(key);
    if (!absent(v)) return v;
    page = page.get("Parent");
  }
  return null;
}

function contentBytes(page) {
  var c = page.get("Contents");
  if (!absent(c) && c.isArray()) {
    var buf = new Buffer();
    for (var i = 0; i < c.length; i++) {
      buf.write(c.get(i).readStream());
      buf.write("\n");
    }
    return buf;
  }
  return absent(c) ? new Buffer() : c.readStream();
}

function formOf(index) {
  var page = fg.findPage(index);
  var box = inherited(page, "CropBox") || inherited(page, "MediaBox");
  var dict = bg.newDictionary();
  dict.put("Type", bg.newName("XObject"));
  dict.put("Subtype", bg.newName("Form"));
  dict.put("BBox", graft.graftObject(box));
  var res = inherited(page, "Resources");
  if (res) dict.put("Resources", graft.graftObject(res));
  return bg.addStream(contentBytes(page), dict);
}

// The drawing streams are shared by all pages: every page names its form /QmFg.
var pushStream = bg.addStream("q\n", bg.newDictionary());
var overStream = bg.addStream("Q\nq /QmFg Do Q\n", bg.newDictionary());
var underStream = bg.addStream("q /QmFg Do Q\n", bg.newDictionary());

var stamp = mode == "stamp" ? formOf(0) : null;
var nbg = bg.countPages(), nfg = fg.countPages();
for (var i = 0; i < nbg; i++) {
  if (!stamp && i >= nfg) break;
  var form = stamp ? stamp : formOf(i);
  var page = bg.findPage(i);
  var res = inherited(page, "Resources");
  var own = bg.newDictionary();
  if (res) res.forEach(function (v, k) { own.put(k, v); });
  var xo = bg.newDictionary();
  var oldxo = own.get("XObject");
  if (!absent(oldxo)) oldxo.forEach(function (v, k) { xo.put(k, v); });
  xo.put("QmFg", form);
  own.put("XObject", xo);
  page.put("Resources", own);
  var contents = bg.newArray();
  var old = page.get("Contents");
  if (under) contents.push(underStream);
  else contents.push(pushStream);
  if (!absent(old) && old.isArray()) {
    for (var j = 0; j < old.length; j++) contents.push(old.get(j));
  } else if (!absent(old)) {
    contents.push(old);
  }
  if (!under) contents.push(overStream);
  page.put("Contents", contents);
}
bg.save(out, "");
