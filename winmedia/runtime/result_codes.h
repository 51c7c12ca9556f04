#pragma once

#include <cstdint>

namespace sondrix {

// 32-bit result codes of the media runtime; 0 is success, a set top bit is failure.
using HRESULT = std::int32_t;

constexpr HRESULT hresult(std::uint32_t code) {
  return static_cast<HRESULT>(code);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hresult(0x80004001);
constexpr HRESULT E_POINTER = hresult(0x80004003);
constexpr HRESULT E_FAIL = hresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = hresult(0x8000FFFF);
constexpr HRESULT E_OUTOFMEMORY = hresult(0x8007000E);
constexpr HRESULT E_INVALIDARG = hresult(0x80070057);
constexpr HRESULT E_ACCESSDENIED = hresult(0x80070005);
constexpr HRESULT NS_E_NO_MORE_SAMPLES = hresult(0xC00D0BCF);
constexpr HRESULT NS_E_INVALID_REQUEST = hresult(0xC00D002B);
constexpr HRESULT NS_E_NOT_CONFIGURED = hresult(0xC00D0005);
constexpr HRESULT NS_E_NETWORK_BUSY = hresult(0xC00D0028);
constexpr HRESULT NS_E_FILE_NOT_FOUND = hresult(0xC00D001A);
constexpr HRESULT NS_E_FILE_OPEN_FAILED = hresult(0xC00D001D);
constexpr HRESULT NS_E_INVALID_DATA = hresult(0xC00D002F);
constexpr HRESULT NS_E_PORT_IN_USE = hresult(0xC00D0FD4);

constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}

} // namespace sondrix
