#include "driver/progress_title.h"

#include <string_view>
#include <vector>

#include "driver/console.h"
#include "system/format.h"
#include "system/text.h"
#include "system/windows_api.h"

namespace voxtrel {
namespace {

constexpr std::string_view kTitlePattern =
    "Voxtrel Force-Removal Tool - step {} of 8: {} entries {}";
constexpr std::string_view kRemovedWord = "removed";
constexpr std::string_view kSearchedWord = "searched";
constexpr std::size_t kDigitGroup = 3;
// A console title is shorter than 64 KB with its terminating NUL.
constexpr DWORD kMaxTitleUnits = 32768;

// The console's title now; nothing when there is no console or its title cannot be read.
std::optional<std::wstring> read_console_title() {
  std::vector<wchar_t> buffer(kMaxTitleUnits);
  // Zero is both an empty title and a failure; only the last error tells them apart.
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetConsoleTitleW(buffer.data(), kMaxTitleUnits);
  if (length == 0 && GetLastError() != ERROR_SUCCESS) return std::nullopt;
  return std::wstring(buffer.data(), length < kMaxTitleUnits ? length : kMaxTitleUnits - 1);
}

}  // namespace

std::string group_digits(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % kDigitGroup == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string progress_title(int step, WalkKind kind, std::uint64_t entries) {
  const std::string_view word = kind == WalkKind::kSearch ? kSearchedWord : kRemovedWord;
  return fill(kTitlePattern, {std::to_string(step), group_digits(entries), word});
}

void TitlePacing::restart(ProgressClock::time_point now) noexcept {
  total_ = 0;
  last_shown_ = now;
}

bool TitlePacing::advance(std::uint64_t entries, ProgressClock::time_point now) noexcept {
  total_ += entries;
  if (now - last_shown_ < kTitleInterval) return false;
  last_shown_ = now;
  return true;
}

ProgressTitle::ProgressTitle() {
  if (!output_is_console()) return;
  original_ = read_console_title();
}

ProgressTitle::~ProgressTitle() {
  if (original_ && shown_) SetConsoleTitleW(original_->c_str());
}

WalkProgress* ProgressTitle::start_step(int step, WalkKind kind) {
  if (!original_) return nullptr;
  step_ = step;
  kind_ = kind;
  pacing_.restart(ProgressClock::now());
  show();
  return this;
}

void ProgressTitle::advance(std::uint64_t entries) {
  if (pacing_.advance(entries, ProgressClock::now())) show();
}

void ProgressTitle::show() {
  // A title the console refuses changes nothing in the run.
  (void)SetConsoleTitleW(to_wide(progress_title(step_, kind_, pacing_.total())).c_str());
  shown_ = true;
}

}  // namespace voxtrel
