#include "winmedia/server/net_status.h"

#include "base/utf8_text.h"

#include <chrono>
#include <cstdio>
#include <string_view>

namespace sondrix {

namespace {

constexpr std::string_view kTitlePrefix = "StreamTitle='";
constexpr std::string_view kTitleSuffix = "';";
// U+2019, which reads like the apostrophe it replaces.
constexpr std::string_view kRightQuote = "\xE2\x80\x99";

// ID3v1 pads its fields with spaces or NULs.
std::string_view trimTag(std::string_view s) {
  const auto pad = [](char c) { return c == ' ' || c == '\t' || c == '\0'; };
  while (!s.empty() && pad(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && pad(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

std::string_view fileStem(std::string_view file) {
  const std::size_t slash = file.find_last_of("/\\");
  if (slash != std::string_view::npos) {
    file.remove_prefix(slash + 1);
  }
  const std::size_t dot = file.rfind('.');
  // ".hidden" has no extension to drop.
  if (dot != std::string_view::npos && dot != 0) {
    file = file.substr(0, dot);
  }
  return trimTag(file);
}

// Players (FFmpeg, VLC) end the value at the first "';" and know no escapes, so an apostrophe
// followed by ';' becomes U+2019: the title reads the same and ends where it should. Any other
// apostrophe stays as it is.
std::string icyEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'' && i + 1 < text.size() && text[i + 1] == ';') {
      out += kRightQuote;
    } else {
      out += text[i];
    }
  }
  return out;
}

void appendJsonString(std::string& out, std::string_view raw) {
  const std::string text = cleanUtf8(raw, false);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    // Never markup, even where the JSON ends up inside a page.
    case '<':
    case '>':
    case '&':
    case '\x7F': {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
      out += buf;
      break;
    }
    default:
      if (u < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
        out += buf;
      } else if (u == 0xE2 && i + 2 < text.size() && text[i + 1] == '\x80' &&
                 (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
        // U+2028 and U+2029 end a line in older JavaScript.
        out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
        i += 2;
      } else {
        out += c;
      }
    }
  }
  out += '"';
}

std::string escapeHtml(std::string_view raw) {
  const std::string text = cleanUtf8(raw, true);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

// Unix seconds as ISO 8601 UTC; empty for "not on air" and for times a four-digit year cannot
// hold.
std::string utcText(std::int64_t unixSeconds) {
  constexpr std::int64_t kLast = 253402300799; // 9999-12-31T23:59:59Z
  if (unixSeconds <= 0 || unixSeconds > kLast) {
    return {};
  }
  using namespace std::chrono;
  const sys_seconds at{seconds{unixSeconds}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buf;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const char c = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
    if (c != prefix[i]) {
      return false;
    }
  }
  return true;
}

// A link becomes an href only with a scheme that cannot run script.
std::string htmlLink(const std::string& link) {
  if (link.empty()) {
    return "&mdash;";
  }
  const std::string text = escapeHtml(link);
  if (startsWithNoCase(link, "mms://") || startsWithNoCase(link, "http://") ||
      startsWithNoCase(link, "https://")) {
    return "<a href=\"" + text + "\">" + text + "</a>";
  }
  return text;
}

constexpr std::string_view kPageStyle = R"(<style>
body{margin:0;background:#eef0f3;color:#1f2430;font:16px/1.5 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif}
main{max-width:34rem;margin:2.5rem auto;padding:1.5rem 2rem;background:#fff;border-radius:10px;box-shadow:0 1px 4px rgba(0,0,0,.12)}
h1{margin:0;font-size:1.6rem;line-height:1.25;overflow-wrap:anywhere}
.air{margin:.2rem 0 1.2rem;color:#5b6475;font-size:.9rem}
.now{margin:0;font-size:1.15rem;overflow-wrap:anywhere}
.now span{font-weight:600}
.count{margin:.3rem 0 1rem;color:#5b6475}
audio{display:block;width:100%;margin:0 0 1.2rem}
dl{display:grid;grid-template-columns:auto 1fr;gap:.3rem 1rem;margin:0;font-size:.95rem}
dt{color:#5b6475}
dd{margin:0;overflow-wrap:anywhere}
a{color:#1a5fb4}
</style>
)";

// Refreshes now-playing and the listener count; textContent only, the tags are not markup.
constexpr std::string_view kPageScript = R"(<script>
(function () {
  var now = document.getElementById("now");
  var count = document.getElementById("listeners");
  var player = document.getElementById("player");
  // The player's state on the page itself, so a visitor (and a test) sees whether it loads.
  function state(v) { document.body.setAttribute("data-player", v); }
  if (player) {
    player.addEventListener("loadedmetadata", function () { state("ready"); });
    player.addEventListener("playing", function () { state("playing"); });
    player.addEventListener("error", function () { state("error"); });
  }
  function update() {
    fetch("/status.json", {cache: "no-store"})
      .then(function (r) { return r.json(); })
      .then(function (s) {
        now.textContent = s.nowPlaying.text || "\u2014";
        count.textContent = String(s.listeners.total);
      })
      .catch(function () {});
  }
  setInterval(update, 5000);
})();
</script>
)";

} // namespace

std::string streamTitleText(const NowPlaying& nowPlaying) {
  const std::string_view artist = trimTag(nowPlaying.artist);
  const std::string_view title = trimTag(nowPlaying.title);
  if (!artist.empty() && !title.empty()) {
    return std::string(artist) + " - " + std::string(title);
  }
  if (!artist.empty() || !title.empty()) {
    return std::string(artist.empty() ? title : artist);
  }
  return std::string(fileStem(nowPlaying.file));
}

std::vector<std::uint8_t> icyMetadataBlock(const NowPlaying& nowPlaying) {
  // Controls go first: dropping one could otherwise bring an apostrophe and ';' together.
  std::string text = icyEscape(cleanUtf8(streamTitleText(nowPlaying), true));
  const std::size_t room = kIcyMetadataMaxBytes - kTitlePrefix.size() - kTitleSuffix.size();
  text.resize(utf8CutLength(text, room));
  const std::size_t length = kTitlePrefix.size() + text.size() + kTitleSuffix.size();
  const std::size_t units = (length + 15) / 16;
  std::vector<std::uint8_t> block(1 + units * 16, 0);
  block[0] = static_cast<std::uint8_t>(units);
  std::size_t at = 1;
  for (const std::string_view part : {kTitlePrefix, std::string_view(text), kTitleSuffix}) {
    for (const char c : part) {
      block[at++] = static_cast<std::uint8_t>(c);
    }
  }
  return block;
}

std::string statusJson(const StationStatus& status) {
  const NowPlaying& np = status.nowPlaying;
  std::string out = "{\"station\":";
  appendJsonString(out, status.name);
  out += ",\"onAirSince\":";
  const std::string since = utcText(status.onAirSince);
  if (since.empty()) {
    out += "null";
  } else {
    appendJsonString(out, since);
  }
  out += ",\"listeners\":{\"wma\":" + std::to_string(status.wmaListeners) +
         ",\"mp3\":" + std::to_string(status.mp3Listeners) +
         ",\"total\":" + std::to_string(std::uint64_t{status.wmaListeners} + status.mp3Listeners) +
         "}";
  out += ",\"nowPlaying\":{\"artist\":";
  appendJsonString(out, np.artist);
  out += ",\"title\":";
  appendJsonString(out, np.title);
  out += ",\"album\":";
  appendJsonString(out, np.album);
  out += ",\"file\":";
  appendJsonString(out, np.file);
  out += ",\"text\":";
  appendJsonString(out, streamTitleText(np));
  out += "},\"bitrate\":" + std::to_string(status.bitrate) + ",\"links\":{\"mms\":";
  appendJsonString(out, status.mmsLink);
  out += ",\"mp3\":";
  appendJsonString(out, status.mp3Link);
  out += "}}";
  return out;
}

std::string statusPage(const StationStatus& status) {
  const std::string name = escapeHtml(status.name);
  const std::string nowText = streamTitleText(status.nowPlaying);
  const std::string since = utcText(status.onAirSince);
  std::string air =
      since.empty() ? "Off air"
                    : "On air since " + since.substr(0, 10) + " " + since.substr(11, 5) + " UTC";
  if (status.bitrate != 0) {
    air += " &middot; " + std::to_string((std::uint64_t{status.bitrate} + 500) / 1000) + " kbit/s";
  }
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                     "<title>" +
                     name + "</title>\n";
  page += kPageStyle;
  page += "</head>\n<body>\n<main>\n<h1>" + name + "</h1>\n<p class=\"air\">" + air + "</p>\n";
  page += "<p class=\"now\">Now playing: <span id=\"now\">" +
          (nowText.empty() ? std::string("&mdash;") : escapeHtml(nowText)) + "</span></p>\n";
  page += "<p class=\"count\">Listeners: <span id=\"listeners\">" +
          std::to_string(std::uint64_t{status.wmaListeners} + status.mp3Listeners) +
          "</span></p>\n";
  // Metadata only: the browser reads the stream's first frames and shows the player ready.
  // Without the MP3 flavour a browser has nothing it can play.
  if (!status.mp3Link.empty()) {
    page += "<audio id=\"player\" controls preload=\"metadata\" src=\"/stream.mp3\"></audio>\n";
  }
  page += "<dl>\n<dt>Windows Media</dt><dd>" + htmlLink(status.mmsLink) +
          "</dd>\n<dt>MP3</dt><dd>" + htmlLink(status.mp3Link) + "</dd>\n</dl>\n</main>\n";
  page += kPageScript;
  page += "</body>\n</html>\n";
  return page;
}

} // namespace sondrix
