// Writes the seed corpora of the fuzz targets with the station's own writers:
//   sondrix_fuzz_seeds OUT_DIR [MEDIA_FILE...]
// Each target gets OUT_DIR/<target>/. Media files (made by the caller, e.g. with ffmpeg) become
// media seeds behind the option bytes the media entry reads first.

#include "fuzz/fuzz_support.h"
#include "station/ini_file.h"
#include "station/playlist_file.h"
#include "station/station_settings.h"
#include "tags/id3v1_tags.h"
#include "tags/id3v2_tags.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

using namespace sondrix;
namespace fs = std::filesystem;

namespace {

void writeSeed(const fs::path& folder, const std::string& name, std::string_view bytes) {
  fs::create_directories(folder);
  std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out)
    throw std::runtime_error("cannot write seed " + (folder / name).string());
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string fileBytes(int fd) {
  std::string bytes;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<std::size_t>(n));
  return bytes;
}

void id3Seeds(const fs::path& out) {
  const std::string audio(64, '\xAA');
  const std::vector<std::uint8_t> content(audio.begin(), audio.end());
  for (const bool unicode : {false, true}) {
    fuzz::MemoryFile file(content);
    TId3v2Tags v2;
    v2.SetTitle(u"Night Train \u00e9\u4e2d");
    v2.SetArtist(u"Somebody");
    v2.SetAlbum(u"Album");
    v2.SetYear("2024");
    v2.SetTrack("3/12");
    v2.SetGenre(u"(17)Rock");
    v2.SetComment(u"a comment");
    if (!v2.WriteToFile(file.fd(), unicode))
      throw std::runtime_error("ID3v2 write failed");
    TId3v1Tags v1;
    v1.SetTitle("Night Train");
    v1.SetArtist("Somebody");
    v1.SetYear(2024);
    v1.SetTrack(3);
    v1.SetGenreId(17);
    ::lseek(file.fd(), 0, SEEK_END);
    if (!v1.WriteToFile(file.fd(), false))
      throw std::runtime_error("ID3v1 write failed");
    writeSeed(out, unicode ? "v24_utf8_v1" : "v24_latin1_v1", fileBytes(file.fd()));
  }
}

void playlistSeeds(const fs::path& out) {
  const std::vector<std::string> entries = {"/music/one.mp3", "two.mp3",  "sub/Caf\u00e9.wma", "",
                                            "a.spl",          "../b.spl", "\u4e2d\u6587.flac"};
  writeSeed(out, "ansi", encodePlaylist(entries, TPlaylistEncoding::Ansi));
  writeSeed(out, "utf8bom", encodePlaylist(entries, TPlaylistEncoding::Utf8Bom));
  writeSeed(out, "utf16le", encodePlaylist(entries, TPlaylistEncoding::Utf16LE));
  writeSeed(out, "utf16be", encodePlaylist(entries, TPlaylistEncoding::Utf16BE));
  writeSeed(out, "cp1252_bare_cr", "caf\xe9.mp3\rnext.mp3\nlast.mp3");
}

void playlistImportSeeds(const fs::path& out) {
  writeSeed(out, "m3u8",
            "#EXTM3U\r\n#EXTINF:123,Artist - Title\r\n/music/one.flac\r\nrel/two.ogg\r\n"
            "http://radio.example/live\r\nfile:///abs/a%20b.opus\r\n");
  writeSeed(out, "pls",
            "[playlist]\nNumberOfEntries=3\nFile1=one.mp3\nTitle1=One\nFile3=b.pls\n"
            "File2=https://cdn.example/x.mp3\nVersion=2\n");
}

void settingsSeeds(const fs::path& out) {
  const testing::TempFolder scratch;
  const std::string file = scratch / "config.cfg";
  TStationSettings custom;
  custom.Top = -20;
  custom.Left = 1920;
  custom.Bitrate = 64;
  custom.Max = 50;
  custom.Port = 8080;
  custom.Random = true;
  custom.Language = "ru";
  custom.RadioName = "Radio \u0420\u0430\u0434\u0438\u043e";
  custom.ShowWarning = false;
  for (const auto& [name, settings] :
       {std::pair{"defaults", TStationSettings{}}, std::pair{"custom", custom}}) {
    fs::remove(file);
    TIniFile ini(file);
    writeSettings(ini, settings);
    ini.UpdateFile();
    writeSeed(out, name, readAll(file));
  }
  writeSeed(out, "hex_crlf_bom",
            "\xEF\xBB\xBF; comment\r\n[Settings]\r\nPort=0x1F90\r\nMax=$10\r\nTop = -5 \r\n");
}

void httpRequestSeeds(const fs::path& out) {
  // Two option bytes (piece size, limit) precede each request.
  const std::string options("\x03\xff", 2);
  writeSeed(out, "ffmpeg",
            options + "GET /stream HTTP/1.1\r\nUser-Agent: NSPlayer/7.10.0.3059\r\nPragma: "
                      "no-cache,rate=1.000000,stream-time=0,stream-offset=0:0,"
                      "request-context=1,max-duration=0\r\nPragma: xClientGUID={c77e7400-738a-"
                      "11d2-9add-0020af0a3278}\r\nPragma: xPlayStrm=1\r\nHost: 127.0.0.1\r\n\r\n");
  writeSeed(out, "browser",
            options + "GET http://example.org:8098/?x=1 HTTP/1.0\nUser-Agent: Mozilla/5.0\n"
                      "Accept: */*\n\n");
  writeSeed(out, "no_colon", options + "HEAD / HTTP/1.1\r\nnonsense line\r\nPragma:\r\n\r\n");
}

void echoReplySeeds(const fs::path& out) {
  writeSeed(out, "plain",
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
            "12\r\n\r\n203.0.113.7\n");
  writeSeed(out, "chunked",
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
            "5\r\n2001:\r\n9\r\ndb8::1\r\n\n\r\n0\r\n\r\n");
  writeSeed(out, "no_length",
            "HTTP/1.0 200 OK\r\nSet-Cookie: a=b; path=/\r\n\r\n 198.51.100.2 \r\n");
  writeSeed(out, "html_error",
            "HTTP/1.1 503 Busy\r\nContent-Length: 26\r\n\r\n<html><b>busy</b></html>\r\n");
  writeSeed(out, "continue",
            "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n\xEF\xBB\xBF"
            "192.0.2.1");
}

void mediaSeeds(const fs::path& out, const std::vector<fs::path>& media) {
  // Option bytes: native channels at 16 bits, 4 KB reads; then 24-bit 5.1 with an output
  // format chosen, 65-byte reads.
  for (const fs::path& file : media) {
    const std::string bytes = readAll(file);
    writeSeed(out, file.filename().string(), std::string("\x00\x40", 2) + bytes);
    writeSeed(out, file.filename().string() + ".hp", std::string("\x13\x01", 2) + bytes);
  }
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: sondrix_fuzz_seeds OUT_DIR [MEDIA_FILE...]\n";
    return 2;
  }
  try {
    const fs::path out = argv[1];
    id3Seeds(out / "id3");
    playlistSeeds(out / "playlist");
    playlistImportSeeds(out / "playlist_import");
    settingsSeeds(out / "settings");
    httpRequestSeeds(out / "http_request");
    echoReplySeeds(out / "echo_reply");
    mediaSeeds(out / "media", std::vector<fs::path>(argv + 2, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
