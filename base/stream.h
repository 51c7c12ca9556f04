#pragma once

#include <cstdint>
#include <vector>

namespace sondrix {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The framework's byte stream. Read and Write move the position and return the bytes moved
// (fewer at the end; never throw for a short transfer). Errors of the medium throw.
class TStream {
public:
  virtual ~TStream() = default;
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Returns the new position, or -1 where the stream cannot seek.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  // Size by seeking to the end and back; -1 where the stream cannot seek.
  virtual std::int64_t Size();
};

// A stream over a growable byte buffer, for tests and small in-memory data.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<std::uint8_t> data) : FData(std::move(data)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }

  const std::vector<std::uint8_t>& Data() const { return FData; }

private:
  std::vector<std::uint8_t> FData;
  std::int64_t FPos = 0;
};

// A stream over a POSIX file descriptor, which it closes when destroyed (if above -1).
class THandleStream : public TStream {
public:
  explicit THandleStream(int handle) : FHandle(handle) {}
  ~THandleStream() override;
  THandleStream(const THandleStream&) = delete;
  THandleStream& operator=(const THandleStream&) = delete;

  int Handle() const { return FHandle; }
  // Read/Write retry on EINTR and throw std::system_error on other failures.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  // Sets the file's length (ftruncate); throws std::system_error on failure.
  void SetSize(std::int64_t size);

protected:
  int FHandle;
};

} // namespace sondrix
