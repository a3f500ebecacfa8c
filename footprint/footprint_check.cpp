#include "footprint/footprint_check.h"

#include <array>

#include "driver/agent_footprint.h"
#include "driver/format.h"
#include "system/agent_queries.h"
#include "system/error.h"
#include "system/file_ops.h"
#include "system/registry_reader.h"
#include "system/text.h"

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

constexpr std::array<std::string_view, 2> kUninstallRoots = {kUninstallRoot, kUninstallRoot32};
constexpr std::array<std::string_view, 2> kSearchRoots = {kProgramFilesRoot, kProgramDataRoot};

// The answers that say the thing asked about is not there: a file, folder, key or value that
// does not exist (2), or a folder on the way that does not (3).
bool says_absent(const Error& error) {
  return error.is_os(ERROR_FILE_NOT_FOUND) || error.is_os(ERROR_PATH_NOT_FOUND);
}

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
PartReport found_list(std::string_view part, std::string list) {
  const bool found = !list.empty();
  return {part, found ? PartState::kPresent : PartState::kAbsent, std::move(list)};
}

void append_item(std::string& list, std::string_view item) {
  if (!list.empty()) list += kListSeparator;
  list += item;
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
  std::string list;
  for (const DWORD id : *ids) append_item(list, std::to_string(id));
  if (list.empty()) return found_or_not(kProcessPart, false);
  return found_list(kProcessPart, fill(kProcessIdsDetail, {list}));
}

// Found entries are an answer even when a subkey could not be read; nothing found is one only
// when every subkey could be.
PartReport check_products() {
  std::optional<Error> failure;
  std::string list;
  for (const std::string_view root : kUninstallRoots) {
    for (const auto& product : find_voxtrel_products(HKEY_LOCAL_MACHINE, root, &failure)) {
      append_item(list, fill(kProductDetail, {product.display_name, product.subkey}));
    }
  }
  if (list.empty() && failure) return cannot_tell(kProductPart, *failure);
  return found_list(kProductPart, std::move(list));
}

// Follows links, as the folder step's existence test does: a link to nothing is absent. (A folder
// pending deletion is found through its parent's listing, query_attributes' fallback on 5.)
PartReport check_folder(std::string_view part, std::string_view folder) {
  const std::wstring path = to_wide(folder);
  const auto attributes = query_attributes(path);
  if (!attributes && !says_absent(attributes.error())) return cannot_tell(part, attributes.error());
  if (attributes && deletion_known_pending(path)) {
    return {part, PartState::kPendingRestart, std::string(kDeletionPendingDetail)};
  }
  return found_or_not(part, attributes.has_value());
}

// The tool's own 64-bit view, the one step 7 deletes from.
PartReport check_product_key() {
  auto key = open_key(HKEY_LOCAL_MACHINE, to_utf8_lossy(kProductKey));
  if (!key && !says_absent(key.error())) return cannot_tell(kProductKeyPart, key.error());
  return found_or_not(kProductKeyPart, key.has_value());
}

// An absent search root hides nothing, nor does one that is no folder; one that cannot be opened,
// or a folder below it that could not be searched, leaves the answer open unless a leftover was
// found. Leftovers all pending deletion wait for the restart, unless something could not be
// searched.
PartReport check_leftovers() {
  std::optional<std::string> failure;
  std::string list;
  std::string pending;
  for (const std::string_view root : kSearchRoots) {
    const auto unsearched = search_leftovers(
        to_wide(root), nullptr, [&](TreeSearch& search, const FoundEntry& leftover) {
          const Path path = search.path_of(leftover);
          append_item(deletion_known_pending(path) ? pending : list, to_utf8_lossy(path));
        });
    if (failure) continue;
    if (!unsearched) {
      if (!says_absent(unsearched.error()) && !unsearched.error().is_os(ERROR_DIRECTORY)) {
        failure = error_detail(unsearched.error());
      }
    } else if (!unsearched->empty()) {
      const UnsearchedFolder& first = unsearched->front();
      failure = fill(kFolderErrorDetail, {to_utf8_lossy(first.path), error_detail(first.error)});
    }
  }
  if (list.empty() && failure) return {kLeftoverPart, PartState::kCannotTell, std::move(*failure)};
  if (list.empty() && !pending.empty()) {
    return {kLeftoverPart, PartState::kPendingRestart, fill(kDeletionsPendingDetail, {pending})};
  }
  return found_list(kLeftoverPart, std::move(list));
}

}  // namespace

std::vector<PartReport> check_footprint() {
  std::vector<PartReport> reports;
  reports.push_back(check_service());
  reports.push_back(check_processes());
  reports.push_back(check_products());
  reports.push_back(check_folder(kProgramFolderPart, kProgramFolder));
  reports.push_back(check_folder(kDataFolderPart, kDataFolder));
  reports.push_back(check_product_key());
  reports.push_back(check_leftovers());
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
