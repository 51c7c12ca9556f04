#include "base/text.h"
#include "tag_test_support.h"
#include "tags/id3v2_tags.h"
#include "tags/tag_file.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace sondrix {
namespace {

const Bytes kAudio = bytesOf("\xFF\xFB\x90\x64 the audio that must survive the write");

std::uint32_t synchsafeAt(const Bytes& b, std::size_t at) {
  return (std::uint32_t(b[at]) << 21) | (std::uint32_t(b[at + 1]) << 14) |
         (std::uint32_t(b[at + 2]) << 7) | b[at + 3];
}

Bytes tail(const Bytes& b, std::size_t from) {
  return Bytes(b.begin() + from, b.end());
}

TEST(Id3v2Write, NarrowValuesRoundTrip) {
  TempFile file(kAudio);
  TId3v2Tags out;
  out.SetTitle(u"Title");
  out.SetArtist(u"Artist");
  out.SetYear("2003");
  out.SetTrack("5/12");
  out.SetComment(u"not written");
  ASSERT_TRUE(out.WriteToFile(file.fd(), false));
  const Bytes written = file.content();
  const std::uint32_t size = synchsafeAt(written, 6);
  ASSERT_EQ(written.size(), 10 + size + kAudio.size());
  EXPECT_EQ(tail(written, 10 + size), kAudio);
  EXPECT_EQ((10 + size) % 16, 0u);
  EXPECT_EQ(written[3], 4);
  EXPECT_EQ(file.position(), static_cast<std::int64_t>(written.size()));

  file.rewind();
  ASSERT_TRUE(TId3v2Tags::Presents(file.fd()));
  TId3v2Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Values("TIT2"), TTagValue::Narrow("Title")); // encoding 0 reads as narrow
  EXPECT_EQ(in.Artist(), u"Artist");
  EXPECT_EQ(in.Year(), "2003");
  EXPECT_EQ(in.Track(), "5/12");
  EXPECT_TRUE(in.Values("COMM").IsNull());
  EXPECT_EQ(file.position(), 10 + static_cast<std::int64_t>(size));
}

TEST(Id3v2Write, UnicodeValuesRoundTrip) {
  TempFile file(kAudio);
  TId3v2Tags out;
  const std::u16string title = u"Звезда по имени Солнце 𝄞";
  out.SetTitle(title);
  out.SetArtist(u"Кино");
  out.SetAlbum(u"Звезда 🎸");
  out.SetGenre(u"Rock");
  out.SetYear("1989");
  ASSERT_TRUE(out.WriteToFile(file.fd(), true));

  file.rewind();
  TId3v2Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Values("TIT2"), TTagValue::Wide(title));
  EXPECT_EQ(in.Artist(), u"Кино");
  EXPECT_EQ(in.Album(), u"Звезда 🎸");
  EXPECT_EQ(in.Values("TCON"), TTagValue::Wide(u"Rock"));
  EXPECT_EQ(in.Values("TYER"), TTagValue::Narrow("1989")); // narrow stays encoding 0
}

TEST(Id3v2Write, NonAsciiNarrowTextIsLabelledUtf8) {
  TempFile file;
  TId3v2Tags out;
  out.SetTitle(u"Ёлка");
  out.SetArtist(u"plain");
  ASSERT_TRUE(out.WriteToFile(file.fd(), false));
  const Bytes b = file.content();
  // TPE1 comes before TIT2 in column order.
  ASSERT_EQ(Bytes(b.begin() + 10, b.begin() + 14), bytesOf("TPE1"));
  EXPECT_EQ(b[20], 0);
  const std::size_t tit2 = 10 + 10 + 6;
  ASSERT_EQ(Bytes(b.begin() + tit2, b.begin() + tit2 + 4), bytesOf("TIT2"));
  EXPECT_EQ(b[tit2 + 10], 3);
  file.rewind();
  TId3v2Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Title(), u"Ёлка");
}

TEST(Id3v2Write, PaddingRoundsTheTagToSixteenBytes) {
  struct Case {
    std::string title; // one narrow frame: 10 + 1 + title bytes
    std::size_t tagBytes;
  } cases[] = {{"a", 32},
               {std::string(11, 'a'), 48},
               {std::string(10, 'a'), 32},
               {std::string(27, 'a'), 64}};
  for (const Case& c : cases) {
    TempFile file;
    TId3v2Tags t;
    t.SetValues("TIT2", TTagValue::Narrow(c.title));
    ASSERT_TRUE(t.WriteToFile(file.fd(), false));
    const Bytes b = file.content();
    ASSERT_EQ(b.size(), c.tagBytes) << c.title;
    EXPECT_EQ(synchsafeAt(b, 6), c.tagBytes - 10);
    const std::size_t frameEnd = 10 + 11 + c.title.size();
    EXPECT_EQ(Bytes(b.begin() + frameEnd, b.end()), Bytes(c.tagBytes - frameEnd, 0));
    EXPECT_EQ(Bytes(b.begin() + 14, b.begin() + 18),
              (Bytes{0, 0, 0, static_cast<std::uint8_t>(c.title.size() + 1)}));
  }
}

TEST(Id3v2Write, EmptyValuesAreSkippedAndEmptyTagsStillWritten) {
  TempFile file;
  TId3v2Tags t;
  t.SetAlbum(u"");
  t.SetComposer(u"Bach");
  ASSERT_TRUE(t.WriteToFile(file.fd(), true));
  Bytes b = file.content();
  EXPECT_EQ(Bytes(b.begin() + 10, b.begin() + 14), bytesOf("TCOM"));
  EXPECT_EQ(b.size(), 32u);

  TempFile none(kAudio);
  TId3v2Tags empty;
  ASSERT_TRUE(empty.WriteToFile(none.fd(), true));
  b = none.content();
  EXPECT_EQ(b.size(), 16 + kAudio.size());
  EXPECT_EQ(synchsafeAt(b, 6), 6u);
  EXPECT_EQ(tail(b, 16), kAudio);
}

TEST(Id3v2Write, AnOlderTagStaysBehindTheNewOne) {
  TempFile file(kAudio);
  TId3v2Tags first;
  first.SetTitle(u"First");
  ASSERT_TRUE(first.WriteToFile(file.fd(), true));
  const Bytes once = file.content();
  TId3v2Tags second;
  second.SetTitle(u"Second");
  ASSERT_TRUE(second.WriteToFile(file.fd(), true));
  const Bytes twice = file.content();
  EXPECT_EQ(tail(twice, twice.size() - once.size()), once);
  file.rewind();
  TId3v2Tags in;
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Title(), u"Second");
  ASSERT_TRUE(in.ReadFromFile(file.fd()));
  EXPECT_EQ(in.Title(), u"First");
}

TEST(Id3v2Write, ValuesReadFromVersion22AreWrittenWithFourLetterIds) {
  const Bytes frames =
      frame22("TT2", textBody(0, bytesOf("Old"))) + frame22("TAL", textBody(0, bytesOf("Album")));
  TempFile source(id3Header(2, 0, static_cast<std::uint32_t>(frames.size())) + frames);
  TId3v2Tags t;
  ASSERT_TRUE(t.ReadFromFile(source.fd()));
  ASSERT_FALSE(t.New());
  TempFile target;
  ASSERT_TRUE(t.WriteToFile(target.fd(), true));
  target.rewind();
  TId3v2Tags in;
  ASSERT_TRUE(in.ReadFromFile(target.fd()));
  EXPECT_TRUE(in.New());
  EXPECT_EQ(in.Title(), u"Old");
  EXPECT_EQ(in.Album(), u"Album");
}

TEST(Id3v2Write, UnsuitableDescriptorsLeaveTheFileAlone) {
  TempFile file(kAudio);
  TId3v2Tags t;
  t.SetTitle(u"x");
  EXPECT_FALSE(t.WriteToFile(TAuTags::InvalidHandle, true));
  EXPECT_FALSE(t.WriteToFile(file.reopen(O_RDONLY), true));
  EXPECT_FALSE(t.WriteToFile(file.reopen(O_WRONLY), true));
  EXPECT_FALSE(t.WriteToFile(file.reopen(O_RDWR | O_APPEND), true));
  EXPECT_EQ(file.content(), kAudio);
}

// A real descriptor whose file may not grow: the process's file-size limit refuses it.
TEST(Id3v2Write, FileSizeLimitLeavesTheFileAlone) {
  TempFile file(kAudio);
  TId3v2Tags t;
  t.SetTitle(u"Title");
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = kAudio.size() + 8;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool ok = t.WriteToFile(file.fd(), true);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  EXPECT_EQ(file.content(), kAudio);
}

// Passes everything through to the file but fails one chosen operation.
class FaultyFile : public TagFileAccess {
public:
  FaultyFile(int fd, int failWrite, int failRead = 0, bool failGrow = false,
             bool partialWrite = false)
      : FInner(fd), FFailWrite(failWrite), FFailRead(failRead), FFailGrow(failGrow),
        FPartial(partialWrite) {}

  std::int64_t size() override { return FInner.size(); }
  std::int64_t readAt(std::int64_t offset, void* buffer, std::size_t count) override {
    if (++FReads == FFailRead)
      return -1;
    return FInner.readAt(offset, buffer, count);
  }
  bool writeAt(std::int64_t offset, const void* buffer, std::size_t count) override {
    if (++FWrites == FFailWrite) {
      if (FPartial)
        FInner.writeAt(offset, buffer, count / 2);
      return false;
    }
    return FInner.writeAt(offset, buffer, count);
  }
  bool grow(std::int64_t newSize) override {
    if (FFailGrow) {
      FInner.grow(newSize / 2 + 1); // half done
      return false;
    }
    return FInner.grow(newSize);
  }
  bool truncate(std::int64_t newSize) override { return FInner.truncate(newSize); }
  bool seekEnd() override { return FInner.seekEnd(); }
  bool canRewrite() override { return FInner.canRewrite(); }

  int writes() const { return FWrites; }

private:
  PosixTagFile FInner;
  int FFailWrite, FFailRead;
  bool FFailGrow, FPartial;
  int FWrites = 0, FReads = 0;
};

Bytes patterned(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return b;
}

TEST(Id3v2Write, AFailedWriteRestoresTheFile) {
  // Chunks smaller and larger than the 32-byte tag, so moved chunks overlap their sources.
  for (std::size_t chunk : {std::size_t(5), std::size_t(64), std::size_t(1000)}) {
    for (bool partial : {false, true}) {
      const Bytes original = patterned(203);
      int failAt = 1;
      for (;; ++failAt) {
        TempFile file(original);
        TId3v2Tags t;
        t.SetTitle(u"Title");
        FaultyFile faulty(file.fd(), failAt, 0, false, partial);
        const bool ok = t.WriteToFile(faulty, true, chunk);
        if (faulty.writes() < failAt) {
          ASSERT_TRUE(ok); // every write had its turn to fail
          break;
        }
        ASSERT_FALSE(ok) << "chunk " << chunk << " write " << failAt;
        ASSERT_EQ(file.content(), original) << "chunk " << chunk << " write " << failAt;
      }
      EXPECT_GT(failAt, 2) << chunk;
    }
  }
}

TEST(Id3v2Write, FailedReadsAndGrowthRestoreTheFile) {
  const Bytes original = patterned(100);
  for (int failRead = 1; failRead <= 3; ++failRead) {
    TempFile file(original);
    TId3v2Tags t;
    t.SetArtist(u"A");
    FaultyFile faulty(file.fd(), 0, failRead);
    EXPECT_FALSE(t.WriteToFile(faulty, true, 40));
    EXPECT_EQ(file.content(), original) << failRead;
  }
  TempFile file(original);
  TId3v2Tags t;
  t.SetArtist(u"A");
  FaultyFile faulty(file.fd(), 0, 0, true);
  EXPECT_FALSE(t.WriteToFile(faulty, true, 40));
  EXPECT_EQ(file.content(), original);
}

TEST(Id3v2Write, LargeContentMovesInChunks) {
  const Bytes original = patterned(300000);
  TempFile file(original);
  TId3v2Tags t;
  t.SetTitle(u"Big");
  ASSERT_TRUE(t.WriteToFile(file.fd(), true));
  const Bytes b = file.content();
  ASSERT_EQ(b.size(), original.size() + 32);
  EXPECT_EQ(tail(b, 32), original);
}

// Runs a shell command; its standard output, or nullopt when it could not run.
std::optional<std::string> run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
  if (!pipe)
    return std::nullopt;
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0)
    out.append(buf, n);
  const int status = ::pclose(pipe.release());
  if (status != 0)
    return std::nullopt;
  return out;
}

TEST(Id3v2Write, FfprobeReadsTheWrittenTags) {
  if (std::system("command -v ffprobe >/dev/null 2>&1 && command -v ffmpeg >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "ffprobe or ffmpeg is not installed";
  TempFile file;
  const std::string path = file.path().string();
  ASSERT_TRUE(run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=0.5 -c:a mp3 "
                  "-id3v2_version 0 -write_xing 0 -f mp3 '" +
                  path + "' </dev/null"))
      << "could not make a test MP3";
  const int fd = file.reopen(O_RDWR);
  TId3v2Tags t;
  const std::u16string longTitle = u"Долгая " + std::u16string(200, u'x') + u" 𝄞";
  t.SetArtist(u"Кино");
  t.SetTitle(longTitle);
  t.SetAlbum(u"Группа крови");
  ASSERT_TRUE(t.WriteToFile(fd, true));

  const auto out = run("ffprobe -v error -show_entries format_tags=artist,title,album "
                       "-of default=noprint_wrappers=1 '" +
                       path + "'");
  ASSERT_TRUE(out.has_value());
  EXPECT_NE(out->find("TAG:artist=Кино\n"), std::string::npos) << *out;
  EXPECT_NE(out->find("TAG:album=Группа крови\n"), std::string::npos) << *out;
  EXPECT_NE(out->find("TAG:title=" + toNarrow(longTitle) + "\n"), std::string::npos) << *out;
}

} // namespace
} // namespace sondrix
