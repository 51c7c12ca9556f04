#include "tags/id3v1_tags.h"

#include "base/text.h"
#include "tags/tag_file.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace sondrix {
namespace {

constexpr std::size_t kBlockSize = 128;

std::unique_ptr<TAuTags> create() {
  return std::make_unique<TId3v1Tags>();
}

bool isTrimmed(char c) {
  return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isTrimmed(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && isTrimmed(s.back()))
    s.remove_suffix(1);
  return s;
}

// A zero-padded field: trimmed, and cut at a NUL that is left inside, since some taggers
// leave old bytes behind the terminator.
std::string fieldText(const unsigned char* p, std::size_t n) {
  std::string_view s = trim({reinterpret_cast<const char*>(p), n});
  const std::size_t nul = s.find('\0');
  if (nul != std::string_view::npos)
    s = trim(s.substr(0, nul));
  return std::string(s);
}

bool sameTextIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// At most max bytes of a narrow text; a UTF-8 text is cut at a character start so that the
// field still reads back as UTF-8. Other (single-byte) text is cut at max.
std::size_t clippedLength(std::string_view s, std::size_t max) {
  if (s.size() <= max)
    return s.size();
  if (toNarrow(toWide(s)) != s)
    return max;
  std::size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
    --n;
  return n;
}

void putText(unsigned char* dst, std::string_view s, std::size_t max) {
  std::memcpy(dst, s.data(), clippedLength(s, max));
}

} // namespace

const std::array<const char*, TId3v1Tags::GenreCount>& TId3v1Tags::GenreNames() {
  static const std::array<const char*, GenreCount> names = {
      "Blues",
      "Classic Rock",
      "Country",
      "Dance",
      "Disco",
      "Funk",
      "Grunge",
      "Hip-Hop",
      "Jazz",
      "Metal",
      "New Age",
      "Oldies",
      "Other",
      "Pop",
      "R&B",
      "Rap",
      "Reggae",
      "Rock",
      "Techno",
      "Industrial",
      "Alternative",
      "Ska",
      "Death metal",
      "Pranks",
      "Soundtrack",
      "Euro-Techno",
      "Ambient",
      "Trip-Hop",
      "Vocal",
      "Jazz+Funk",
      "Fusion",
      "Trance",
      "Classical",
      "Instrumental",
      "Acid",
      "House",
      "Game",
      "Sound Clip",
      "Gospel",
      "Noise",
      "Alt. Rock",
      "Bass",
      "Soul",
      "Punk",
      "Space",
      "Meditative",
      "Instrumental pop",
      "Instrumental rock",
      "Ethnic",
      "Gothic",
      "Darkwave",
      "Techno-Industrial",
      "Electronic",
      "Pop-Folk",
      "Eurodance",
      "Dream",
      "Southern Rock",
      "Comedy",
      "Cult",
      "Gangsta",
      "Top 40",
      "Christian Rap",
      "Pop/Funk",
      "Jungle",
      "Native American",
      "Cabaret",
      "New Wave",
      "Psychedelic",
      "Rave",
      "Showtunes",
      "Trailer",
      "Lo-Fi",
      "Tribal",
      "Acid Punk",
      "Acid Jazz",
      "Polka",
      "Retro",
      "Musical",
      "Rock & Roll",
      "Hard Rock",
      "Folk",
      "Folk-Rock",
      "National Folk",
      "Swing",
      "Fast Fusion",
      "Bebob",
      "Latin",
      "Revival",
      "Celtic",
      "Bluegrass",
      "Avantgarde",
      "Gothic Rock",
      "Progressive Rock",
      "Psychedelic Rock",
      "Symphonic Rock",
      "Slow Rock",
      "Big Band",
      "Chorus",
      "Easy Listening",
      "Acoustic",
      "Humour",
      "Speech",
      "Chanson",
      "Opera",
      "Chamber music",
      "Sonata",
      "Symphony",
      "Booty Bass",
      "Primus",
      "Porn Groove",
      "Satire",
      "Slow Jam",
      "Club",
      "Tango",
      "Samba",
      "Folklore",
      "Ballad",
      "Power Ballad",
      "Rhythmic soul",
      "Freestyle",
      "Duet",
      "Punk Rock",
      "Drum Solo",
      "A Cappella",
      "Euro-House",
      "Dance Hall",
      "Goa",
      "Drum & Bass",
      "Club-House",
      "Hardcore",
      "Terror",
      "Indie",
      "BritPop",
      // Kept as the published extended list has it, so files and other taggers agree.
      "Negerpunk",
      "Polsk Punk",
      "Beat",
      "Christian Gangsta Rap",
      "Heavy Metal",
      "Black Metal",
      "Crossover",
      "Contemporary Christian",
      "Christian Rock",
      "Merengue",
      "Salsa",
      "Thrash Metal",
      "Anime",
      "JPop",
      "Synthpop",
  };
  return names;
}

TId3v1Tags::TId3v1Tags() {
  AddId("artist", TTagValue());
  AddId("album", TTagValue());
  AddId("genre", TTagValue::UInt8(OtherGenre));
  AddId("year", TTagValue());
  AddId("track", TTagValue());
  AddId("title", TTagValue());
  AddId("comment", TTagValue());
}

const TAuTagsClass& TId3v1Tags::ClassType() {
  static const TAuTagsClass cls{"TId3v1Tags", &create, &TId3v1Tags::Presents};
  return cls;
}

TId3v1TagsGenreId TId3v1Tags::GenreId() const {
  const auto n = static_cast<std::uint32_t>(AsInteger("genre"));
  return n >= static_cast<std::uint32_t>(GenreCount) ? OtherGenre
                                                     : static_cast<TId3v1TagsGenreId>(n);
}

std::string TId3v1Tags::Genre() const {
  return GenreNames()[GenreId()];
}

void TId3v1Tags::SetGenre(std::string_view Name) {
  const std::string_view wanted = trim(Name);
  const auto& names = GenreNames();
  for (int i = 0; i < GenreCount; ++i) {
    if (sameTextIgnoringCase(names[static_cast<std::size_t>(i)], wanted)) {
      SetGenreId(static_cast<TId3v1TagsGenreId>(i));
      return;
    }
  }
}

bool TId3v1Tags::Presents(int InFile) {
  if (!isValidHandle(InFile))
    return false;
  const std::int64_t size = fileSize(InFile);
  if (size < static_cast<std::int64_t>(kBlockSize))
    return false;
  unsigned char head[3];
  PosixTagFile file(InFile);
  return file.readAt(size - static_cast<std::int64_t>(kBlockSize), head, 3) == 3 &&
         std::memcmp(head, "TAG", 3) == 0;
}

bool TId3v1Tags::ReadFromFile(int InFile) {
  if (!TAuTags::ReadFromFile(InFile))
    return false;
  const std::int64_t size = fileSize(InFile);
  if (size < static_cast<std::int64_t>(kBlockSize) ||
      !seekTo(InFile, size - static_cast<std::int64_t>(kBlockSize)))
    return false;
  unsigned char b[kBlockSize];
  if (readFully(InFile, b, kBlockSize) != static_cast<std::int64_t>(kBlockSize) ||
      std::memcmp(b, "TAG", 3) != 0)
    return false;

  SetTitle(fieldText(b + 3, 30));
  SetArtist(fieldText(b + 33, 30));
  SetAlbum(fieldText(b + 63, 30));
  const std::string year = fieldText(b + 93, 4);
  SetYear(static_cast<std::uint16_t>(TTagValue::Narrow(year).ToInteger()));
  if ((b[125] == 0 && b[126] != 0) || (b[125] == ' ' && b[126] != ' ')) {
    SetComment(fieldText(b + 97, 28));
    SetTrack(b[126]);
  } else {
    SetComment(fieldText(b + 97, 30));
    SetTrack(0);
  }
  SetGenreId(b[127]);
  return true;
}

bool TId3v1Tags::WriteToFile(int OutFile, bool Unicode) {
  if (!TAuTags::WriteToFile(OutFile, Unicode))
    return false;
  if (::lseek(OutFile, 0, SEEK_END) < 0)
    return false;
  unsigned char b[kBlockSize] = {};
  std::memcpy(b, "TAG", 3);
  putText(b + 3, Title(), 30);
  putText(b + 33, Artist(), 30);
  putText(b + 63, Album(), 30);
  putText(b + 93, std::to_string(Year()), 4);
  if (Track() != 0) {
    putText(b + 97, Comment(), 28);
    b[125] = 0;
    b[126] = Track();
  } else {
    putText(b + 97, Comment(), 30);
  }
  b[127] = GenreId();
  return writeFully(OutFile, b, kBlockSize);
}

} // namespace sondrix
