#include "fixtures.h"

#include "base/utf8_text.h"
#include "winmedia/server/net_status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace sondrix {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD"; // U+FFFD
const std::string kRightQuote = "\xE2\x80\x99";  // U+2019

// A literal with its embedded NULs, without the terminating one.
template <std::size_t N> std::string bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    out += s;
  }
  return out;
}

TEST(NetText, CleansUtf8AndCutsOnBoundaries) {
  struct Case {
    const char* name;
    std::string in;
    std::string keepControls;
    std::string dropControls;
  };
  const std::vector<Case> cases = {
      {"ascii", "Radio 1", "Radio 1", "Radio 1"},
      {"two to four bytes", "\xD0\x96\xE2\x82\xAC\xF0\x9F\x8E\xB5",
       "\xD0\x96\xE2\x82\xAC\xF0\x9F\x8E\xB5", "\xD0\x96\xE2\x82\xAC\xF0\x9F\x8E\xB5"},
      {"stray bytes",
       "a\xFF"
       "b\x80",
       "a" + kReplacement + "b" + kReplacement, "a" + kReplacement + "b" + kReplacement},
      {"overlong slash", "\xC0\xAF", kReplacement + kReplacement, kReplacement + kReplacement},
      {"surrogate", "\xED\xA0\x80", repeat(kReplacement, 3), repeat(kReplacement, 3)},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", repeat(kReplacement, 4), repeat(kReplacement, 4)},
      {"cut at the end", "ok\xE2\x82", "ok" + repeat(kReplacement, 2),
       "ok" + repeat(kReplacement, 2)},
      {"controls",
       bytes("a\x00\x01\tb\r\n\x7F"
             "c\xC2\x85"
             "d"),
       bytes("a\x00\x01\tb\r\n\x7F"
             "c\xC2\x85"
             "d"),
       "abcd"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cleanUtf8(c.in, false), c.keepControls) << c.name;
    EXPECT_EQ(cleanUtf8(c.in, true), c.dropControls) << c.name;
  }

  const std::string text = "a\xD0\x96\xE2\x82\xAC\xF0\x9F\x8E\xB5"; // 1 + 2 + 3 + 4 bytes
  const std::vector<std::pair<std::size_t, std::size_t>> cuts = {
      {0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3}, {5, 3}, {6, 6}, {9, 6}, {10, 10}, {99, 10}};
  for (const auto& [max, length] : cuts) {
    EXPECT_EQ(utf8CutLength(text, max), length) << max;
  }
}

TEST(NetStatus, StreamTitleText) {
  struct Case {
    NowPlaying np;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"Artist", "Title", "Album", "f.mp3"}, "Artist - Title"},
      {{"", "Title", "Album", "f.mp3"}, "Title"},
      {{"Artist", "", "", "f.mp3"}, "Artist"},
      {{"", "", "Album", "01 Song.name.mp3"}, "01 Song.name"},
      {{"", "", "", "README"}, "README"},
      {{"", "", "", ".hidden"}, ".hidden"},
      {{"", "", "", "music/dir.v2/track.flac"}, "track"},
      {{"", "", "Album", ""}, ""},
      // ID3v1 fields padded with spaces or NULs count as empty.
      {{"   ", bytes("Title\0\0"), "", "f.mp3"}, "Title"},
      {{"  Artist  ", bytes("\0"), "", "f.mp3"}, "Artist"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(streamTitleText(c.np), c.text) << c.np.artist << "|" << c.np.title;
  }
}

// What FFmpeg and VLC read from a block: the value from "StreamTitle='" up to the first "';".
// Also checks the layout: length byte, N*16 bytes, the text and then NULs only.
std::string playerTitle(const std::vector<std::uint8_t>& block) {
  EXPECT_FALSE(block.empty());
  if (block.empty()) {
    return {};
  }
  EXPECT_EQ(block.size(), 1 + std::size_t{block[0]} * 16);
  EXPECT_GE(block[0], 1);
  const std::string payload(block.begin() + 1, block.end());
  const std::size_t nul = payload.find('\0');
  const std::string text = payload.substr(0, nul);
  if (nul != std::string::npos) {
    EXPECT_EQ(payload.find_first_not_of('\0', nul), std::string::npos) << "data after padding";
    // Padding is less than one unit: the length byte is as small as it can be.
    EXPECT_LT(payload.size() - nul, 16u);
  }
  EXPECT_TRUE(text.starts_with("StreamTitle='")) << text;
  EXPECT_TRUE(text.ends_with("';")) << text;
  const std::size_t start = text.find("StreamTitle='") + 13;
  const std::size_t end = text.find("';", start);
  EXPECT_EQ(end, text.size() - 2) << "value ends early: " << text;
  return end == std::string::npos ? std::string() : text.substr(start, end - start);
}

std::vector<std::uint8_t> blockFor(const std::string& title) {
  return icyMetadataBlock(NowPlaying{"", title, "", ""});
}

TEST(NetStatus, IcyBlockLayoutAndQuotes) {
  struct Case {
    const char* name;
    std::string title;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"apostrophes stay", "Don't Stop", "Don't Stop"},
      {"quoted word", "Rock 'n' Roll", "Rock 'n' Roll"},
      {"ends in a quote", "Rock 'n'", "Rock 'n'"},
      {"quote semicolon", "It';s a trap';", "It" + kRightQuote + ";s a trap" + kRightQuote + ";"},
      {"fake end and field", "A';StreamUrl='http://x';",
       "A" + kRightQuote + ";StreamUrl='http://x" + kRightQuote + ";"},
      {"control between quote and semicolon", "x'\x01;y", "x" + kRightQuote + ";y"},
      {"controls dropped",
       bytes("A\x00\x01\x1F"
             "B\r\nC\x7F"
             "D"),
       "ABCD"},
      {"invalid UTF-8", "Caf\xE9", "Caf" + kReplacement},
      {"Cyrillic", "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE", "\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(playerTitle(blockFor(c.title)), c.shown) << c.name;
  }

  // Exact sizes: the 15 bytes of framing plus the text, rounded up to 16.
  const std::vector<std::pair<std::string, std::size_t>> sizes = {
      {"", 1}, {"1", 1}, {"12", 2}, {std::string(17, 'x'), 2}, {std::string(18, 'x'), 3}};
  for (const auto& [title, units] : sizes) {
    const auto block = blockFor(title);
    EXPECT_EQ(std::size_t{block[0]}, units) << title.size();
    EXPECT_EQ(playerTitle(block), title);
  }
  const auto exact = blockFor("1");
  EXPECT_EQ(std::string(exact.begin() + 1, exact.end()), "StreamTitle='1';");
  EXPECT_EQ(playerTitle(icyMetadataBlock(NowPlaying{"Artist", "Title", "Album", "f.mp3"})),
            "Artist - Title");
  EXPECT_EQ(playerTitle(icyMetadataBlock(NowPlaying{})), "");
}

TEST(NetStatus, IcyBlockIsCappedOnACharacterBoundary) {
  // 10,000 bytes of Cyrillic: 4065 bytes of room, so 2032 letters (4064 bytes) fit.
  const std::string ya = "\xD0\xAF"; // Я
  const std::string longTitle = repeat(ya, 5000);
  ASSERT_EQ(longTitle.size(), 10000u);
  const auto block = blockFor(longTitle);
  EXPECT_EQ(block.size(), 1u + 4080u);
  EXPECT_EQ(block[0], 255);
  const std::string shown = playerTitle(block);
  EXPECT_EQ(shown, repeat(ya, 2032));

  // One ASCII byte ahead shifts the letters: "x" + 2032 letters fill the room exactly, "xy" +
  // 2031 letters leave one byte that half a letter must not take.
  EXPECT_EQ(playerTitle(blockFor("x" + longTitle)), "x" + repeat(ya, 2032));
  const auto shifted = blockFor("xy" + longTitle);
  EXPECT_EQ(playerTitle(shifted), "xy" + repeat(ya, 2031));
  EXPECT_EQ(shifted.size(), 1u + 4080u);

  // Escapes grow the text; the cap still holds and no "';" slips through.
  const auto quotes = blockFor(repeat("';", 3000));
  EXPECT_EQ(quotes.size(), 1u + 4080u);
  const std::string q = playerTitle(quotes);
  EXPECT_EQ(q.find("';"), std::string::npos);
  EXPECT_EQ(cleanUtf8(q, true), q);
  EXPECT_EQ(q.size() % 4, 0u); // whole "’;" pairs only
}

StationStatus hostileStatus() {
  StationStatus s;
  s.name = "Sondrix \"FM\" <b>&</b> \xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE";
  s.onAirSince = 1796808600; // 2026-12-09T09:30:00Z
  s.wmaListeners = 3;
  s.mp3Listeners = 4;
  s.nowPlaying.artist = "Back\\slash \"Quote\" \xD0\x96 \xFF\xC3";
  s.nowPlaying.title = "<script>alert('x')</script>";
  s.nowPlaying.album = bytes("Tab\tNL\nNUL\0BEL\x07 DEL\x7F \xE2\x80\xA8 & > <");
  s.nowPlaying.file = "Don't.mp3";
  s.bitrate = 128000;
  s.mmsLink = "mms://radio.example:8098";
  s.mp3Link = "http://radio.example:8098/stream.mp3";
  return s;
}

std::string hex(const std::string& s) {
  std::string out;
  char buf[4];
  for (const char c : s) {
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    out += buf;
  }
  return out;
}

// Parses JSON with Python's strict parser; returns its fields as "key=hex of UTF-8" lines.
std::map<std::string, std::string> parsedByPython(const std::string& json) {
  std::map<std::string, std::string> fields;
  testing::TempDir dir("status-json");
  const auto file = dir / "status.json";
  std::ofstream(file, std::ios::binary) << json;
  const std::string command =
      "python3 -c \"import json,sys\n"
      "d=json.loads(open(sys.argv[1],'rb').read())\n"
      "n=d['nowPlaying']\n"
      "f={'station':d['station'],'onAirSince':d['onAirSince'] or '','artist':n['artist'],"
      "'title':n['title'],'album':n['album'],'file':n['file'],'text':n['text'],"
      "'mms':d['links']['mms'],'mp3':d['links']['mp3'],'wma':str(d['listeners']['wma']),"
      "'mp3n':str(d['listeners']['mp3']),'total':str(d['listeners']['total']),"
      "'bitrate':str(d['bitrate']),'null':str(d['onAirSince'] is None),'keys':','.join(d)}\n"
      "[print(k+'='+v.encode('utf-8').hex()) for k,v in f.items()]\" '" +
      file.string() + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) {
    ADD_FAILURE() << "popen";
    return fields;
  }
  char line[65536];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string l(line);
    while (!l.empty() && l.back() == '\n') {
      l.pop_back();
    }
    const std::size_t eq = l.find('=');
    if (eq == std::string::npos) {
      ADD_FAILURE() << "python: " << l;
      continue;
    }
    fields[l.substr(0, eq)] = l.substr(eq + 1);
  }
  return fields;
}

TEST(NetStatus, JsonParsesBackForHostileTags) {
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 is needed to parse the JSON back";
  }
  const StationStatus s = hostileStatus();
  const std::string json = statusJson(s);
  // Nothing in it can be read as markup or break a line, whatever the tags hold.
  EXPECT_EQ(json.find_first_of("<>&"), std::string::npos) << json;
  for (const char c : json) {
    EXPECT_GE(static_cast<unsigned char>(c), 0x20) << json;
  }
  EXPECT_EQ(json.find("\xE2\x80\xA8"), std::string::npos);
  EXPECT_NE(json.find("\\u003cscript\\u003e"), std::string::npos) << json;

  const auto f = parsedByPython(json);
  ASSERT_FALSE(f.empty());
  EXPECT_EQ(f.at("keys"), hex("station,onAirSince,listeners,nowPlaying,bitrate,links"));
  EXPECT_EQ(f.at("station"), hex(s.name));
  EXPECT_EQ(f.at("onAirSince"), hex("2026-12-09T09:30:00Z"));
  EXPECT_EQ(f.at("artist"), hex("Back\\slash \"Quote\" \xD0\x96 " + kReplacement + kReplacement));
  EXPECT_EQ(f.at("title"), hex(s.nowPlaying.title));
  EXPECT_EQ(f.at("album"), hex(s.nowPlaying.album)); // controls survive, escaped
  EXPECT_EQ(f.at("file"), hex("Don't.mp3"));
  EXPECT_EQ(f.at("text"), hex("Back\\slash \"Quote\" \xD0\x96 " + kReplacement + kReplacement +
                              " - " + s.nowPlaying.title));
  EXPECT_EQ(f.at("mms"), hex(s.mmsLink));
  EXPECT_EQ(f.at("mp3"), hex(s.mp3Link));
  EXPECT_EQ(f.at("wma"), hex("3"));
  EXPECT_EQ(f.at("mp3n"), hex("4"));
  EXPECT_EQ(f.at("total"), hex("7"));
  EXPECT_EQ(f.at("bitrate"), hex("128000"));

  // Off air is null; so is a time no four-digit year can hold. Counts never overflow.
  for (const std::int64_t since : {std::int64_t{0}, std::int64_t{-5}, std::int64_t{1} << 62}) {
    StationStatus off;
    off.onAirSince = since;
    off.wmaListeners = off.mp3Listeners = 4000000000u;
    const auto g = parsedByPython(statusJson(off));
    ASSERT_FALSE(g.empty()) << since;
    EXPECT_EQ(g.at("null"), hex("True")) << since;
    EXPECT_EQ(g.at("total"), hex("8000000000"));
    EXPECT_EQ(g.at("text"), "");
  }
  StationStatus leap;
  leap.onAirSince = 951782400; // 2000-02-29T00:00:00Z
  EXPECT_EQ(parsedByPython(statusJson(leap)).at("onAirSince"), hex("2000-02-29T00:00:00Z"));
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

TEST(NetStatus, PageEscapesEverythingFromTheStatus) {
  StationStatus s = hostileStatus();
  s.nowPlaying.artist = "O'Brien \"&\" \x01\xFF";
  const std::string page = statusPage(s);
  // Only the page's own script; the tag's one is text.
  EXPECT_EQ(count(page, "<script"), 1u);
  EXPECT_EQ(count(page, "</script>"), 1u);
  const std::string name =
      "Sondrix &quot;FM&quot; &lt;b&gt;&amp;&lt;/b&gt; \xD0\xA0\xD0\xB0\xD0\xB4\xD0\xB8\xD0\xBE";
  EXPECT_NE(page.find("<title>" + name + "</title>"), std::string::npos);
  EXPECT_NE(page.find("<h1>" + name + "</h1>"), std::string::npos);
  EXPECT_NE(page.find("O&#39;Brien &quot;&amp;&quot; " + kReplacement +
                      " - &lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"),
            std::string::npos)
      << page;
  EXPECT_EQ(page.find('\x01'), std::string::npos);
  EXPECT_EQ(cleanUtf8(page, false), page);
  EXPECT_NE(page.find("<audio id=\"player\" controls preload=\"metadata\" src=\"/stream.mp3\">"),
            std::string::npos);
  EXPECT_NE(page.find("<a href=\"mms://radio.example:8098\">"), std::string::npos);
  EXPECT_NE(page.find("<a href=\"http://radio.example:8098/stream.mp3\">"), std::string::npos);
  EXPECT_NE(page.find(">7<"), std::string::npos); // listeners, both flavours
  EXPECT_NE(page.find("charset=\"utf-8\""), std::string::npos);
  // Keeps itself current without ever parsing tags as markup, and needs nothing from outside.
  EXPECT_NE(page.find("/status.json"), std::string::npos);
  EXPECT_NE(page.find("textContent"), std::string::npos);
  EXPECT_EQ(page.find("innerHTML"), std::string::npos);
  EXPECT_EQ(page.find("<link"), std::string::npos);
  EXPECT_EQ(page.find("url("), std::string::npos);
  EXPECT_EQ(page.find("src=\"http"), std::string::npos);

  // Links become hrefs only with a harmless scheme, and stay inside their attribute.
  StationStatus links;
  links.mmsLink = "javascript:alert(1)";
  links.mp3Link = "HTTPS://h/\"onmouseover=\"alert(1)";
  const std::string linked = statusPage(links);
  EXPECT_EQ(linked.find("href=\"javascript"), std::string::npos);
  EXPECT_NE(linked.find(">javascript:alert(1)<"), std::string::npos);
  EXPECT_NE(linked.find("<a href=\"HTTPS://h/&quot;onmouseover=&quot;alert(1)\">"),
            std::string::npos)
      << linked;
  EXPECT_EQ(linked.find("\"onmouseover"), std::string::npos);
  EXPECT_NE(linked.find("Off air"), std::string::npos);

  // Without the MP3 flavour there is nothing a browser can play: no player.
  StationStatus wmaOnly = links;
  wmaOnly.mp3Link.clear();
  EXPECT_NE(linked.find("<audio"), std::string::npos);
  EXPECT_EQ(statusPage(wmaOnly).find("<audio"), std::string::npos);
}

} // namespace
} // namespace sondrix
