#include "host/base/ui_language.h"

namespace veyra {
namespace {

constexpr std::uint16_t kPrimaryLanguageMask = 0x3FF;
constexpr std::uint16_t kLangKorean = 0x12;

}  // namespace

bool IsKoreanLanguage(std::uint16_t languageId) {
  return (languageId & kPrimaryLanguageMask) == kLangKorean;
}

}  // namespace veyra
