// Jobs that keep links, annotations, forms, bookmarks and document information: the output read
// back object by object.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "import/pdfobj.h"
#include "job/run.h"
#include "support/jobpdf.h"

namespace {

using namespace qmtest;
using qm::pdf_value;
using K = qm::pdf_value::kind;

// Runs a job with the interactive features kept (or not) on two documents given as bytes.
struct ran {
  int rc = 0;
  std::string path, bytes;
  out_pdf out;
  std::map<int, pdf_value> val;  // every output object parsed (a stream: its dictionary)

  const pdf_value& at(int n) { return val[n]; }
  // Follows a reference in the output.
  const pdf_value& deref(const pdf_value* v) {
    static const pdf_value none;
    if (v == nullptr) return none;
    return v->k == K::ref ? val[v->n] : *v;
  }
  const pdf_value& catalog() { return val[1]; }
};

ran run(const std::string& bg, const std::string& fg, bool stamp, bool keep = true,
        const std::string& out = "out.pdf") {
  ran r;
  const std::string b = put_file("bg.pdf", bg), f = put_file("fg.pdf", fg);
  r.path = (scratch() / out).string();
  qm::job_options base;
  base.keep_interactive = keep;
  qm::job_result jr;
  qm::job_run(options_for(stamp ? job_kind::stamp : job_kind::merge, b, f, r.path, 0, 1.0f, base),
              jr);
  r.rc = jr.ok ? 1 : 0;
  r.bytes = read_file(r.path);
  r.out = read_output(r.bytes);
  for (const auto& [n, text] : r.out.objs) {
    size_t pos = 0;
    pdf_value v;
    if (qm::pdf_parse(text, &pos, &v)) r.val[n] = std::move(v);
  }
  return r;
}

std::vector<double> nums(const pdf_value* v) {
  std::vector<double> out;
  if (v) qm::as_numbers(*v, &out);
  return out;
}

double num(const pdf_value* v) {
  double out = -12345;
  if (v) qm::as_number(*v, &out);
  return out;
}

void expect_near_all(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 0.01) << "at " << i;
}

const std::string kEmptyFg = doc_pdf({page_spec{"[0 0 100 100]", "", ""}});

// The annotation references of output page t (object 3 + t).
std::vector<int> annots_of(ran& r, int t) {
  std::vector<int> out;
  const pdf_value* a = qm::dict_get(r.at(3 + t), "Annots");
  if (a)
    for (const pdf_value& x : a->items) out.push_back(x.k == K::ref ? x.n : -1);
  return out;
}

TEST(JobInteractive, LinkToSecondPageLeadsToItsOutputPage) {
  // Page 1 (object 3) holds a link (object 20) to page 2 (object 4) at 72 700, and a URI link
  // with a JavaScript action chained after it (object 21).
  const std::string bg =
      doc_pdf({page_spec{"[0 0 612 792]", "", "/Annots [20 0 R 21 0 R]"}, page_spec{}},
              {{20,
                "<< /Type /Annot /Subtype /Link /Rect [10 10 50 30] /P 3 0 R /StructParent 4 "
                "/Dest [4 0 R /XYZ 72 700 null] >>"},
               {21,
                "<< /Type /Annot /Subtype /Link /Rect [10 40 50 60] /A << /S /URI /URI (http://x) "
                "/Next << /S /JavaScript /JS (app.alert(1)) >> >> /AA << /E 22 0 R >> >>"},
               {22, "<< /S /JavaScript /JS (1) >>"}});
  ran r = run(bg, kEmptyFg, true);
  ASSERT_EQ(r.rc, 1);
  const std::vector<int> a = annots_of(r, 0);
  ASSERT_EQ(a.size(), 2u);
  EXPECT_TRUE(annots_of(r, 1).empty());
  const pdf_value& link = r.at(a[0]);
  const pdf_value* dest = qm::dict_get(link, "Dest");
  ASSERT_NE(dest, nullptr);
  ASSERT_EQ(dest->items.size(), 5u);
  EXPECT_EQ(dest->items[0].k, K::ref);
  EXPECT_EQ(dest->items[0].n, 4);  // output page 2
  EXPECT_EQ(dest->items[4].k, K::null);
  expect_near_all(nums(qm::dict_get(link, "Rect")), {10, 10, 50, 30});
  EXPECT_EQ(qm::dict_get(link, "P")->n, 3);
  EXPECT_EQ(qm::dict_get(link, "StructParent"), nullptr);
  const pdf_value& uri = r.at(a[1]);
  const pdf_value* act = qm::dict_get(uri, "A");
  ASSERT_NE(act, nullptr);
  EXPECT_TRUE(qm::is_name(*qm::dict_get(*act, "S"), "URI"));
  EXPECT_EQ(qm::dict_get(*act, "Next"), nullptr);
  EXPECT_EQ(qm::dict_get(uri, "AA"), nullptr);
  EXPECT_EQ(r.bytes.find("JavaScript"), std::string::npos);
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, StampAnnotationsOnEveryPageEachWithItsOwnDictionary) {
  // Background pages of two sizes, the first with a note (20); the stamp, 100 x 100, has a square
  // (40) with an appearance (41). The stamp is centred: moved by (256, 346) on page 1 and by
  // (100, 150) on page 2.
  const std::string bg = doc_pdf(
      {page_spec{"[0 0 612 792]", "", "/Annots [20 0 R]"}, page_spec{"[0 0 300 400]", "", ""}},
      {{20, "<< /Type /Annot /Subtype /Text /Rect [1 2 3 4] >>"}});
  const std::string fg = doc_pdf(
      {page_spec{"[0 0 100 100]", "", "/Annots [40 0 R]"}},
      {{40, "<< /Type /Annot /Subtype /Square /Rect [10 10 20 20] /P 3 0 R /AP << /N 41 0 R >> >>"},
       {41, "<< /Length 0 /Subtype /Form /BBox [0 0 10 10] >>\nstream\n\nendstream"}});
  ran r = run(bg, fg, true);
  ASSERT_EQ(r.rc, 1);
  const std::vector<int> a = annots_of(r, 0), b = annots_of(r, 1);
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(b.size(), 1u);
  // The background's first, then the stamp's; the stamp's square twice, as two dictionaries.
  EXPECT_TRUE(qm::is_name(*qm::dict_get(r.at(a[0]), "Subtype"), "Text"));
  expect_near_all(nums(qm::dict_get(r.at(a[0]), "Rect")), {1, 2, 3, 4});
  const pdf_value &s1 = r.at(a[1]), &s2 = r.at(b[0]);
  EXPECT_NE(a[1], b[0]);
  expect_near_all(nums(qm::dict_get(s1, "Rect")), {266, 356, 276, 366});
  expect_near_all(nums(qm::dict_get(s2, "Rect")), {110, 160, 120, 170});
  EXPECT_EQ(qm::dict_get(s1, "P")->n, 3);
  EXPECT_EQ(qm::dict_get(s2, "P")->n, 4);
  // One appearance stream serves both.
  const pdf_value* n1 = qm::dict_get(r.deref(qm::dict_get(s1, "AP")), "N");
  const pdf_value* n2 = qm::dict_get(r.deref(qm::dict_get(s2, "AP")), "N");
  ASSERT_NE(n1, nullptr);
  ASSERT_NE(n2, nullptr);
  EXPECT_EQ(n1->k, K::ref);
  EXPECT_EQ(n1->n, n2->n);
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, MergeLinksOfTheForegroundLeadToTheOutputPageOfTheirTarget) {
  // The foreground (100 x 100 pages, centred on 612 x 792: moved by (256, 346)) links from its
  // page 1 to its page 2 at 10 20; the output's page 2 shows it.
  const std::string fg = doc_pdf(
      {page_spec{"[0 0 100 100]", "", "/Annots [20 0 R]"}, page_spec{"[0 0 100 100]", "", ""}},
      {{20, "<< /Subtype /Link /Rect [0 0 5 5] /A << /S /GoTo /D [4 0 R /XYZ 10 20 0] >> >>"}});
  const std::string bg = doc_pdf({page_spec{}, page_spec{}});
  ran r = run(bg, fg, false);
  ASSERT_EQ(r.rc, 1);
  const std::vector<int> a = annots_of(r, 0);
  ASSERT_EQ(a.size(), 1u);
  const pdf_value* act = qm::dict_get(r.at(a[0]), "A");
  ASSERT_NE(act, nullptr);
  const pdf_value* d = qm::dict_get(*act, "D");
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->items.size(), 5u);
  EXPECT_EQ(d->items[0].n, 4);  // output page 2
  EXPECT_NEAR(num(&d->items[2]), 266, 0.01);
  EXPECT_NEAR(num(&d->items[3]), 366, 0.01);
  expect_near_all(nums(qm::dict_get(r.at(a[0]), "Rect")), {256, 346, 261, 351});
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, LargeJobOnHelperThreadsWritesWhatOneThreadWrites) {
  // 20 pages, each linking to the next (the last to the first): the contents are read ahead and
  // the output written as it is made, and the file is the one a job without helpers writes.
  const int n = 20;
  std::vector<page_spec> pages;
  std::map<int, std::string> more;
  for (int k = 0; k < n; ++k) {
    pages.push_back({"[0 0 612 792]", "", "/Annots [" + std::to_string(200 + k) + " 0 R]"});
    more[200 + k] = "<< /Subtype /Link /Rect [1 1 9 9] /Dest [" + std::to_string(3 + (k + 1) % n) +
                    " 0 R /Fit] >>";
  }
  const std::string b = put_file("bg.pdf", doc_pdf(pages, more)), f = put_file("fg.pdf", kEmptyFg);
  std::string bytes[2];
  for (const bool helpers : {true, false}) {
    qm::job_options base;
    base.keep_interactive = true;
    base.helper_threads = helpers;
    const std::string out = (scratch() / (helpers ? "helpers.pdf" : "alone.pdf")).string();
    qm::job_result jr;
    qm::job_run(options_for(job_kind::stamp, b, f, out, 0, 1.0f, base), jr);
    ASSERT_TRUE(jr.ok) << jr.message;
    EXPECT_EQ(jr.output_streamed, helpers);
    EXPECT_EQ(jr.read_ahead, helpers);
    bytes[helpers ? 0 : 1] = read_file(out);
  }
  EXPECT_EQ(bytes[0], bytes[1]);
  const out_pdf o = read_output(bytes[0]);
  for (int k = 0; k < n; ++k) {
    size_t pos = 0;
    pdf_value page, link;
    ASSERT_TRUE(qm::pdf_parse(o.objs.at(3 + k), &pos, &page));
    const pdf_value* a = qm::dict_get(page, "Annots");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->items.size(), 1u);
    pos = 0;
    ASSERT_TRUE(qm::pdf_parse(o.objs.at(a->items[0].n), &pos, &link));
    EXPECT_EQ(qm::dict_get(link, "Dest")->items[0].n, 3 + (k + 1) % n) << "page " << k + 1;
  }
  EXPECT_QPDF_ACCEPTS((scratch() / "helpers.pdf").string());
}

TEST(JobInteractive, OffByDefaultCarriesNothing) {
  const std::string bg = doc_pdf({page_spec{"[0 0 612 792]", "", "/Annots [20 0 R]"}},
                                 {{20, "<< /Subtype /Link /Rect [1 1 2 2] >>"}});
  ran r = run(bg, kEmptyFg, true, false);
  ASSERT_EQ(r.rc, 1);
  EXPECT_EQ(r.bytes.find("/Annots"), std::string::npos);
  EXPECT_EQ(r.bytes.find("/Link"), std::string::npos);
  // A document with nothing to keep is written the same with the option as without.
  const std::string plain = doc_pdf({page_spec{}, page_spec{"[0 0 300 400]", "", "/Rotate 90"}});
  EXPECT_EQ(run(plain, kEmptyFg, true, true, "on.pdf").bytes,
            run(plain, kEmptyFg, true, false, "off.pdf").bytes);
}

TEST(JobInteractive, WidgetOnTurnedPageTurnsWithIt) {
  // A 200 x 100 page turned by 90: shown 100 wide and 200 high. The widget's appearance (30) is
  // also used by an unturned page (page 2), so the turned one is a copy.
  const std::string bg = doc_pdf(
      {page_spec{"[0 0 200 100]", "", "/Rotate 90 /Annots [20 0 R]"},
       page_spec{"[0 0 200 100]", "", "/Annots [21 0 R]"}},
      {{20,
        "<< /Type /Annot /Subtype /Widget /FT /Tx /T (a) /Rect [10 20 30 40] /P 3 0 R "
        "/MK << /R 0 >> /RD [1 2 3 4] /AP << /N 30 0 R >> >>"},
       {21, "<< /Type /Annot /Subtype /Square /Rect [10 20 30 40] /AP << /N 30 0 R >> >>"},
       {30,
        "<< /Length 0 /Type /XObject /Subtype /Form /BBox [0 0 20 20] >>\nstream\n\nendstream"}});
  ran r = run(bg, kEmptyFg, true);
  ASSERT_EQ(r.rc, 1);
  const std::vector<int> a = annots_of(r, 0);
  ASSERT_EQ(a.size(), 1u);
  const pdf_value& w = r.at(a[0]);
  // (x, y) -> (y, 200 - x): corners (10, 20) and (30, 40) go to (20, 190) and (40, 170).
  expect_near_all(nums(qm::dict_get(w, "Rect")), {20, 170, 40, 190});
  expect_near_all(nums(qm::dict_get(w, "RD")), {2, 3, 4, 1});
  EXPECT_EQ(num(qm::dict_get(r.deref(qm::dict_get(w, "MK")), "R")), 270);
  const pdf_value* ap = qm::dict_get(r.deref(qm::dict_get(w, "AP")), "N");
  ASSERT_NE(ap, nullptr);
  expect_near_all(nums(qm::dict_get(r.deref(ap), "Matrix")), {0, -1, 1, 0, 0, 0});
  // The unturned page's square names the appearance as copied, without a /Matrix.
  const std::vector<int> b = annots_of(r, 1);
  ASSERT_EQ(b.size(), 1u);
  const pdf_value* ap2 = qm::dict_get(r.deref(qm::dict_get(r.at(b[0]), "AP")), "N");
  ASSERT_NE(ap2, nullptr);
  EXPECT_NE(ap2->n, ap->n);
  EXPECT_EQ(qm::dict_get(r.deref(ap2), "Matrix"), nullptr);
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, FormWithTwoFieldsKeepsNamesValuesAndWidgets) {
  // Field 10 (a parent named "person") has the widget 20 as its kid; widget-field 21 stands on
  // its own. The form's /DR names font 40.
  const std::string bg = doc_pdf(
      {page_spec{"[0 0 612 792]", "", "/Annots [20 0 R 21 0 R]"}},
      {{10, "<< /T (person) /FT /Tx /Kids [20 0 R] /AA << /K 22 0 R >> >>"},
       {20,
        "<< /Type /Annot /Subtype /Widget /Parent 10 0 R /T (name) /V (Ann) /Rect [0 0 9 9] "
        "/P 3 0 R >>"},
       {21, "<< /Type /Annot /Subtype /Widget /FT /Btn /T (ok) /V /Yes /Rect [20 0 29 9] >>"},
       {22, "<< /S /JavaScript /JS (1) >>"},
       {40, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
       {1,
        "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [10 0 R 21 0 R] /DA (/Helv 0 "
        "Tf 0 g) /DR << /Font << /Helv 40 0 R >> >> /NeedAppearances true >> >>"}});
  ran r = run(bg, kEmptyFg, true);
  ASSERT_EQ(r.rc, 1);
  const pdf_value& form = r.deref(qm::dict_get(r.catalog(), "AcroForm"));
  const pdf_value* fields = qm::dict_get(form, "Fields");
  ASSERT_NE(fields, nullptr);
  ASSERT_EQ(fields->items.size(), 2u);
  const pdf_value& person = r.deref(&fields->items[0]);
  EXPECT_EQ(qm::string_bytes(qm::dict_get(person, "T")->text), "person");
  EXPECT_EQ(qm::dict_get(person, "AA"), nullptr);
  const std::vector<int> a = annots_of(r, 0);
  ASSERT_EQ(a.size(), 2u);
  // The parent's kid is the page's first widget, which names the parent back.
  const pdf_value* kids = qm::dict_get(person, "Kids");
  ASSERT_NE(kids, nullptr);
  ASSERT_EQ(kids->items.size(), 1u);
  EXPECT_EQ(kids->items[0].n, a[0]);
  EXPECT_EQ(qm::dict_get(r.at(a[0]), "Parent")->n, fields->items[0].n);
  EXPECT_EQ(qm::string_bytes(qm::dict_get(r.at(a[0]), "V")->text), "Ann");
  EXPECT_EQ(fields->items[1].n, a[1]);
  EXPECT_TRUE(qm::is_name(*qm::dict_get(r.at(a[1]), "V"), "Yes"));
  // The font of /DR is copied with the resources.
  const pdf_value* helv =
      qm::dict_get(r.deref(qm::dict_get(r.deref(qm::dict_get(form, "DR")), "Font")), "Helv");
  ASSERT_NE(helv, nullptr);
  EXPECT_TRUE(qm::is_name(*qm::dict_get(r.deref(helv), "BaseFont"), "Helvetica"));
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, OutlineOfTwoItemsAndDocumentInfo) {
  // Outline 50 with items 51 (to page 2, open with one child 53) and 52 (to page 1); /Info 60.
  std::string bg = doc_pdf(
      {page_spec{}, page_spec{}},
      {{1, "<< /Type /Catalog /Pages 2 0 R /Outlines 50 0 R /PageMode /UseOutlines /Lang (de) >>"},
       {50, "<< /Type /Outlines /First 51 0 R /Last 52 0 R /Count 3 >>"},
       {51,
        "<< /Title (Two) /Parent 50 0 R /Next 52 0 R /First 53 0 R /Last 53 0 R /Count 1 "
        "/Dest [4 0 R /Fit] >>"},
       {52,
        "<< /Title (One) /Parent 50 0 R /Prev 51 0 R /A << /S /GoTo /D [3 0 R /FitH 700] "
        ">> >>"},
       {53, "<< /Title (Child) /Parent 51 0 R /Dest [3 0 R /Fit] >>"},
       {60, "<< /Title (The title) >>"}});
  const size_t tr = bg.rfind("/Root 1 0 R");
  bg.insert(tr, "/Info 60 0 R ");
  ran r = run(bg, kEmptyFg, true);
  ASSERT_EQ(r.rc, 1);
  const pdf_value& root = r.deref(qm::dict_get(r.catalog(), "Outlines"));
  EXPECT_EQ(num(qm::dict_get(root, "Count")), 3);
  const pdf_value* first = qm::dict_get(root, "First");
  ASSERT_NE(first, nullptr);
  const pdf_value& two = r.deref(first);
  EXPECT_EQ(qm::string_bytes(qm::dict_get(two, "Title")->text), "Two");
  EXPECT_EQ(qm::dict_get(two, "Dest")->items[0].n, 4);
  const pdf_value& one = r.deref(qm::dict_get(two, "Next"));
  EXPECT_EQ(qm::string_bytes(qm::dict_get(one, "Title")->text), "One");
  EXPECT_EQ(qm::dict_get(one, "Next"), nullptr);
  EXPECT_EQ(qm::dict_get(*qm::dict_get(one, "A"), "D")->items[0].n, 3);
  EXPECT_EQ(qm::dict_get(one, "Prev")->n, first->n);
  EXPECT_EQ(qm::dict_get(root, "Last")->n, qm::dict_get(two, "Next")->n);
  const pdf_value& child = r.deref(qm::dict_get(two, "First"));
  EXPECT_EQ(qm::string_bytes(qm::dict_get(child, "Title")->text), "Child");
  EXPECT_EQ(qm::dict_get(child, "Parent")->n, first->n);
  EXPECT_TRUE(qm::is_name(*qm::dict_get(r.catalog(), "PageMode"), "UseOutlines"));
  EXPECT_NE(r.bytes.find("/Info "), std::string::npos);
  EXPECT_NE(r.bytes.find("(The title)"), std::string::npos);
  EXPECT_EQ(r.bytes.substr(0, 9), "%PDF-1.4\n");
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, DocumentInfoThatIsNoDictionaryIsLeftOut) {
  // The trailer's /Info names an object the file does not have, one cut off before its end, a
  // number, or the catalog: the output's trailer names no /Info, and the job still succeeds.
  struct info_case {
    const char* what;
    std::map<int, std::string> objs;
    int info;
  };
  const std::vector<info_case> cases = {
      {"missing object", {}, 60},
      {"a number", {{60, "42"}}, 60},
      {"the catalog", {}, 1},
  };
  for (const info_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bg = doc_pdf({page_spec{}}, c.objs);
    bg.insert(bg.rfind("/Root 1 0 R"), "/Info " + std::to_string(c.info) + " 0 R ");
    ran r = run(bg, kEmptyFg, true);
    ASSERT_EQ(r.rc, 1);
    EXPECT_EQ(r.bytes.find("/Info "), std::string::npos);
    EXPECT_QPDF_ACCEPTS(r.path);
  }
  // An information dictionary cut off where the cross-reference table begins.
  std::string bg = doc_pdf({page_spec{}});
  const size_t x = bg.rfind("xref\n");
  bg.insert(x, "60 0 obj\n<< /Title (Cut) /Author (x) 8388607bj\n");
  bg.insert(bg.rfind("/Root 1 0 R"), "/Info 60 0 R ");
  ran r = run(bg, kEmptyFg, true);
  ASSERT_EQ(r.rc, 1);
  const size_t info = r.bytes.find("/Info ");
  if (info != std::string::npos) {
    // Carried only as an object the output writes.
    const int n = std::stoi(r.bytes.substr(info + 6));
    EXPECT_TRUE(r.val.count(n)) << "object " << n;
  }
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, DestinationToPageNotImportedIsDropped) {
  // A stamp's page 1 links to its own page 2, which the stamp never shows; the link stays,
  // without a destination. The background's outline item to a page outside the page tree keeps
  // its title and loses its destination.
  const std::string fg = doc_pdf({page_spec{"[0 0 100 100]", "", "/Annots [20 0 R]"}, page_spec{}},
                                 {{20, "<< /Subtype /Link /Rect [0 0 5 5] /Dest [4 0 R /Fit] >>"}});
  const std::string bg =
      doc_pdf({page_spec{}}, {{1, "<< /Type /Catalog /Pages 2 0 R /Outlines 50 0 R >>"},
                              {50, "<< /First 51 0 R /Last 51 0 R /Count 1 >>"},
                              {51, "<< /Title (Gone) /Parent 50 0 R /Dest [77 0 R /Fit] >>"},
                              {77, "<< /Type /Page /MediaBox [0 0 1 1] >>"}});
  ran r = run(bg, fg, true);
  ASSERT_EQ(r.rc, 1);
  const std::vector<int> a = annots_of(r, 0);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(qm::dict_get(r.at(a[0]), "Dest"), nullptr);
  const pdf_value& item =
      r.deref(qm::dict_get(r.deref(qm::dict_get(r.catalog(), "Outlines")), "First"));
  EXPECT_EQ(qm::string_bytes(qm::dict_get(item, "Title")->text), "Gone");
  EXPECT_EQ(qm::dict_get(item, "Dest"), nullptr);
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, CyclesInParentKidsNextAndPopupEnd) {
  // Popup 21 and note 20 name each other; fields 10 and 11 are each other's kids; outline items
  // 51 and 52 are each other's /Next.
  const std::string bg = doc_pdf(
      {page_spec{"[0 0 612 792]", "", "/Annots [20 0 R 21 0 R 20 0 R]"}},
      {{1, "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [10 0 R] >> /Outlines 50 0 R >>"},
       {10, "<< /T (a) /Kids [11 0 R] /Parent 11 0 R >>"},
       {11, "<< /T (b) /Kids [10 0 R] /Parent 10 0 R >>"},
       {20, "<< /Subtype /Text /Rect [0 0 9 9] /Popup 21 0 R /Parent 21 0 R >>"},
       {21, "<< /Subtype /Popup /Rect [0 0 90 90] /Parent 20 0 R /Popup 21 0 R >>"},
       {50, "<< /First 51 0 R /Count 2 >>"},
       {51, "<< /Title (x) /Next 52 0 R /First 51 0 R >>"},
       {52, "<< /Title (y) /Next 51 0 R >>"}});
  ran r = run(bg, kEmptyFg, true);
  ASSERT_EQ(r.rc, 1);
  const std::vector<int> a = annots_of(r, 0);
  ASSERT_EQ(a.size(), 2u);  // the repeated entry is copied once
  EXPECT_EQ(qm::dict_get(r.at(a[0]), "Popup")->n, a[1]);
  EXPECT_EQ(qm::dict_get(r.at(a[1]), "Parent")->n, a[0]);
  const pdf_value& root = r.deref(qm::dict_get(r.catalog(), "Outlines"));
  EXPECT_EQ(num(qm::dict_get(root, "Count")), 2);
  EXPECT_QPDF_ACCEPTS(r.path);
}

TEST(JobInteractive, MergeTakesTheForegroundFormOnlyWhenTheBackgroundHasNone) {
  auto with_form = [](const std::string& name) {
    return doc_pdf({page_spec{"[0 0 612 792]", "", "/Annots [20 0 R]"}},
                   {{1, "<< /Type /Catalog /Pages 2 0 R /AcroForm << /Fields [20 0 R] >> >>"},
                    {20, "<< /Subtype /Widget /FT /Tx /T (" + name + ") /Rect [0 0 9 9] >>"}});
  };
  const std::string plain = doc_pdf({page_spec{}});
  struct tcase {
    std::string bg, fg;
    bool stamp;
    std::string field;  // the one field of the output's form; empty: no form
    size_t annots;
  };
  const tcase cases[] = {
      {with_form("b"), with_form("f"), false, "b", 1},  // never both: the foreground's widget goes
      {plain, with_form("f"), false, "f", 1},
      {plain, with_form("f"), true, "", 0},  // a stamp never brings its form
      {with_form("b"), plain, true, "b", 1},
  };
  std::vector<std::string> outputs;
  for (const tcase& c : cases) {
    ran r = run(c.bg, c.fg, c.stamp, true, "out" + std::to_string(outputs.size()) + ".pdf");
    outputs.push_back(r.path);
    ASSERT_EQ(r.rc, 1);
    const pdf_value* form = qm::dict_get(r.catalog(), "AcroForm");
    if (c.field.empty()) {
      EXPECT_EQ(form, nullptr);
    } else {
      ASSERT_NE(form, nullptr);
      const pdf_value* f = qm::dict_get(r.deref(form), "Fields");
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(f->items.size(), 1u);
      EXPECT_EQ(qm::string_bytes(qm::dict_get(r.deref(&f->items[0]), "T")->text), c.field);
    }
    EXPECT_EQ(annots_of(r, 0).size(), c.annots);
  }
  if (!have_qpdf()) GTEST_SKIP() << "qpdf is not installed";
  for (const std::string& p : outputs) EXPECT_TRUE(qpdf_accepts(p));
}

}  // namespace
