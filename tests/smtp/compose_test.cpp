// Composition of the header lines and the body stream, without a network.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/Exceptions.h"
#include "platform/File.h"
#include "smtp/Mailbox.h"
#include "smtp/Boundaries.h"
#include "smtp/MessageText.h"
#include "smtp/Qxsmtp.h"
#include "test_support/TempDir.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kBoundary1 = boundaries::Placeholder(1);
const std::string kBoundary2 = boundaries::Placeholder(2);
const std::string kBoundary3 = boundaries::Placeholder(3);

/// The boundaries of what smtp composed, in the order they first stand.
Lines BoundariesOf(TQxSMTP& smtp) {
  std::string text;
  for (const std::string& line : smtp.FinalHeader().Items()) text += line + "\n";
  return boundaries::In(text + smtp.BodyStream().ToString());
}

/// What smtp composed, its boundaries as kBoundary1, kBoundary2, ...
struct Composed {
  Lines header;
  std::string body;
};

Composed Masked(TQxSMTP& smtp) {
  const Lines drawn = BoundariesOf(smtp);
  Composed composed{{}, boundaries::Numbered(smtp.BodyStream().ToString(), drawn)};
  for (const std::string& line : smtp.FinalHeader().Items()) composed.header.push_back(boundaries::Numbered(line, drawn));
  return composed;
}

class Composition : public ::testing::Test {
 protected:
  std::string Body() { return Masked(smtp).body; }
  Lines Header() { return Masked(smtp).header; }

  TQxSMTP smtp{nullptr};
  TPostMessage& m = smtp.PostMessage();
  TempDir dir;
};

TEST_F(Composition, FreshComponentHasItsDefaults) {
  EXPECT_EQ(smtp.Port, 25);
  EXPECT_EQ(smtp.Charset, "us-ascii");
  EXPECT_EQ(smtp.SubType, mtPlain);
  EXPECT_EQ(smtp.EncodeType, uuMime);
  EXPECT_TRUE(smtp.ClearParams);
  EXPECT_EQ(smtp.UserID, "");
  EXPECT_FALSE(smtp.Busy());
  for (TStringList* list : {&m.ToAddress(), &m.ToCarbonCopy(), &m.ToBlindCarbonCopy(), &m.Body(), &m.Attachments()})
    EXPECT_EQ(list->Count(), 0);
}

TEST_F(Composition, ListPropertiesCopyOnWriteAndKeepTheirObjects) {
  TStringList source;
  source.SetText("a@x\nb@x\nc@x");
  TStringList* owned = &m.ToAddress();
  m.SetToAddress(source);
  source.Clear();
  EXPECT_EQ(&m.ToAddress(), owned);
  EXPECT_EQ(m.ToAddress().Items(), (Lines{"a@x", "b@x", "c@x"}));

  TExStringList* header = &smtp.FinalHeader();
  smtp.FinalHeader().Add("Old: line");
  source.SetText("X-One: 1\nX-Two: 2");
  smtp.SetFinalHeader(source);
  source.Add("X-Three: 3");
  EXPECT_EQ(&smtp.FinalHeader(), header);
  EXPECT_EQ(Header(), (Lines{"X-One: 1", "X-Two: 2"}));
}

// The worked example of the header rules, both forms.
TEST_F(Composition, WorkedHeaderExample) {
  m.FromAddress = "S";
  m.ToAddress().SetText("R1\nR2");
  m.ToCarbonCopy().Add("R3");
  m.Subject = "Report";
  smtp.Charset = "Windows-1251";
  smtp.FinalHeader().Add("Stale: line from before");

  smtp.ComposeMessage();
  EXPECT_EQ(Header(), (Lines{"From: <S>", "To: R1,R2", "CC: R3", "Subject: Report", "MIME-Version: 1.0",
                             "Content-Type: text/plain; charset=Windows-1251"}));

  m.Attachments().Add(dir.Write("a.txt", "abc"));
  smtp.ComposeMessage();
  EXPECT_EQ(Header(), (Lines{"From: <S>", "To: R1,R2", "CC: R3", "Subject: Report", "MIME-Version: 1.0",
                             "Content-Type: multipart/mixed; boundary=\"" + kBoundary1 + "\""}));
}

struct HeaderCase {
  const char* name;
  std::function<void(TQxSMTP&)> setup;
  Lines expected;
};

TEST_F(Composition, HeaderLinesFollowTheRecord) {
  const HeaderCase cases[] = {
      {"blind copies only: no To, no CC",
       [](TQxSMTP& s) { s.PostMessage().ToBlindCarbonCopy().Add("hidden@x"); },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}},
      {"display name, a blank before <",
       [](TQxSMTP& s) { s.PostMessage().FromName = "Ann"; },
       {"From: Ann <s@x>", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}},
      {"entries verbatim, empty ones joined too, a name before a colon bracketed",
       [](TQxSMTP& s) { s.PostMessage().ToAddress().SetText("Bob <b@x>\n\nc@x\nCarol: c@y\nDoe, J.: j@x"); },
       {"From: <s@x>", "To: Bob <b@x>,,c@x,Carol <c@y>,\"Doe, J.\" <j@x>", "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=us-ascii"}},
      {"every optional line, in order",
       [](TQxSMTP& s) {
         TPostMessage& m = s.PostMessage();
         m.ToCarbonCopy().Add("cc@x");
         m.Subject = "Hi";
         m.LocalProgram = "mailshot";
         m.ReplyTo = "r@x";
         m.Date = "not even a date";
         m.MessageId = "<id@x>";
       },
       {"From: <s@x>", "CC: cc@x", "Subject: Hi", "X-Mailer: mailshot", "Reply-To: r@x", "Date: not even a date",
        "Message-ID: <id@x>", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"}},
      {"a subject outside ASCII in the charset of its conversion",
       [](TQxSMTP& s) {
         s.PostMessage().Subject = "\xF0\xD2\xC9";
         s.SubjectCharset = "KOI8-R";
       },
       {"From: <s@x>", "Subject: =?KOI8-R?B?8NLJ?=", "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=us-ascii"}},
      {"names outside ASCII in the message's charset, the From name too",
       [](TQxSMTP& s) {
         TPostMessage& m = s.PostMessage();
         s.Charset = "windows-1251";
         m.FromName = "\xC8\xE2\xE0\xED";
         m.ToAddress().SetText("\xC8\xE2\xE0\xED <i@x>\nBob <b@x>");
         m.ToCarbonCopy().Add("\"\xC8\xE2\xE0\xED\" <c@x>");
         m.ReplyTo = "\xC8\xE2\xE0\xED <r@x>";
       },
       {"From: =?windows-1251?B?yOLg7Q==?= <s@x>", "To: =?windows-1251?B?yOLg7Q==?= <i@x>,Bob <b@x>",
        "CC: =?windows-1251?B?yOLg7Q==?= <c@x>", "Reply-To: =?windows-1251?B?yOLg7Q==?= <r@x>", "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=windows-1251"}},
      {"a line of text beyond 998 octets: quoted-printable",
       [](TQxSMTP& s) { s.PostMessage().Body().Add(std::string(999, 'a')); },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii",
        "Content-Transfer-Encoding: quoted-printable"}},
      {"8-bit text after HELO: quoted-printable, never undeclared",
       [](TQxSMTP& s) { s.PostMessage().Body().Add("caf\xE9"); },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii",
        "Content-Transfer-Encoding: quoted-printable"}},
      {"enriched", [](TQxSMTP& s) { s.SubType = mtEnriched; },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/enriched; charset=us-ascii"}},
      {"sgml", [](TQxSMTP& s) { s.SubType = mtSgml; },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/sgml; charset=us-ascii"}},
      {"tab-separated", [](TQxSMTP& s) { s.SubType = mtTabSeperated; },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/tab-separated-values; charset=us-ascii"}},
      {"html with an empty charset",
       [](TQxSMTP& s) {
         s.SubType = mtHtml;
         s.Charset = "";
       },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: text/html; charset="}},
      {"no charset at all once multipart",
       [](TQxSMTP& s) {
         s.SubType = mtHtml;
         s.Charset = "koi8-r";
         s.PostMessage().Attachments().Add("missing-but-counted");
       },
       {"From: <s@x>", "MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"" + kBoundary1 + "\""}},
  };
  for (const HeaderCase& c : cases) {
    TQxSMTP s(nullptr);
    s.PostMessage().FromAddress = "s@x";
    c.setup(s);
    try {
      s.ComposeMessage();
    } catch (const EFOpenError&) {
      // the header is complete before any attachment is opened
    }
    EXPECT_EQ(Masked(s).header, c.expected) << c.name;
  }
}

TEST_F(Composition, EachMultipartPartDrawsARandomBoundary) {
  smtp.SubType = mtHtml;
  m.Body().Add("<p>Hi</p>");
  m.Alternative().Add("Hi");
  m.InlineImages.push_back({dir.Write("chart.png", "png"), "c@x", ""});
  m.Attachments().Add(dir.Write("a.bin", ""));
  Lines drawn;
  for (int message = 0; message < 2; ++message) {
    smtp.ComposeMessage();
    const Lines boundaries = BoundariesOf(smtp);
    ASSERT_EQ(boundaries.size(), 3u) << "mixed, alternative and related each have their own";
    EXPECT_EQ(boundaries[0], smtp.Boundary());
    for (const std::string& b : boundaries) {
      EXPECT_TRUE(std::regex_match(b, std::regex("==[a-z]{27}"))) << b;
      drawn.push_back(b);
    }
  }
  std::sort(drawn.begin(), drawn.end());
  EXPECT_EQ(std::adjacent_find(drawn.begin(), drawn.end()), drawn.end()) << "a boundary came twice";

  const std::string last = smtp.Boundary();
  m.Attachments().Clear();  // single-part: no draw, the boundary stays
  smtp.SubType = mtPlain;
  smtp.ComposeMessage();
  EXPECT_EQ(smtp.Boundary(), last);
}

// Text that goes as it is may quote a boundary line (a pasted or an
// attached message): the boundaries are drawn anew, the text kept.
TEST_F(Composition, ABoundaryLineInTheTextDrawsThemAnew) {
  const std::string b1 = "====one====", b2 = "====two====", b3 = "====three====", b4 = "====four====";
  const auto html = [](TQxSMTP& s) {
    s.SubType = mtHtml;
    s.PostMessage().Alternative().Add("Hi");
  };
  const struct {
    const char* name;
    Lines draws;  // what DrawBoundary gives in turn, the last one ever after
    std::string line;
    std::function<void(TQxSMTP&, TempDir&, const std::string& line)> setup;
    Lines boundaries;  // the message's, outermost first; none when it cannot be sent
  } cases[] = {
      {"a line of the body", {b1, b2}, "--" + b1 + "--", [](TQxSMTP& s, TempDir&, const std::string& line) {
         s.PostMessage().Body().SetText("Hello\n" + line);
       }, {b2}},
      {"a line of an attached message, past its first block", {b1, b2}, "--" + b1,
       [](TQxSMTP& s, TempDir& d, const std::string& line) {
         std::string message = "Subject: x\r\n\r\n";
         while (message.size() < 70000) message += std::string(78, 'x') + "\r\n";
         s.PostMessage().Attachments().Add(d.Write("old.eml", message + line + "\r\nmore\r\n"));
       }, {b2}},
      {"the HTML's line for the inner boundary", {b1, b2, b3, b4}, "--" + b2 + " trailing",
       [html](TQxSMTP& s, TempDir&, const std::string& line) {
         html(s);
         s.PostMessage().Body().SetText("<p>Hi</p>\n" + line);
       }, {b3, b4}},
      {"an inner part drawing the outer part's boundary", {b1, b1, b2, b3}, "",
       [html](TQxSMTP& s, TempDir&, const std::string&) { html(s); }, {b2, b3}},
      {"no boundary but one the text holds", {b1}, "--" + b1, [](TQxSMTP& s, TempDir&, const std::string& line) {
         s.PostMessage().Body().Add(line);
       }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TQxSMTP s(nullptr);
    size_t next = 0;
    s.DrawBoundary = [&] { return c.draws[std::min(next++, c.draws.size() - 1)]; };
    s.PostMessage().Attachments().Add(dir.Write("a.bin", "abc"));
    c.setup(s, dir, c.line);
    if (c.boundaries.empty()) {
      EXPECT_THROW(s.ComposeMessage(), Exception);
      EXPECT_EQ(next, 8u);
      continue;
    }
    s.ComposeMessage();
    EXPECT_EQ(BoundariesOf(s), c.boundaries);
    if (!c.line.empty()) {
      EXPECT_NE(s.BodyStream().ToString().find("\r\n" + c.line + "\r\n"), std::string::npos);
    }
  }
}

struct BodyCase {
  const char* name;
  Lines body;
  std::string expected;
};

TEST_F(Composition, SinglePartBodyIsTheDotStuffedText) {
  const BodyCase cases[] = {
      {"empty body, empty stream", {}, ""},
      {"plain lines", {"Hello", "World"}, "Hello\r\nWorld\r\n"},
      {"empty entry gives an empty line", {"a", "", "b"}, "a\r\n\r\nb\r\n"},
      {"dot-stuffing looks at the first character only",
       {".", "..", ".end", "a.b", " ."},
       "..\r\n...\r\n..end\r\na.b\r\n .\r\n"},
      {"CR LF inside an entry makes two stuffed lines", {"x\r\n.\r\ny"}, "x\r\n..\r\ny\r\n"},
      {"lone LF and lone CR split too", {".a\n.b\r.c"}, "..a\r\n..b\r\n..c\r\n"},
      {"a trailing break gives an empty line", {"a\n"}, "a\r\n\r\n"},
      {"LF CR is two breaks", {"a\n\rb"}, "a\r\n\r\nb\r\n"},
      {"control bytes pass unchanged", {"\x7F\t\x01"}, "\x7F\t\x01\r\n"},
      {"a line of 998 octets goes as it is", {std::string(998, 'a')}, std::string(998, 'a') + "\r\n"},
      {"one line beyond 998: all lines quoted-printable, no dot-stuffing",
       {".a=", std::string(999, 'a') + "\xE9", "x \r\n."},
       "=2Ea=3D\r\n" + [] {
         std::string lines;
         for (int i = 0; i < 13; ++i) lines += std::string(75, 'a') + "=\r\n";
         return lines;
       }() + std::string(24, 'a') + "=E9\r\nx=20\r\n=2E\r\n"},
  };
  for (const BodyCase& c : cases) {
    m.Body().Clear();
    for (const std::string& line : c.body) m.Body().Add(line);
    smtp.ComposeMessage();
    EXPECT_EQ(Body(), c.expected) << c.name;
  }
}

// The worked example of the DATA content with one attachment.
TEST_F(Composition, WorkedMultipartExample) {
  m.FromAddress = "S";
  m.ToAddress().Add("R1");
  m.Subject = "Report";
  m.Body().SetText("Hello\n.end");
  m.Attachments().Add(dir.Write("a.txt", "abc"));
  smtp.Charset = "Windows-1251";

  smtp.ComposeMessage();
  EXPECT_EQ(Header(), (Lines{"From: <S>", "To: R1", "Subject: Report", "MIME-Version: 1.0",
                             "Content-Type: multipart/mixed; boundary=\"" + kBoundary1 + "\""}));
  EXPECT_EQ(Body(),
            "--" + kBoundary1 + "\r\n"
            "Content-Type: text/plain; charset=Windows-1251\r\n"
            "\r\n"
            "Hello\r\n"
            "..end\r\n"
            "--" + kBoundary1 + "\r\n"
            "Content-Type: text/plain; name=\"a.txt\"\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "Content-Disposition: attachment; filename=\"a.txt\"\r\n"
            "\r\n"
            "abc\r\n"
            "--" + kBoundary1 + "--\r\n");
}

std::string Part(const std::string& boundary, const std::string& name, const std::string& encoding,
                 const std::string& data, const std::string& type = "application/octet-stream") {
  return "--" + boundary + "\r\nContent-Type: " + type + "; name=\"" + name +
         "\"\r\nContent-Transfer-Encoding: " + encoding + "\r\nContent-Disposition: attachment; filename=\"" + name +
         "\"\r\n\r\n" + data;
}

std::string TextPart(const std::string& boundary, const std::string& text) {
  return "--" + boundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + text;
}

TEST_F(Composition, AttachmentParts) {
  const std::string a45(45, 'a');
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    Lines body;
    TSubType subType;
    UUMethods method;
    std::string expected;
  };
  const Case cases[] = {
      {"empty file: part header, then the next boundary at once",
       {{"empty.bin", ""}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") + Part(kBoundary1, "empty.bin", "base64", "") + "--" + kBoundary1 + "--\r\n"},
      {"46 bytes: a full line and a short one",
       {{"46.bin", a45 + "a"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") +
           Part(kBoundary1, "46.bin", "base64",
                "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh\r\nYQ==\r\n") +
           "--" + kBoundary1 + "--\r\n"},
      {"two files in list order, one closing line",
       {{"one.bin", "a"}, {"two.bin", "ab"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") + Part(kBoundary1, "one.bin", "base64", "YQ==\r\n") +
           Part(kBoundary1, "two.bin", "base64", "YWI=\r\n") + "--" + kBoundary1 + "--\r\n"},
      {"empty body: the text part is its header alone",
       {{"a.bin", "abc"}}, {}, mtPlain, uuMime,
       TextPart(kBoundary1, "") + Part(kBoundary1, "a.bin", "base64", "YWJj\r\n") + "--" + kBoundary1 + "--\r\n"},
      {"html body is labelled plain text once attachments are present",
       {{"a.bin", "abc"}}, {"<p>Hi</p>"}, mtHtml, uuMime,
       TextPart(kBoundary1, "<p>Hi</p>\r\n") + Part(kBoundary1, "a.bin", "base64", "YWJj\r\n") + "--" + kBoundary1 +
           "--\r\n"},
      {"the type from the extension, case aside",
       {{"r.PDF", "%PDF"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") + Part(kBoundary1, "r.PDF", "base64", "JVBERg==\r\n", "application/pdf") +
           "--" + kBoundary1 + "--\r\n"},
      {"ASCII text: quoted-printable, every line end escaped, the last line's end the boundary's",
       {{"t.csv", "a,b\r\n.c\nd \r\n"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") +
           Part(kBoundary1, "t.csv", "quoted-printable", "a,b=0D=0A=\r\n=2Ec=0A=\r\nd =0D=0A\r\n", "text/csv") +
           "--" + kBoundary1 + "--\r\n"},
      {"8-bit text in no named charset: base64",
       {{"t.log", "caf\xE9"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") + Part(kBoundary1, "t.log", "base64", "Y2Fm6Q==\r\n", "text/plain") + "--" +
           kBoundary1 + "--\r\n"},
      {"a message of CR LF lines: 7bit, dot-stuffed, its last line end kept",
       {{"m.eml", "Subject: x\r\n\r\n.\r\n"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") +
           Part(kBoundary1, "m.eml", "7bit", "Subject: x\r\n\r\n..\r\n\r\n", "message/rfc822") + "--" + kBoundary1 +
           "--\r\n"},
      {"a message with a bare LF cannot go as one",
       {{"m.eml", "Subject: x\n"}}, {"Hi"}, mtPlain, uuMime,
       TextPart(kBoundary1, "Hi\r\n") + Part(kBoundary1, "m.eml", "base64", "U3ViamVjdDogeAo=\r\n") + "--" +
           kBoundary1 + "--\r\n"},
      {"text beyond 998 octets: the text part is quoted-printable",
       {{"a.bin", "abc"}}, {std::string(76, 'x') + std::string(923, 'y')}, mtPlain, uuMime,
       "--" + kBoundary1 + "\r\nContent-Type: text/plain; charset=us-ascii\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n\r\n" + std::string(75, 'x') + "=\r\nx" + [] {
         std::string lines(74, 'y');
         for (int i = 0; i < 11; ++i) lines += "=\r\n" + std::string(75, 'y');
         return lines + "=\r\n" + std::string(24, 'y') + "\r\n";
       }() + Part(kBoundary1, "a.bin", "base64", "YWJj\r\n") + "--" + kBoundary1 + "--\r\n"},
      {"uuencode data is labelled as such, text too",
       {{"a.txt", "abc"}}, {"Hi"}, mtPlain, uuCode,
       TextPart(kBoundary1, "Hi\r\n") + Part(kBoundary1, "a.txt", "x-uuencode", "#86)C\r\n`\r\n", "text/plain") +
           "--" + kBoundary1 + "--\r\n"},
  };
  for (const Case& c : cases) {
    TQxSMTP s(nullptr);
    s.SubType = c.subType;
    s.EncodeType = c.method;
    for (const std::string& line : c.body) s.PostMessage().Body().Add(line);
    for (const auto& [name, content] : c.files) s.PostMessage().Attachments().Add(dir.Write(name, content));
    s.ComposeMessage();
    EXPECT_EQ(Masked(s).body, c.expected) << c.name;
  }
}

TEST_F(Composition, HtmlGoesWithItsTextAndItsImages) {
  smtp.SubType = mtHtml;
  smtp.Charset = "windows-1251";
  m.Body().SetText("<p>Hi \xC8</p><img src=\"cid:i1@x\">");
  m.Alternative().SetText("Hi \xD0\x98");
  smtp.ComposeMessage();
  EXPECT_EQ(Header().back(), "Content-Type: multipart/alternative; boundary=\"" + kBoundary1 + "\"");
  const std::string text = "--" + kBoundary1 + "\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                           "Content-Transfer-Encoding: quoted-printable\r\n\r\nHi =D0=98\r\n";
  const std::string html = "Content-Type: text/html; charset=windows-1251\r\n"
                           "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>Hi =C8</p><img src=3D\"cid:i1@x\">\r\n";
  EXPECT_EQ(Body(), text + "--" + kBoundary1 + "\r\n" + html + "--" + kBoundary1 + "--\r\n");

  m.InlineImages.push_back({dir.Write("chart.png", "abc"), "i1@x", ""});
  m.Attachments().Add(dir.Write("a.bin", "abc"));
  smtp.ComposeMessage();
  EXPECT_EQ(Header().back(), "Content-Type: multipart/mixed; boundary=\"" + kBoundary1 + "\"");
  auto shifted = [&](std::string part) {  // the text part, one level down
    part.replace(2, kBoundary1.size(), kBoundary2);
    return part;
  };
  EXPECT_EQ(Body(), "--" + kBoundary1 + "\r\nContent-Type: multipart/alternative; boundary=\"" + kBoundary2 +
                        "\"\r\n\r\n" + shifted(text) + "--" + kBoundary2 +
                        "\r\nContent-Type: multipart/related; boundary=\"" + kBoundary3 + "\"\r\n\r\n--" + kBoundary3 + "\r\n" + html +
                        "--" + kBoundary3 + "\r\nContent-Type: image/png; name=\"chart.png\"\r\n"
                        "Content-Transfer-Encoding: base64\r\nContent-ID: <i1@x>\r\n"
                        "Content-Disposition: inline; filename=\"chart.png\"\r\n\r\nYWJj\r\n--" + kBoundary3 + "--\r\n--" +
                        kBoundary2 + "--\r\n" + Part(kBoundary1, "a.bin", "base64", "YWJj\r\n") + "--" + kBoundary1 +
                        "--\r\n");
}

/// Decodes base64 lines (CR LF after each), checking that every line but
/// the last holds 60 characters.
std::string DecodeBase64Lines(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return "unterminated line";
    const std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    if (pos < text.size() && line.size() != 60) return "short line before the last";
    unsigned bits = 0;
    int count = 0;
    for (char c : line) {
      if (c == '=') break;
      bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
      count += 6;
      if (count >= 8) {
        count -= 8;
        out += static_cast<char>((bits >> count) & 0xFF);
      }
    }
  }
  return out;
}

/// The lines of the part of the file named name, the last part before the
/// closing boundary; none when there is no such part or no closing boundary.
std::optional<std::string> LastPartLines(const std::string& body, const std::string& name) {
  const std::string start = "filename=\"" + name + "\"\r\n\r\n";
  const std::string end = "--" + kBoundary1 + "--\r\n";
  const size_t at = body.find(start);
  if (at == std::string::npos || !body.ends_with(end)) return std::nullopt;
  const size_t from = at + start.size();
  return body.substr(from, body.size() - end.size() - from);
}

TEST_F(Composition, LargeAttachmentEncodesCompletely) {
  // Crosses the buffer stream's blocks and the file's read-ahead many times.
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  m.Attachments().Add(dir.Write("big.bin", data));
  smtp.ComposeMessage();
  const std::optional<std::string> encoded = LastPartLines(Body(), "big.bin");
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->size(), 4444u * 62 + 30);  // 4444 full lines of 45 bytes, then 20 bytes
  EXPECT_TRUE(DecodeBase64Lines(*encoded) == data);
}

/// Decodes quoted-printable lines (CR LF after each), checking that none is
/// longer than 76 characters.
std::string DecodeQuotedPrintableLines(const std::string& text) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return "unterminated line";
    if (end - pos > 76) return "line beyond 76 characters";
    std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    const bool soft = !line.empty() && line.back() == '=';
    if (soft) line.pop_back();
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '=') {
        out += line[i];
        continue;
      }
      out += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
      i += 2;
    }
    if (!soft && pos < text.size()) out += "\r\n";
  }
  return out;
}

TEST_F(Composition, LargeTextAttachmentGoesWholeAcrossItsReadBlocks) {
  std::string data;
  for (int i = 0; data.size() < 200000; ++i) {
    data += std::string(static_cast<size_t>(i % 190), static_cast<char>('a' + i % 26)) + (i % 3 ? "\n" : " \r\n");
    if (i % 50 == 0) data += ".\r\r\n";
  }
  m.Attachments().Add(dir.Write("big.log", data));
  smtp.ComposeMessage();
  const std::optional<std::string> encoded = LastPartLines(Body(), "big.log");
  ASSERT_TRUE(encoded);
  EXPECT_TRUE(DecodeQuotedPrintableLines(*encoded) == data);
}

// The data is the same however it is read: whole, in pieces of any size,
// and once more from the start, as a second transaction reads it. Sizes at
// the edges of the encoders' lines and of the blocks read from the files.
TEST_F(Composition, StreamedInAnyPiecesTheDataIsTheSame) {
  constexpr size_t kLineBlock = kEncodeRunLines * 45;  // input of one block of base64 or uuencode lines
  constexpr size_t kTextBlock = 64 * 1024;             // input of one block of a text or message part
  const struct {
    const char* name;  // of the file: its type picks the encoding
    UUMethods method;
    size_t size;
  } cases[] = {
      {"a.bin", uuMime, 0},  {"a.bin", uuMime, 1},  {"a.bin", uuMime, 2},  {"a.bin", uuMime, 3},
      {"a.bin", uuMime, 44}, {"a.bin", uuMime, 45}, {"a.bin", uuMime, 46}, {"a.bin", uuMime, kLineBlock - 1},
      {"a.bin", uuMime, kLineBlock}, {"a.bin", uuMime, kLineBlock + 1}, {"a.bin", uuCode, 0},
      {"a.bin", uuCode, 46}, {"a.bin", uuCode, kLineBlock + 1}, {"a.txt", uuMime, kTextBlock - 1},
      {"a.txt", uuMime, kTextBlock}, {"a.txt", uuMime, kTextBlock + 1}, {"m.eml", uuMime, kTextBlock - 1},
      {"m.eml", uuMime, kTextBlock + 2},
  };
  for (const auto& c : cases) {
    const std::string name = std::string(c.name) + " " + std::to_string(c.size) + (c.method == uuCode ? " uu" : "");
    std::string content;
    if (std::string(c.name) == "a.bin") {
      for (size_t i = 0; i < c.size; ++i) content += static_cast<char>(i * 131 + i / 7);
    } else {
      // Lines ended by CR LF, some begun by a dot, cut to the size.
      for (int i = 0; content.size() < c.size; ++i) content += (i % 5 ? "line " : ".dot ") + std::to_string(i) + "\r\n";
      content.resize(c.size);
      if (std::string(c.name) == "m.eml") content.replace(c.size - 2, 2, "\r\n");
    }
    smtp.EncodeType = c.method;
    smtp.BodyStream().Clear();  // closes the file of the case before, which Windows would not let us write
    m.Attachments().Clear();
    m.Attachments().Add(dir.Write(c.name, content));
    smtp.ComposeMessage();
    TMessageStream& stream = smtp.BodyStream();
    const std::string whole = stream.ToString();
    EXPECT_EQ(stream.DataSize(), static_cast<std::int64_t>(whole.size())) << name;
    for (const std::int64_t piece : {std::int64_t{7}, std::int64_t{4096}, std::int64_t{65536}}) {
      std::string streamed(whole.size() + 1, '\0');
      stream.SetPosition(0);
      std::int64_t got = 0;
      const auto room = [&] { return std::min(piece, static_cast<std::int64_t>(streamed.size()) - got); };
      for (std::int64_t n; (n = stream.Read(streamed.data() + got, room())) > 0;) got += n;
      streamed.resize(static_cast<size_t>(got));
      EXPECT_TRUE(streamed == whole) << name << " read in pieces of " << piece;
    }
    const std::optional<std::string> lines = LastPartLines(Body(), c.name);
    ASSERT_TRUE(lines) << name;
    const std::string& part = *lines;
    if (std::string(c.name) == "a.bin") {
      // As the encoder gives the whole file at once.
      TMemoryStream input, output;
      input.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
      TQxUUProcessor encoder(nullptr);
      encoder.Method = c.method;
      encoder.InputStream = &input;
      encoder.OutputStream = &output;
      encoder.Encode();
      EXPECT_TRUE(part == output.ToString()) << name;
    } else if (std::string(c.name) == "a.txt") {
      EXPECT_TRUE(DecodeQuotedPrintableLines(part) == content) << name;
    } else {
      EXPECT_NE(whole.find("message/rfc822"), std::string::npos) << name;
      std::string undone;  // without the dot-stuffing and the boundary's line end
      for (size_t i = 0; i + 2 < part.size(); ++i) {
        if (part[i] == '.' && (i == 0 || part[i - 1] == '\n')) ++i;
        undone += part[i];
      }
      EXPECT_TRUE(undone == content) << name;
    }
  }
}

struct NameCase {
  const char* name;
  std::string entry;
  std::string fileName;
};

TEST_F(Composition, FileNameIsThePartAfterTheLastSeparator) {
  const NameCase cases[] = {
      {"drive and folders", "C:\\dir\\file.bin", "file.bin"},
      {"drive without a folder", "D:file.bin", "file.bin"},
      {"no separator", "file.bin", "file.bin"},
      {"forward slashes separate folders too", "/home/ann/file.bin", "file.bin"},
      {"mixed slashes", "C:/docs\\sub/file.bin", "file.bin"},
  };
  for (const NameCase& c : cases) EXPECT_EQ(smtp_text::AttachmentFileName(c.entry), c.fileName) << c.name;
}

TEST_F(Composition, FileNamesOutsideAsciiGoInUtf8) {
  const struct {
    const char* name;
    std::string fileName;
    std::string fileNameCharset;
    std::string charset;
    std::string typeLine;
    std::string dispositionLine;
  } cases[] = {
      {"from the file names' charset", "\xE9t\xE9.txt", "windows-1252", "koi8-r",
       "Content-Type: text/plain; name=\"=?UTF-8?B?w6l0w6kudHh0?=\"",
       "Content-Disposition: attachment; filename*=UTF-8''%C3%A9t%C3%A9.txt"},
      {"no UTF-8 though the file names' charset says so: the message's charset", "\xCE\xF2\xF7\xB8\xF2.csv", "UTF-8",
       "Windows-1251", "Content-Type: text/csv; name=\"=?UTF-8?B?0J7RgtGH0ZHRgi5jc3Y=?=\"",
       "Content-Disposition: attachment; filename*=UTF-8''%D0%9E%D1%82%D1%87%D1%91%D1%82.csv"},
      {"UTF-8 as it is", "\xC3\xA9t\xC3\xA9.txt", "windows-1252", "koi8-r",
       "Content-Type: text/plain; name=\"=?UTF-8?B?w6l0w6kudHh0?=\"",
       "Content-Disposition: attachment; filename*=UTF-8''%C3%A9t%C3%A9.txt"},
      {"in no charset known: labelled as unknown", "\xE9", "", "x-unknown",
       "Content-Type: application/octet-stream; name=\"=?UNKNOWN-8BIT?B?6Q==?=\"",
       "Content-Disposition: attachment; filename*=UNKNOWN-8BIT''%E9"},
  };
  for (const auto& c : cases) {
    smtp.Charset = c.charset;
    smtp.FileNameCharset = c.fileNameCharset;
    m.Attachments().Clear();
    // Made by the program's own file functions: the name's bytes are the path's, on Windows too.
    const std::string path = dir.Path("") + c.fileName;
    const platform::FileHandle file = platform::OpenFileForAppend(path);
    ASSERT_NE(file, platform::kInvalidFile) << c.name;
    EXPECT_TRUE(platform::AppendLine(file, "a")) << c.name;
    platform::CloseFile(file);
    m.Attachments().Add(path);
    smtp.ComposeMessage();
    EXPECT_NE(Body().find("\r\n" + c.typeLine + "\r\n"), std::string::npos) << c.name << "\n" << Body();
    EXPECT_NE(Body().find("\r\n" + c.dispositionLine + "\r\n"), std::string::npos) << c.name;
  }
}

TEST_F(Composition, UnreadableAttachmentStopsCompositionAfterItsEvent) {
  struct Case {
    const char* name;
    std::string second;  // the failing entry
  };
  const Case cases[] = {
      {"missing file", dir.Path("missing.bin")},
      {"a directory", dir.Path("")},
      {"empty entry", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> events;
    smtp.OnEncodeStart = [&](const std::string& f) { events.push_back("start " + f); };
    smtp.OnEncodeEnd = [&](const std::string& f) { events.push_back("end " + f); };
    smtp.OnAttachmentNotFound = [&](const std::string& f) { events.push_back("not found " + f); };
    const std::string first = dir.Write("first.bin", "1");
    const std::string third = dir.Write("third.bin", "3");
    m.Attachments().Clear();
    m.Attachments().Add(first);
    m.Attachments().Add(c.second);
    m.Attachments().Add(third);
    try {
      smtp.ComposeMessage();
      ADD_FAILURE() << c.name << ": no error";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), "Cannot open file " + c.second) << c.name;
    }
    EXPECT_EQ(events, (Lines{"start " + first, "end " + first, "not found " + c.second})) << c.name;
    EXPECT_EQ(Body().find("third.bin"), std::string::npos) << c.name;
  }
}

TEST_F(Composition, HandlerErrorGoesOnAndTheFileIsReleased) {
  const std::string path = dir.Write("a.bin", "abc");
  m.Attachments().Add(path);
  bool notFound = false;
  smtp.OnAttachmentNotFound = [&](const std::string&) { notFound = true; };
  smtp.OnEncodeEnd = [](const std::string&) { throw Exception("handler says no"); };
  try {
    smtp.ComposeMessage();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "handler says no");
  }
  EXPECT_FALSE(notFound);
  EXPECT_EQ(Body().substr(Body().size() - 4), "\r\n\r\n") << "the failed part keeps its header, no line";
  // Opened without sharing while encoding; released on the way out.
  const platform::FileHandle again = platform::OpenFileForRead(path, platform::FileShare::kDenyAll);
  EXPECT_NE(again, platform::kInvalidFile);
  platform::CloseFile(again);

  smtp.OnEncodeEnd = nullptr;  // the component is fit for the next composition
  smtp.ComposeMessage();
  EXPECT_NE(Body().find("YWJj\r\n"), std::string::npos);
}

TEST_F(Composition, ExtractAddress) {
  const NameCase cases[] = {
      {"display name and brackets", "Bob Smith <bob@x>", "bob@x"},
      {"bare mailbox", "bob@x", "bob@x"},
      {"no blank after a word and colon", "To: bob@x", "bob@x"},
      {"no blanks around a bare mailbox or inside brackets", " \t bob@x \t", "bob@x"},
      {"bracket without its closing one", "<bob@x", "bob@x"},
      {"an entry of blanks names nobody", "   ", ""},
      {"empty brackets", "<>", ""},
      {"empty entry", "", ""},
      {"first bracket pair wins", "a <b@x> <c@x>", "b@x"},
      {"colon field ends at the next colon", "x:b@x:y", "b@x"},
      {"brackets win over a colon", "Name: <b@x>", "b@x"},
  };
  for (const NameCase& c : cases) EXPECT_EQ(mailbox::Extract(c.entry), c.fileName) << c.name;
}

}  // namespace
