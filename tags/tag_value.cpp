#include "tags/tag_value.h"

#include "base/text.h"

#include <charconv>
#include <limits>

namespace sondrix {
namespace {

const std::string kEmptyNarrow;
const std::u16string kEmptyWide;

// A whole text that is an optionally signed decimal number within 32 bits.
bool parseInt32(std::string_view text, std::int32_t& out) {
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  if (text.empty())
    return false;
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() ||
      v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    return false;
  out = static_cast<std::int32_t>(v);
  return true;
}

} // namespace

std::int64_t TTagValue::IntegerValue() const {
  const auto* i = std::get_if<Integer>(&FData);
  return i ? i->value : 0;
}

int TTagValue::IntegerBits() const {
  const auto* i = std::get_if<Integer>(&FData);
  return i ? i->bits : 0;
}

bool TTagValue::IntegerSigned() const {
  const auto* i = std::get_if<Integer>(&FData);
  return i && i->isSigned;
}

const std::string& TTagValue::NarrowText() const {
  const auto* s = std::get_if<std::string>(&FData);
  return s ? *s : kEmptyNarrow;
}

const std::u16string& TTagValue::WideText() const {
  const auto* s = std::get_if<std::u16string>(&FData);
  return s ? *s : kEmptyWide;
}

std::int32_t TTagValue::ToInteger() const {
  std::int32_t v = 0;
  switch (Kind()) {
  case TTagValueKind::Null:
    return 0;
  case TTagValueKind::Integer:
    // An unsigned 32-bit value above the signed range wraps, as a 32-bit read does.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(IntegerValue()));
  case TTagValueKind::NarrowText:
    return parseInt32(NarrowText(), v) ? v : 0;
  case TTagValueKind::WideText:
    return parseInt32(toNarrow(WideText()), v) ? v : 0;
  }
  return 0;
}

std::string TTagValue::ToNarrow() const {
  switch (Kind()) {
  case TTagValueKind::Null:
    return {};
  case TTagValueKind::Integer:
    return std::to_string(IntegerValue());
  case TTagValueKind::NarrowText:
    return NarrowText();
  case TTagValueKind::WideText:
    return toNarrow(WideText());
  }
  return {};
}

std::u16string TTagValue::ToWide() const {
  switch (Kind()) {
  case TTagValueKind::Null:
    return {};
  case TTagValueKind::Integer:
    return toWide(std::to_string(IntegerValue()));
  case TTagValueKind::NarrowText:
    return toWide(NarrowText());
  case TTagValueKind::WideText:
    return WideText();
  }
  return {};
}

bool TTagValue::SameAs(const TTagValue& other) const {
  const TTagValueKind a = Kind(), b = other.Kind();
  if (a == TTagValueKind::Null || b == TTagValueKind::Null)
    return a == b;
  if (a == TTagValueKind::Integer && b == TTagValueKind::Integer)
    return IntegerValue() == other.IntegerValue();
  if (a == TTagValueKind::NarrowText && b == TTagValueKind::NarrowText)
    return NarrowText() == other.NarrowText();
  // Mixed kinds meet as wide text; an integer as its decimal text.
  return ToWide() == other.ToWide();
}

std::string TTagValue::Describe() const {
  switch (Kind()) {
  case TTagValueKind::Null:
    return "null";
  case TTagValueKind::Integer:
    return std::string(IntegerSigned() ? "i" : "u") + std::to_string(IntegerBits()) + ":" +
           std::to_string(IntegerValue());
  case TTagValueKind::NarrowText:
    return "n\"" + NarrowText() + "\"";
  case TTagValueKind::WideText:
    return "w\"" + toNarrow(WideText()) + "\"";
  }
  return {};
}

} // namespace sondrix
