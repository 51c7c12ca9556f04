#include "winmedia/wma_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace sondrix {
namespace {

// Records what the record routines ask of a writer.
class TFakeWriter final : public IWMWriter, public IWMWriterAdvanced, public IWMWriterHeaderInfo {
public:
  struct Written {
    std::uint32_t input;
    std::int64_t time;
    std::vector<std::uint8_t> bytes;
  };
  struct Attribute {
    std::u16string name;
    WMT_ATTR_DATATYPE type;
    std::vector<std::uint8_t> value;
  };

  HRESULT writeResult = S_OK;
  HRESULT beginResult = S_OK;
  std::vector<Written> written;
  std::vector<Attribute> attributes;
  std::weak_ptr<INSSBuffer> lastSample;

  HRESULT SetProfile(const std::shared_ptr<IWMProfile>&) override { return S_OK; }
  HRESULT GetInputCount(std::uint32_t* n) override {
    *n = 0;
    return S_OK;
  }
  HRESULT GetInputProps(std::uint32_t, std::shared_ptr<IWMInputMediaProps>*) override {
    return E_INVALIDARG;
  }
  HRESULT SetInputProps(std::uint32_t, const std::shared_ptr<IWMInputMediaProps>&) override {
    return E_INVALIDARG;
  }
  HRESULT BeginWriting() override { return beginResult; }
  HRESULT EndWriting() override { return S_OK; }
  HRESULT AllocateSample(std::uint32_t size, std::shared_ptr<INSSBuffer>* sample) override {
    auto buffer = std::make_shared<TNSSBuffer>(size);
    lastSample = buffer;
    *sample = buffer;
    return S_OK;
  }
  HRESULT WriteSample(std::uint32_t input, std::int64_t time, std::uint32_t,
                      const std::shared_ptr<INSSBuffer>& sample) override {
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    sample->GetBufferAndLength(&data, &length);
    written.push_back({input, time, std::vector<std::uint8_t>(data, data + length)});
    return writeResult;
  }
  HRESULT AddSink(const std::shared_ptr<IWMWriterSink>&) override { return S_OK; }
  HRESULT RemoveSink(const std::shared_ptr<IWMWriterSink>&) override { return S_OK; }
  HRESULT SetAttribute(std::uint16_t stream, const std::u16string& name, WMT_ATTR_DATATYPE type,
                       const std::uint8_t* value, std::uint16_t length) override {
    EXPECT_EQ(stream, 0);
    attributes.push_back({name, type, std::vector<std::uint8_t>(value, value + length)});
    return S_OK;
  }
};

class WriterRecord : public ::testing::Test {
protected:
  void SetUp() override {
    fake = std::make_shared<TFakeWriter>();
    record.writer = fake;
    record.input = 3;
    record.BytesPerSecond = 176400;
  }
  std::shared_ptr<TFakeWriter> fake;
  wma_writer record;
};

TEST_F(WriterRecord, BlocksAreStampedWithTheTimeAfterThem) {
  std::vector<std::uint8_t> block(882);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<std::uint8_t>(i * 7);
  wm_writer_begin(record);
  wm_writer_write(record, block.data(), 882);
  wm_writer_write(record, block.data(), 882);
  ASSERT_EQ(fake->written.size(), 2u);
  EXPECT_EQ(fake->written[0].time, 50000);
  EXPECT_EQ(fake->written[1].time, 100000);
  EXPECT_EQ(fake->written[0].input, 3u);
  EXPECT_EQ(fake->written[1].bytes, block);
  EXPECT_EQ(record.TotalTime, 100000);
  // The sample is released after each write.
  EXPECT_EQ(record.buffer, nullptr);
  EXPECT_TRUE(fake->lastSample.expired());
}

TEST_F(WriterRecord, StampsRoundToNearestWithHalvesToEven) {
  record.BytesPerSecond = 4;
  // 1 byte at 4 B/s = 2 500 000 exactly; 3 bytes at 80 000 000 B/s = 0.375 -> 0.
  wm_writer_write(record, "x", 1);
  EXPECT_EQ(record.TotalTime, 2500000);
  record.BytesPerSecond = 80000000;
  wm_writer_write(record, "abc", 3);
  EXPECT_EQ(record.TotalTime, 2500000);
  // 4 bytes = 0.5 -> 0 (even); 12 bytes = 1.5 -> 2.
  wm_writer_write(record, "abcd", 4);
  EXPECT_EQ(record.TotalTime, 2500000);
  wm_writer_write(record, "abcdefghijkl", 12);
  EXPECT_EQ(record.TotalTime, 2500002);
}

TEST_F(WriterRecord, BeginResetsTheRunningTime) {
  record.TotalTime = 123456;
  wm_writer_begin(record);
  EXPECT_EQ(record.TotalTime, 0);
}

TEST_F(WriterRecord, EmptyBlockIsStillWritten) {
  wm_writer_write(record, nullptr, 0);
  ASSERT_EQ(fake->written.size(), 1u);
  EXPECT_TRUE(fake->written[0].bytes.empty());
  EXPECT_EQ(fake->written[0].time, 0);
}

TEST_F(WriterRecord, FailedWriteRaisesWithTheCodeInHex) {
  fake->writeResult = hresult(0xC00D0BCF);
  try {
    wm_writer_write(record, "abcd", 4);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to write data: C00D0BCF");
  }
  EXPECT_EQ(record.buffer, nullptr);
  fake->writeResult = hresult(0x8000000A);
  EXPECT_THROW(
      {
        try {
          wm_writer_write(record, "abcd", 4);
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Failed to write data: 8000000A");
          throw;
        }
      },
      std::runtime_error);
}

TEST_F(WriterRecord, MissingDataIsAFailedWriteNotACrash) {
  try {
    wm_writer_write(record, nullptr, 4);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to write data: 80004003");
  }
  EXPECT_TRUE(fake->written.empty());
}

TEST_F(WriterRecord, RefusedBeginRaisesTheInstallHint) {
  fake->beginResult = E_FAIL;
  record.TotalTime = 5;
  try {
    wm_writer_begin(record);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "Filed to set data writer, possible reason: required WMA codec not installed.");
  }
}

TEST_F(WriterRecord, AttributesAreUtf16WithoutNull) {
  wm_writer_set_attribute(record, u"Title", u"Ab\u044F");
  wm_writer_set_attribute(record, u"WM/Genre", u"");
  ASSERT_EQ(fake->attributes.size(), 2u);
  EXPECT_EQ(fake->attributes[0].name, u"Title");
  EXPECT_EQ(fake->attributes[0].type, WMT_TYPE_STRING);
  EXPECT_EQ(fake->attributes[0].value, (std::vector<std::uint8_t>{'A', 0, 'b', 0, 0x4F, 0x04}));
  // An empty text is still written, with length 0.
  EXPECT_EQ(fake->attributes[1].name, u"WM/Genre");
  EXPECT_TRUE(fake->attributes[1].value.empty());
}

// Hooks receive the owner; a test component counts what reached it.
class THookTarget : public TComponent {
public:
  int connected = 0;
  int disconnected = 0;
  std::vector<std::int32_t> errors;
};

void onConnected(TComponent* dest) {
  static_cast<THookTarget*>(dest)->connected++;
}
void onDisconnected(TComponent* dest) {
  static_cast<THookTarget*>(dest)->disconnected++;
}
void onError(TComponent* dest, std::int32_t reason) {
  static_cast<THookTarget*>(dest)->errors.push_back(reason);
}

TEST(WriterCallbacks, StatusCallbackReportsListenersOnly) {
  THookTarget target;
  wma_writer record;
  record.Owner = &target;
  record.OnConnected = onConnected;
  record.OnDisconnected = onDisconnected;
  record.OnError = onError;
  TWMStatusCallback callback(&record);
  for (const auto status : {WMT_CLIENT_CONNECT_EX, WMT_CLIENT_CONNECT_EX, WMT_CLIENT_DISCONNECT_EX,
                            WMT_ERROR, WMT_NO_RIGHTS})
    EXPECT_EQ(callback.OnStatus(status, E_FAIL, WMT_TYPE_DWORD, nullptr, nullptr), S_OK);
  EXPECT_EQ(target.connected, 2);
  EXPECT_EQ(target.disconnected, 1);
  EXPECT_TRUE(target.errors.empty());
}

TEST(WriterCallbacks, StatusCallbackWithoutHooksDoesNothing) {
  wma_writer record;
  TWMStatusCallback callback(&record);
  EXPECT_EQ(callback.OnStatus(WMT_CLIENT_CONNECT_EX, S_OK, WMT_TYPE_DWORD, nullptr, nullptr), S_OK);
  TWMErrorCallback errors(&record);
  EXPECT_EQ(errors.OnStatus(WMT_ERROR, E_FAIL, WMT_TYPE_DWORD, nullptr, nullptr), S_OK);
}

TEST(WriterCallbacks, ErrorCallbackReportsErrorStatuses) {
  THookTarget target;
  wma_writer record;
  record.Owner = &target;
  record.OnConnected = onConnected;
  record.OnError = onError;
  TWMErrorCallback callback(&record);
  for (const int status : {0, 9, 26, 30, 37, 38, 1, 25})
    EXPECT_EQ(callback.OnStatus(static_cast<WMT_STATUS>(status), E_FAIL, WMT_TYPE_DWORD, nullptr,
                                nullptr),
              S_OK);
  EXPECT_EQ(target.errors, (std::vector<std::int32_t>{0, 9, 26, 30}));
  EXPECT_EQ(target.connected, 0);
}

} // namespace
} // namespace sondrix
