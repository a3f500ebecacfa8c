#include "footprint/footprint_check.h"

#include <array>
#include <new>

#include "agent/footprint.h"
#include "system/error.h"
#include "system/file_queries.h"
#include "system/format.h"
#include "system/machine_queries.h"
#include "system/path.h"
#include "system/registry_reader.h"
#include "system/text.h"
#include "system/tree_search.h"

namespace voxtrel {
namespace {

// The part names and line shapes, together so they can be read against each other.
constexpr std::string_view kServicePart = "service VoxtrelAgent";
constexpr std::string_view kProcessPart = "processes voxtrel-agent.exe";
constexpr std::string_view kProductPart = "uninstall entries named *Voxtrel*";
constexpr std::string_view kProgramFolderPart = "folder C:\\Program Files\\Voxtrel";
constexpr std::string_view kDataFolderPart = "folder C:\\ProgramData\\Voxtrel";
constexpr std::string_view kProductKeyPart = "key HKLM\\SOFTWARE\\Voxtrel";
constexpr std::string_view kLeftoverPart = "leftovers voxtrel-agent.exe.old*";

constexpr std::string_view kAbsentLine = "{}: absent\n";
constexpr std::string_view kPresentLine = "{}: present\n";
constexpr std::string_view kPresentWithDetailLine = "{}: present ({})\n";
constexpr std::string_view kCannotTellLine = "{}: cannot tell ({})\n";
constexpr std::string_view kPendingRestartLine = "{}: pending restart ({})\n";
constexpr std::string_view kMarkedForDeletionDetail = "marked for deletion";
constexpr std::string_view kDeletionPendingDetail = "deletion pending";
constexpr std::string_view kDeletionsPendingDetail = "deletion pending: {}";
constexpr std::string_view kErrorDetail = "error {}: {}";
constexpr std::string_view kFolderErrorDetail = "{}: {}";
constexpr std::string_view kProcessIdsDetail = "process ids {}";
constexpr std::string_view kProductDetail = "{} {}";
constexpr std::string_view kListSeparator = "; ";
constexpr std::string_view kUnlistedItems = "and {} more";

std::string error_detail(const Error& error) {
  if (error.kind() != ErrorKind::kOs) return std::string(error.message());
  return fill(kErrorDetail, {std::to_string(error.code()), system_message(error.code())});
}

PartReport cannot_tell(std::string_view part, const Error& error) {
  return {part, PartState::kCannotTell, error_detail(error)};
}

PartReport found_or_not(std::string_view part, bool found) {
  return {part, found ? PartState::kPresent : PartState::kAbsent, {}};
}

// Present with the list of what was found, or absent when the list is empty.
PartReport found_list(std::string_view part, const ItemList& list) {
  if (list.empty()) return found_or_not(part, false);
  return {part, PartState::kPresent, list.text()};
}

// The part's answer, or "cannot tell" with ERROR_NOT_ENOUGH_MEMORY (8) when memory ran out while
// asking: the other parts are still asked, and a machine short of memory is no answer "absent".
template <typename Question>
PartReport answer(std::string_view part, const Question& question) noexcept {
  try {
    return question();
  } catch (const std::bad_alloc&) {
  }
  // Outside the handler, once the question's memory is freed. Should even the message not fit,
  // the part is still "cannot tell", without it.
  PartReport report{part, PartState::kCannotTell, {}};
  try {
    report.detail = error_detail(Error::os(ERROR_NOT_ENOUGH_MEMORY));
  } catch (const std::bad_alloc&) {
  }
  return report;
}

// An entry found on disk is present unless its deletion is known to be pending; a question about
// that which fails leaves it present.
bool deletion_known_pending(std::wstring_view path) {
  const auto pending = deletion_pending(path);
  return pending && *pending;
}

PartReport check_service() {
  const auto state = service_state(kServiceName);
  if (!state) return cannot_tell(kServicePart, state.error());
  if (*state == ServiceState::kMarkedForDeletion) {
    return {kServicePart, PartState::kPendingRestart, std::string(kMarkedForDeletionDetail)};
  }
  return found_or_not(kServicePart, *state == ServiceState::kPresent);
}

PartReport check_processes() {
  const auto ids = processes_named(kAgentImageName);
  if (!ids) return cannot_tell(kProcessPart, ids.error());
  ItemList list;
  for (const DWORD id : *ids) list.add([id] { return std::to_string(id); });
  if (list.empty()) return found_or_not(kProcessPart, false);
  return {kProcessPart, PartState::kPresent, fill(kProcessIdsDetail, {list.text()})};
}

// Found entries are an answer even when a subkey could not be read; nothing found is one only
// when every subkey could be.
PartReport check_products() {
  std::optional<Error> failure;
  ItemList list;
  for (const std::string_view root : kUninstallRoots) {
    for (const auto& product : find_voxtrel_products(HKEY_LOCAL_MACHINE, root, &failure)) {
      list.add([&product] { return fill(kProductDetail, {product.display_name, product.subkey}); });
    }
  }
  if (list.empty() && failure) return cannot_tell(kProductPart, *failure);
  return found_list(kProductPart, list);
}

// Follows links, as the folder step's existence test does: a link to nothing is absent. (A folder
// pending deletion is found through its parent's listing, query_attributes' fallback on 5.)
PartReport check_folder(std::string_view part, std::string_view folder) {
  const std::wstring path = to_wide(folder);
  const auto attributes = query_attributes(path);
  if (!attributes && !is_absent(attributes.error())) return cannot_tell(part, attributes.error());
  if (attributes && deletion_known_pending(path)) {
    return {part, PartState::kPendingRestart, std::string(kDeletionPendingDetail)};
  }
  return found_or_not(part, attributes.has_value());
}

// The tool's own 64-bit view, the one step 7 deletes from.
PartReport check_product_key() {
  auto key = open_key(HKEY_LOCAL_MACHINE, to_utf8_lossy(kProductKey));
  if (!key && !is_absent(key.error())) return cannot_tell(kProductKeyPart, key.error());
  return found_or_not(kProductKeyPart, key.has_value());
}

// The leftovers under `root`, each put in `list` or, when its deletion is pending, in `pending`.
// Returns what leaves the answer open: why the root or a folder below it could not be searched.
std::optional<std::string> search_root(std::string_view root, ItemList& list, ItemList& pending) {
  auto search = TreeSearch::open(to_wide(root), nullptr);
  if (!search) {
    if (is_absent(search.error()) || search.error().is_os(ERROR_DIRECTORY)) return std::nullopt;
    return error_detail(search.error());
  }
  while (const auto leftover = search->next()) {
    if (!is_leftover_name(leftover->name)) continue;
    const bool is_pending = search->deletion_pending(*leftover).value_or(false);
    (is_pending ? pending : list).add([&] { return shown_path(search->path_of(*leftover)); });
  }
  const auto unsearched = search->unsearched();
  if (unsearched.empty()) return std::nullopt;
  const UnsearchedFolder& first = unsearched.front();
  return fill(kFolderErrorDetail, {to_utf8_lossy(first.path), error_detail(first.error)});
}

// An absent search root hides nothing, nor does one that is no folder; one that cannot be opened,
// or a folder below it that could not be searched, leaves the answer open unless a leftover was
// found. Leftovers all pending deletion wait for the restart, unless something could not be
// searched. A leftover past the list is counted, its path never shown.
PartReport search_roots(std::span<const std::string_view> roots) {
  std::optional<std::string> failure;
  ItemList list;
  ItemList pending;
  for (const std::string_view root : roots) {
    auto unknown = search_root(root, list, pending);
    if (!failure) failure = std::move(unknown);
  }
  if (list.empty() && failure) return {kLeftoverPart, PartState::kCannotTell, std::move(*failure)};
  if (list.empty() && !pending.empty()) {
    return {kLeftoverPart, PartState::kPendingRestart,
            fill(kDeletionsPendingDetail, {pending.text()})};
  }
  return found_list(kLeftoverPart, list);
}

}  // namespace

void ItemList::append(std::string_view item) {
  if (listed_ != 0) text_ += kListSeparator;
  text_ += item;
  ++listed_;
}

std::string ItemList::text() const {
  if (unlisted_ == 0) return text_;
  return text_ + std::string(kListSeparator) + fill(kUnlistedItems, {std::to_string(unlisted_)});
}

PartReport check_leftovers(std::span<const std::string_view> roots) {
  return answer(kLeftoverPart, [roots] { return search_roots(roots); });
}

std::vector<PartReport> check_footprint() {
  std::vector<PartReport> reports;
  reports.push_back(answer(kServicePart, check_service));
  reports.push_back(answer(kProcessPart, check_processes));
  reports.push_back(answer(kProductPart, check_products));
  reports.push_back(
      answer(kProgramFolderPart, [] { return check_folder(kProgramFolderPart, kProgramFolder); }));
  reports.push_back(
      answer(kDataFolderPart, [] { return check_folder(kDataFolderPart, kDataFolder); }));
  reports.push_back(answer(kProductKeyPart, check_product_key));
  reports.push_back(check_leftovers(kSearchRoots));
  return reports;
}

std::string report_line(const PartReport& report) {
  switch (report.state) {
    case PartState::kAbsent:
      return fill(kAbsentLine, {report.part});
    case PartState::kPresent:
      if (report.detail.empty()) return fill(kPresentLine, {report.part});
      return fill(kPresentWithDetailLine, {report.part, report.detail});
    case PartState::kPendingRestart:
      return fill(kPendingRestartLine, {report.part, report.detail});
    case PartState::kCannotTell:
      break;
  }
  return fill(kCannotTellLine, {report.part, report.detail});
}

int footprint_exit_code(std::span<const PartReport> reports) noexcept {
  bool cannot_tell = false;
  bool pending = false;
  for (const PartReport& report : reports) {
    if (report.state == PartState::kPresent) return kExitPresent;
    cannot_tell = cannot_tell || report.state == PartState::kCannotTell;
    pending = pending || report.state == PartState::kPendingRestart;
  }
  if (cannot_tell) return kExitCannotTell;
  return pending ? kExitPendingRestart : kExitAllAbsent;
}

}  // namespace voxtrel
