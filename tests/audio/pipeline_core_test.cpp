#include "test_doubles.h"

#include <gtest/gtest.h>

namespace sondrix::testing {
namespace {

std::vector<std::uint8_t> drain(TAuInput& in, std::uint32_t ask = 10) {
  std::vector<std::uint8_t> out;
  for (int guard = 0; guard < 100000; ++guard) {
    void* p = nullptr;
    std::uint32_t n = ask;
    in.GetData(p, n);
    if (n == 0) {
      EXPECT_EQ(p, nullptr);
      break;
    }
    const auto* b = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), b, b + n);
  }
  return out;
}

TEST(PipelineCore, EndOfDataIsFinalUntilTheNextInit) {
  auto src = MakeComponent<MemorySource>(30);
  src->Init();
  const auto first = drain(*src);
  ASSERT_EQ(first.size(), 30u);
  for (std::size_t i = 0; i < first.size(); ++i)
    ASSERT_EQ(first[i], i % 251);
  const int calls = src->GetDataCalls;
  for (int i = 0; i < 5; ++i) {
    void* p = reinterpret_cast<void*>(1);
    std::uint32_t n = 10;
    src->GetData(p, n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(src->GetDataCalls, calls) << "the source was asked again after its end";
  src->Flush();
  src->Init();
  EXPECT_EQ(drain(*src).size(), 30u);
}

TEST(PipelineCore, OvershootingConverterIsTrimmedAtItsSize) {
  auto src = MakeComponent<MemorySource>(-1, std::vector<std::uint32_t>{10});
  src->Overshoot = 5; // every read gives 15 bytes
  src->Init();
  src->SetSizeLimit(40);
  const auto data = drain(*src, 10);
  EXPECT_EQ(data.size(), 40u);
  EXPECT_EQ(src->Position(), 45); // keeps the larger value
  EXPECT_GT(src->Position(), src->Size());
}

TEST(PipelineCore, UnknownSizeNeverTrims) {
  auto src = MakeComponent<MemorySource>(100);
  src->Init();
  src->SetSizeLimit(-1);
  EXPECT_EQ(drain(*src).size(), 100u);
}

// Answers 4, 4, then 0 bytes.
class FourFourZero : public MemorySource {
public:
  FourFourZero() : MemorySource(8, {4}) {}
};

TEST(PipelineCore, FillBufferStopsAtTheFirstEmptyAnswer) {
  auto src = MakeComponent<FourFourZero>();
  src->Init();
  std::uint8_t buf[10] = {};
  bool eof = false;
  EXPECT_EQ(src->FillBuffer(buf, 10, eof), 8u);
  EXPECT_TRUE(eof);
  EXPECT_EQ(src->GetDataCalls, 3);
  EXPECT_EQ(buf[7], 7);

  auto full = MakeComponent<MemorySource>(100);
  full->Init();
  EXPECT_EQ(full->FillBuffer(buf, 10, eof), 10u);
  EXPECT_FALSE(eof);
  EXPECT_EQ(full->FillBuffer(buf, 0, eof), 0u);
  EXPECT_TRUE(eof);
}

TEST(PipelineCore, FillBufferUnprotectedCountsThePosition) {
  auto src = MakeComponent<MemorySource>(25);
  src->Init();
  std::uint8_t buf[16];
  bool eof = true;
  EXPECT_EQ(src->FillBufferUnprotected(buf, 16, eof), 16u);
  EXPECT_FALSE(eof);
  EXPECT_EQ(src->Position(), 16);
  EXPECT_EQ(src->FillBufferUnprotected(buf, 16, eof), 9u);
  EXPECT_TRUE(eof);
  EXPECT_EQ(src->Position(), 25);
  bool untouched = false;
  EXPECT_EQ(src->FillBufferUnprotected(nullptr, 16, untouched), 0u);
  EXPECT_FALSE(untouched);
}

TEST(PipelineCore, InitFailureKeepsItsTextAndLeavesNothingToRead) {
  auto src = MakeComponent<MemorySource>(30);
  src->InitError = "Cannot open: no such thing";
  try {
    src->Init();
    FAIL() << "Init did not fail";
  } catch (const EAuException& e) {
    EXPECT_STREQ(e.what(), "Cannot open: no such thing");
  }
  void* p = nullptr;
  std::uint32_t n = 10;
  src->GetData(p, n);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(src->GetDataCalls, 0);
  src->Reset();
  EXPECT_FALSE(src->IsBusy());
}

// A pass-through converter over another source.
class PassThrough : public TAuConverter {
public:
  using TAuConverter::TAuConverter;

protected:
  void DoInit() override {
    FInput->Init();
    Busy = true;
    FPosition = 0;
  }
  void DoFlush() override {
    FInput->Flush();
    Busy = false;
  }
  void DoGetData(void*& Buffer, std::uint32_t& Bytes) override { FInput->GetData(Buffer, Bytes); }
};

TEST(PipelineCore, ConverterDelegatesFormatAndRemovesTheFloatMark) {
  auto src = MakeComponent<MemorySource>(10);
  auto conv = MakeComponent<PassThrough>();
  EXPECT_EQ(conv->BitsPerSample(), 0u);
  EXPECT_EQ(conv->SampleRate(), 0u);
  conv->SetInput(src.get());
  src->Bits = 160;
  EXPECT_EQ(conv->BitsPerSample(), 32u);
  conv->SetRequestFloat(true);
  EXPECT_EQ(conv->BitsPerSample(), 160u);
  src->Bits = 24; // never cached
  EXPECT_EQ(conv->BitsPerSample(), 24u);
  EXPECT_EQ(conv->Channels(), 2u);
  EXPECT_EQ(conv->SampleRate(), 1000u);
}

TEST(PipelineCore, SetInputWhileReadingSwitchesSources) {
  auto a = MakeComponent<MemorySource>(1000);
  auto b = MakeComponent<MemorySource>(20);
  auto conv = MakeComponent<PassThrough>();
  conv->SetInput(conv.get()); // itself: ignored
  EXPECT_EQ(conv->Input(), nullptr);
  conv->SetInput(a.get());
  EXPECT_FALSE(a->IsBusy()); // idle: only stored
  conv->Init();
  EXPECT_TRUE(a->IsBusy());
  conv->SetInput(b.get());
  EXPECT_FALSE(a->IsBusy());
  EXPECT_TRUE(b->IsBusy());
  EXPECT_EQ(drain(*conv).size(), 20u);
}

TEST(PipelineCore, DestroyingTheInputLeavesTheConverterWithout) {
  auto conv = MakeComponent<PassThrough>();
  auto src = MakeComponent<MemorySource>(10);
  conv->SetInput(src.get());
  src.reset();
  EXPECT_EQ(conv->Input(), nullptr);
  EXPECT_EQ(conv->Channels(), 0u);
}

} // namespace
} // namespace sondrix::testing
