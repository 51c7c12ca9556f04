#include "audio/au_file_stream.h"
#include "raw_pcm_source.h"

#include <gtest/gtest.h>

namespace sondrix::testing {
namespace {

std::string initError(TAuInput& in) {
  try {
    in.Init();
  } catch (const EAuException& e) {
    return e.what();
  }
  return "(no error)";
}

// Frame indices (low 24 bits) of a run of delivered bytes.
std::vector<std::uint32_t> frameIndices(const std::vector<std::uint8_t>& bytes) {
  EXPECT_EQ(bytes.size() % 4, 0u) << "a frame was torn";
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < bytes.size() / 4; ++i)
    out.push_back(frameAt(bytes, i) & 0xFFFFFF);
  return out;
}

std::vector<std::uint32_t> iota(std::uint32_t from, std::uint32_t count) {
  std::vector<std::uint32_t> v(count);
  for (std::uint32_t i = 0; i < count; ++i)
    v[i] = from + i;
  return v;
}

class FileInput : public ::testing::Test {
protected:
  void SetUp() override {
    path = (dir / "tone.raw").string();
    writeRawPcm(path, 1000);
    in = MakeComponent<RawPcmIn>();
    in->SetFileName(path);
  }

  TempDir dir;
  std::string path;
  ComponentPtr<RawPcmIn> in;
};

TEST_F(FileInput, WholeFileWithoutRange) {
  in->Init();
  EXPECT_EQ(in->Size(), 4000);
  EXPECT_EQ(in->TotalSamples(), 1000);
  EXPECT_EQ(in->Position(), 0);
  EXPECT_EQ(frameIndices(drainSource(*in, 100)), iota(0, 1000));
  EXPECT_EQ(in->Position(), in->Size());
  in->Flush();
  EXPECT_FALSE(in->IsOpen());
  EXPECT_FALSE(in->IsBusy());
}

TEST_F(FileInput, StartAndEndSelectAnInclusiveRange) {
  in->SetStartSample(100);
  in->SetEndSample(199);
  in->Init();
  EXPECT_EQ(in->TotalSamples(), 100);
  EXPECT_EQ(in->Size(), 400);
  EXPECT_EQ(in->Position(), 0);
  EXPECT_EQ(frameIndices(drainSource(*in, 64)), iota(100, 100));
  EXPECT_EQ(in->Position(), 400);
  in->Flush();
  EXPECT_EQ(in->StartSample(), 0);
  EXPECT_EQ(in->EndSample(), -1);
}

TEST_F(FileInput, StartWithoutEndRunsToTheLastFrame) {
  in->SetStartSample(100);
  in->Init();
  // Frames 100..999: the count matches what is delivered.
  EXPECT_EQ(in->TotalSamples(), 900);
  EXPECT_EQ(in->Size(), 900 * 4);
  EXPECT_EQ(frameIndices(drainSource(*in, 300)), iota(100, 900));
  EXPECT_EQ(in->Position(), in->Size());
}

TEST_F(FileInput, EndBeyondTheFileIsDropped) {
  for (std::int64_t end : {1000, 5000}) {
    in->SetStartSample(10);
    in->SetEndSample(end);
    in->Init();
    EXPECT_EQ(in->EndSample(), -1) << end;
    EXPECT_EQ(in->TotalSamples(), 990) << end;
    EXPECT_EQ(frameIndices(drainSource(*in)), iota(10, 990)) << end;
    in->Flush();
  }
}

TEST_F(FileInput, EmptyRangeDeliversNothing) {
  in->SetStartSample(500);
  in->SetEndSample(499);
  in->Init();
  EXPECT_TRUE(drainSource(*in).empty());
  in->Flush();
  in->SetStartSample(1000);
  in->Init();
  EXPECT_TRUE(drainSource(*in).empty());
}

TEST_F(FileInput, ReadPastSizeIsTrimmedAndTheEndIsFinal) {
  in->SetEndSample(9); // 40 bytes
  in->Init();
  void* p = nullptr;
  std::uint32_t n = 24;
  in->GetData(p, n);
  ASSERT_EQ(n, 24u);
  n = 24; // would pass Size by 8 bytes
  in->GetData(p, n);
  EXPECT_EQ(n, 16u);
  EXPECT_EQ(in->Position(), 40);
  EXPECT_EQ(frameAt({static_cast<std::uint8_t*>(p), static_cast<std::uint8_t*>(p) + 16}, 3), 9u);
  const int reads = in->Reads;
  for (int i = 0; i < 3; ++i) {
    n = 24;
    in->GetData(p, n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(in->Reads, reads) << "the decoder was asked again after the end";
}

TEST_F(FileInput, SeekWhileIdleSetsTheNextStartAndRemovesTheEnd) {
  in->SetEndSample(400);
  in->Init(); // learns the frame size
  in->Flush();
  in->SetEndSample(400);
  EXPECT_TRUE(in->Seek(300));
  EXPECT_EQ(in->StartSample(), 300);
  EXPECT_EQ(in->EndSample(), -1);
  EXPECT_EQ(in->Position(), 300 * 4);
  in->Init();
  EXPECT_EQ(frameIndices(drainSource(*in)), iota(300, 700));
}

TEST_F(FileInput, SeekWhileBusyIsRelativeToTheRangeStart) {
  in->SetStartSample(100);
  in->SetEndSample(599);
  in->Init();
  drainSource(*in, 40, 40);
  EXPECT_TRUE(in->Seek(250));
  EXPECT_EQ(in->Position(), 250 * 4);
  EXPECT_EQ(frameIndices(drainSource(*in)), iota(350, 250));

  EXPECT_FALSE(in->Seek(501)) << "beyond the range";
  EXPECT_FALSE(in->Seek(-1));
}

TEST_F(FileInput, FailedOrImpossibleSeekChangesNothing) {
  in->Init();
  drainSource(*in, 40, 40);
  in->FailSeek = true;
  EXPECT_FALSE(in->Seek(500));
  EXPECT_EQ(in->Position(), 40);
  in->FailSeek = false;
  EXPECT_EQ(frameIndices(drainSource(*in, 8, 8)), iota(10, 2));
  in->Flush();

  in->CanSeek = false;
  in->Init();
  EXPECT_FALSE(in->Seekable());
  EXPECT_FALSE(in->Seek(10));
  EXPECT_EQ(frameIndices(drainSource(*in, 8, 8)), iota(0, 2));
}

TEST_F(FileInput, JumpMovesByThousandthsOfTheRange) {
  writeRawPcm(path, 3000);
  struct Case {
    std::int32_t offs;
    std::uint32_t expectFirst;
  };
  // Range 1000..1999; each jump starts at 50 % (frame 1500).
  for (const Case c : {Case{100, 1600}, Case{-900, 1000}, Case{0, 1500}}) {
    in->SetStartSample(1000);
    in->SetEndSample(1999);
    in->Init();
    drainSource(*in, 500, 2000);
    ASSERT_EQ(in->Position(), 2000);
    in->_Jump(c.offs);
    const auto rest = frameIndices(drainSource(*in));
    ASSERT_FALSE(rest.empty()) << c.offs;
    EXPECT_EQ(rest.front(), c.expectFirst) << c.offs;
    EXPECT_EQ(rest.back(), 1999u) << c.offs;
    in->Flush();
  }
  in->SetStartSample(1000);
  in->SetEndSample(1999);
  in->Init();
  drainSource(*in, 500, 2000);
  in->_Jump(900); // to the end of the range
  EXPECT_EQ(in->Position(), in->Size());
  EXPECT_TRUE(drainSource(*in).empty());
}

TEST_F(FileInput, JumpOnAnUnlimitedOrUnseekableSourceDoesNothing) {
  in->CanSeek = false;
  in->Init();
  drainSource(*in, 400, 400);
  in->_Jump(500);
  EXPECT_EQ(frameIndices(drainSource(*in, 4, 4)), iota(100, 1));
}

TEST_F(FileInput, LoopingDeliversEveryByteOfEveryPass) {
  in->SetLoop(true);
  // Requests of 12 bytes over a 40-byte range: each pass ends with a partial read that must
  // still be delivered before the next pass starts.
  for (const bool seekable : {true, false}) {
    in->CanSeek = seekable;
    if (seekable) {
      in->SetStartSample(10);
      in->SetEndSample(19);
    } else {
      writeRawPcm(path, 10);
      in->SetFileName(path);
    }
    in->Init();
    const auto data = frameIndices(drainSource(*in, 12, 3 * 40));
    std::vector<std::uint32_t> expected;
    for (int pass = 0; pass < 3; ++pass) {
      const auto one = iota(seekable ? 10 : 0, 10);
      expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(data, expected) << (seekable ? "seekable" : "reopened");
    EXPECT_LE(in->Position(), in->Size());
    in->Flush();
  }
}

TEST_F(FileInput, LoopingOnAnEmptySourceEnds) {
  writeRawPcm(path, 0);
  in->SetFileName(path);
  in->SetLoop(true);
  in->Init();
  EXPECT_TRUE(drainSource(*in).empty());
}

TEST_F(FileInput, LengthAndTime) {
  EXPECT_EQ(in->TotalSamples(), 1000);
  EXPECT_TRUE(in->IsOpen()) << "a length query opens the file";
  EXPECT_EQ(in->SampleRate(), 1000u);
  EXPECT_EQ(in->Channels(), 2u);
  EXPECT_EQ(in->BitsPerSample(), 16u);
  struct Case {
    std::uint32_t frames, seconds;
  };
  // Halves go to the even second.
  for (const Case c : {Case{1000, 1}, Case{2500, 2}, Case{3500, 4}, Case{1499, 1}}) {
    writeRawPcm(path, c.frames);
    in->SetFileName(path);
    EXPECT_EQ(in->TotalTime(), c.seconds) << c.frames;
  }
  writeRawPcm(path, 0);
  in->SetFileName(path);
  EXPECT_EQ(in->TotalSamples(), -1);
  EXPECT_EQ(in->TotalTime(), 0u);
}

TEST_F(FileInput, StartAndEndTimes) {
  writeRawPcm(path, 5000); // 5 s
  in->SetFileName(path);
  EXPECT_FALSE(in->SetStartTime(1, 30));
  EXPECT_EQ(in->StartSample(), 0);
  EXPECT_TRUE(in->SetStartTime(0, 2));
  EXPECT_EQ(in->StartSample(), 2000);
  EXPECT_TRUE(in->SetEndTime(0, 3));
  EXPECT_EQ(in->EndSample(), 3000);
  EXPECT_FALSE(in->SetEndTime(0, -1));
  EXPECT_FALSE(in->SetEndTime(0, 6));
  EXPECT_EQ(in->EndSample(), 3000);
  // The file's length itself is a time within it.
  EXPECT_TRUE(in->SetEndTime(0, 5));
  EXPECT_EQ(in->EndSample(), 5000);
  EXPECT_TRUE(in->SetEndTime(0, 3));
  in->Init();
  EXPECT_EQ(in->TotalSamples(), 1001);
  const auto data = frameIndices(drainSource(*in));
  EXPECT_EQ(data.front(), 2000u);
  EXPECT_EQ(data.back(), 3000u);
}

TEST_F(FileInput, ValidOnAFileWithoutAudioLeavesItClosed) {
  const auto text = (dir / "notes.txt").string();
  {
    std::ofstream f(text);
    f << "not audio at all";
  }
  in->SetFileName(text);
  EXPECT_FALSE(in->Valid());
  EXPECT_FALSE(in->IsOpen());
  EXPECT_FALSE(in->OwnsStream());
  // A run of it would be silence that ends at once, as if it were the list's end: refused.
  EXPECT_EQ(initError(*in), TAuFileIn::kNoAudioText);
  in->Flush();
  EXPECT_FALSE(in->IsBusy());

  in->SetFileName(path);
  EXPECT_TRUE(in->Valid());
  EXPECT_TRUE(in->IsOpen()) << "a valid source stays open";
}

TEST_F(FileInput, MissingFileRaisesTheSystemText) {
  in->SetFileName((dir / "gone.raw").string());
  EXPECT_FALSE(in->Valid());
  EXPECT_EQ(initError(*in), "No such file or directory");
  void* p = nullptr;
  std::uint32_t n = 16;
  in->GetData(p, n);
  EXPECT_EQ(n, 0u);
  in->Reset();
  EXPECT_FALSE(in->IsBusy());
  EXPECT_THROW(in->SampleRate(), EAuException);
}

TEST_F(FileInput, NamesThatCannotBeOpenedRaiseTheSystemText) {
  ASSERT_TRUE(std::filesystem::create_directory(dir / "folder.raw"));
  const struct {
    const char* name;
    const char* error;
  } cases[] = {{"gone.raw", "No such file or directory"}, {"folder.raw", "Is a directory"}};
  for (const auto& c : cases) {
    in->SetFileName((dir / c.name).string());
    EXPECT_FALSE(in->Valid()) << c.name;
    EXPECT_EQ(initError(*in), c.error);
    in->Reset();
  }
}

TEST_F(FileInput, InitErrors) {
  auto unnamed = MakeComponent<RawPcmIn>();
  EXPECT_EQ(initError(*unnamed), "The file name is not assigned");
  in->Init();
  EXPECT_EQ(initError(*in), "The component is Busy");
}

TEST_F(FileInput, NameChangesCloseTheSource) {
  EXPECT_TRUE(in->Valid());
  EXPECT_EQ(in->FileName(), path);
  in->SetWideFileName(toWide(path));
  EXPECT_FALSE(in->IsOpen());
  EXPECT_TRUE(in->FileName().empty());
  EXPECT_EQ(in->WideFileName(), toWide(path));
  EXPECT_TRUE(in->Valid());
  EXPECT_EQ(in->CommonTags()->Title(), u"tone");
}

TEST_F(FileInput, HandedInStreamIsRewoundNotFreed) {
  std::ifstream f(path, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
  TMemoryStream stream(bytes);
  auto src = MakeComponent<RawPcmIn>();
  src->SetStream(&stream);
  EXPECT_EQ(src->Stream(), &stream);
  for (int run = 0; run < 2; ++run) {
    src->Init();
    EXPECT_EQ(frameIndices(drainSource(*src)), iota(0, 1000));
    src->Flush();
    EXPECT_EQ(stream.Position(), 0);
  }
  src->SetStream(nullptr);
  EXPECT_EQ(initError(*src), "The file name is not assigned");
}

TEST(FileStream, ModesAndErrors) {
  TempDir dir;
  const auto name = (dir / "f.bin").string();
  {
    TAuFileStream w(name, TAuFileStream::fmCreate);
    EXPECT_EQ(w.Write("abcdef", 6), 6);
  }
  {
    TAuFileStream w(toWide(name), TAuFileStream::fmCreate, 0644);
    EXPECT_EQ(w.Size(), 0) << "creating empties the file";
    EXPECT_EQ(w.Write("xyz", 3), 3);
    w.SetPosition(0);
    char b[3] = {};
    EXPECT_EQ(w.Read(b, 3), 3) << "created files are readable too";
  }
  {
    TAuFileStream r(name, TAuFileStream::fmOpenRead | TAuFileStream::fmShareDenyWrite);
    char b[4] = {};
    EXPECT_EQ(r.Read(b, 4), 3);
    EXPECT_EQ(std::string(b, 3), "xyz");
    EXPECT_THROW(r.Write("q", 1), std::system_error);
  }
  {
    TAuFileStream w(name, TAuFileStream::fmOpenWrite | TAuFileStream::fmShareExclusive);
    char b[1];
    EXPECT_THROW(w.Read(b, 1), std::system_error);
  }
  try {
    TAuFileStream bad(name, 0x50); // sharing value 5
    ADD_FAILURE() << "sharing value above 4 accepted";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Invalid argument");
  }
  try {
    TAuFileStream missing((dir / "nope").string(), 0x20);
    ADD_FAILURE() << "missing file opened";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "No such file or directory");
  }
}

TEST(FileStream, DirectoriesAreRefusedInEveryMode) {
  TempDir dir;
  const auto name = dir / "folder.mp3";
  ASSERT_TRUE(std::filesystem::create_directory(name));
  for (std::uint16_t mode :
       {TAuFileStream::fmOpenRead, std::uint16_t(TAuFileStream::fmOpenRead | 0x40),
        TAuFileStream::fmOpenWrite, TAuFileStream::fmOpenReadWrite, TAuFileStream::fmCreate}) {
    try {
      TAuFileStream stream(name.string(), mode);
      ADD_FAILURE() << "directory opened with mode " << mode;
    } catch (const EAuException& e) {
      EXPECT_STREQ(e.what(), "Is a directory") << mode;
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(name));
}

} // namespace
} // namespace sondrix::testing
