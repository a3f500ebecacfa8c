// The footprint check: whether each part of the agent that the removal tool takes away is on this
// machine, asked read-only through the same system code and matching rules as the tool's steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace voxtrel {

enum class PartState : std::uint8_t {
  kAbsent,
  kPresent,
  kCannotTell,
  // Deleted, but still there until the last handle to it closes: at the latest at the next
  // restart.
  kPendingRestart,
};

// The exit codes: everything absent, something present, no answer for some part while nothing
// was found (a part found present is an answer whatever the others say), and nothing left but
// what goes at the next restart. The last is ERROR_SUCCESS_REBOOT_REQUIRED, which Windows
// Installer returns for the same state and deployment systems read as "succeeded, restart
// needed".
inline constexpr int kExitAllAbsent = 0;
inline constexpr int kExitPresent = 1;
inline constexpr int kExitCannotTell = 2;
inline constexpr int kExitPendingRestart = 3010;

// At most this many items a part lists (leftovers, process ids, uninstall entries); the rest are
// counted: "C:\a; C:\b; and 1980 more". Any user can plant leftovers or start processes without
// end, and a deployment system keeps the check's line in its log.
inline constexpr std::size_t kMaxListedItems = 20;

struct PartReport {
  std::string_view part;  // one of the fixed part names
  PartState state = PartState::kAbsent;
  // Present: what was found, when there is more to say than the name. Cannot tell: why.
  // Pending restart: what waits for it.
  std::string detail;
};

// What a part found, as its line lists it: the first kMaxListedItems items with "; " between
// them, then "and N more" for the rest, which are only counted.
class ItemList {
 public:
  // Lists the item `make_item()` gives, or, once kMaxListedItems are listed, only counts it
  // without making it.
  template <typename MakeItem>
  void add(const MakeItem& make_item) {
    if (listed_ == kMaxListedItems) {
      ++unlisted_;
      return;
    }
    append(make_item());
  }
  [[nodiscard]] bool empty() const noexcept { return listed_ == 0; }
  [[nodiscard]] std::string text() const;

 private:
  void append(std::string_view item);

  std::string text_;
  std::size_t listed_ = 0;
  std::uint64_t unlisted_ = 0;
};

// Asks about every part, in the order of the tool's steps: the service, the agent's processes,
// the uninstall entries of both lists, the two folders, the product key and the leftovers under
// both search roots. Changes nothing. A part for which memory runs out is "cannot tell" (error 8);
// the others are still asked.
[[nodiscard]] std::vector<PartReport> check_footprint();

// The leftovers part, searching `roots` (check_footprint searches both of the tool's roots): the
// leftovers found, each path as shown_path gives it; "cannot tell" when nothing was found and a
// root other than an absent one could not be searched, or when memory ran out (error 8).
[[nodiscard]] PartReport check_leftovers(std::span<const std::string_view> roots);

// "<part>: present (<detail>)", "<part>: absent", "<part>: cannot tell (<detail>)" or
// "<part>: pending restart (<detail>)", with "\n".
[[nodiscard]] std::string report_line(const PartReport& report);

// Present before cannot tell before pending restart before absent: the first of these that some
// part is decides.
[[nodiscard]] int footprint_exit_code(std::span<const PartReport> reports) noexcept;

}  // namespace voxtrel
