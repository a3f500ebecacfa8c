// One round: every variant timed once, each on its fresh copy of the planned tree, and checked
// for having done the whole job.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "bench/results.h"
#include "bench/tree_plan.h"
#include "system/path.h"

namespace voxtrel::bench {

// The fresh copies a round works on live in one folder: "listing" for the whole sweep group
// (those variants leave the tree as they found it, or have their leftovers put back), and one
// folder per removal variant, named by its id.
inline constexpr std::wstring_view kListingCopy = L"listing";

struct RoundSettings {
  std::uint32_t entries = 0;
  std::uint32_t round = 1;
  Path copies;  // the folder holding this round's copies
  // For the slow peers: the cmd variants are stopped at it, the one-open walk stops itself.
  std::chrono::milliseconds limit;
  std::set<std::string> skip;  // variant ids stopped at the limit in an earlier round
};

// Runs every variant not in `settings.skip` once, rotating the order by the round number, and
// hands each record to `record` as soon as it is known. Notes about how the round had to adapt
// to the platform go to `note`.
void run_round(const TreePlan& plan, const RoundSettings& settings,
               const std::function<void(const RunRecord&)>& record,
               const std::function<void(const std::string&)>& note);

}  // namespace voxtrel::bench
