// The mining loop's side of the node link: the events it posts (work, tips,
// verdicts, the watch), and the blocks the devices found, handed over at once.

#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <variant>

#include "driver/device_lines.h"
#include "driver/mining_run.h"
#include "driver/run_flag.h"
#include "hash/byte_order.h"
#include "node/hex.h"
#include "node/longpoll_watch.h"

namespace {

const char* device_kind(int device) { return device == kCpuDevice ? "CPU" : "GPU"; }

// As FoundBlock names the device: "CPU", "GPU", or "GPU 1" where several GPUs mine.
std::string device_name(const MiningRun& run, int device) {
  if (device == kCpuDevice) return "CPU";
  if (run.gpus.size() == 1) return "GPU";
  return "GPU " + std::to_string(run.gpus[static_cast<size_t>(device)].ports->info.index);
}

// The line that names the card after a line about its block, where several cards mine.
void name_finder_after(const MiningRun& run, int device) {
  if (device == kCpuDevice || run.gpus.size() < 2) return;
  std::printf("  by %s\n", gpu_title(run.gpus[static_cast<size_t>(device)].ports->info).c_str());
}

// The block's hash as the node writes it: the digest's first 32 bytes, last byte first.
std::string block_hash_hex(const uint8_t hash[32]) {
  uint8_t reversed[32];
  std::reverse_copy(hash, hash + 32, reversed);
  char text[65];
  bin2hex(text, reversed, 32);
  return std::string(text, 64);
}

void note_unanswered(const MiningRun& run) { set_blocks_unanswered(!run.unanswered.empty()); }

// Hands a solution of `work` over to the node link, after its line.
void hand_over(MiningRun& run, const BlockWork& work, const Solution& solution) {
  std::printf("*** %s SOLUTION! Nonce: %u ***\n", device_kind(solution.device), solution.nonce);
  name_finder_after(run, solution.device);
  // A second signal gives up the node's answer, so what was printed must be out.
  std::fflush(stdout);
  SolvedBlock block;
  block.id = run.next_block_id++;
  block.work = work;
  put_header_time(block.work.header, solution.header_time);
  block.nonce = solution.nonce;
  std::copy(solution.hash, solution.hash + 32, block.hash);
  block.device = device_kind(solution.device);

  const uint64_t tip = tip_fingerprint_of(work.header);
  run.unanswered.push_back(HandedOver{block.id, work.height, tip, solution.device});
  FoundBlock found;
  found.height = work.height;
  found.hash_hex = block_hash_hex(solution.hash);
  found.device = device_name(run, solution.device);
  found.found_at = std::chrono::system_clock::now();
  run.recent_blocks.push_back(found);
  run.recent_ids.push_back(block.id);
  while (run.recent_blocks.size() > kRecentBlocks) {
    run.recent_blocks.pop_front();
    run.recent_ids.erase(run.recent_ids.begin());
  }
  note_unanswered(run);
  run.ports.node.submit(std::move(block));
}

bool unanswered_on(const MiningRun& run, uint64_t tip) {
  return std::any_of(run.unanswered.begin(), run.unanswered.end(),
                     [tip](const HandedOver& block) { return block.tip == tip; });
}

// Makes `work` the work in hand. Work of the key being searched moves the
// search on to its time (the node's curtime), if the search is behind it;
// work of another key stops the devices (what they found goes in first,
// with its own work) and searches the new key from its time on, or from
// where an earlier search of it stopped.
void adopt_work(MiningRun& run, BlockWork work, Clock::time_point now) {
  const HeaderKey key = make_header_key(work.header, work.target);
  const uint32_t node_time = header_time(work.header);
  const uint64_t end = work_end_for(node_time);
  const uint64_t from = first_position_of(node_time);
  if (same_header_key(run.key, key)) {
    move_work_past(run.space, from);
    run.space.end.store(end);
  } else {
    stop_devices(run);
    remember_key(run.history, run.key, run.space.next.load());
    begin_work_space(run.space, std::max(recall_key(run.history, key), from), end);
    run.key = key;
    run.no_room_said = false;
  }
  run.searched = std::move(work);
  run.standing.have_work = true;
  run.standing.confirmed_at = now;
  run.standing.stale = false;
  run.out_of_date_said = false;
  run.cpu_start_due = true;
  for (GpuUnit& unit : run.gpus) unit.start_due = true;
}

void on_event(MiningRun& run, WorkArrived& arrived, Clock::time_point now) {
  std::fputs(arrived.announcement.c_str(), stdout);
  run.last_fetch_failed = false;
  const uint64_t tip = tip_fingerprint_of(arrived.work.header);
  if (fetched_work_is_behind(run.standing, arrived.work.height, tip, arrived.after_block_of_ours)) return;
  adopt_work(run, std::move(arrived.work), now);
}

void on_event(MiningRun& run, const FetchFailed&, Clock::time_point) { run.last_fetch_failed = true; }

void on_event(MiningRun& run, const TipMoved& moved, Clock::time_point now) {
  run.standing.newest_tip_height = moved.height;
  if (!run.standing.have_work || run.standing.stale) return;
  if (!tip_news_passes_work(run.searched.height, tip_fingerprint_of(run.searched.header), moved.height,
                            moved.tip_fingerprint))
    return;
  run.standing.stale = true;
  run.tip_moved_at = now;
}

void on_event(MiningRun& run, const BlockAnswered& answered, Clock::time_point) {
  const auto block = std::find_if(run.unanswered.begin(), run.unanswered.end(),
                                  [&](const HandedOver& b) { return b.id == answered.id; });
  if (block == run.unanswered.end()) return;
  const HandedOver handed = *block;
  run.unanswered.erase(block);
  note_unanswered(run);
  const auto recent = std::find(run.recent_ids.begin(), run.recent_ids.end(), handed.id);
  if (recent != run.recent_ids.end()) {
    FoundBlock& found = run.recent_blocks[static_cast<size_t>(recent - run.recent_ids.begin())];
    found.verdict = answered.verdict;
    found.reason = answered.reason;
  }

  const bool spare_on_its_tip = run.spare && run.spare->tip == handed.tip;
  if (answered.verdict == BlockVerdict::accepted) {
    ++run.totals.blocks_found;
    std::printf("Block %d ACCEPTED (%s)! (total: %d)\n", handed.height, device_kind(handed.device),
                run.totals.blocks_found);
    name_finder_after(run, handed.device);
    // The chain has moved past every block on the same previous block.
    run.standing.tip_we_built_on = handed.tip;
    if (spare_on_its_tip) run.spare.reset();
    if (run.standing.have_work && tip_fingerprint_of(run.searched.header) == handed.tip)
      run.standing.stale = true;
    return;
  }
  if (answered.verdict == BlockVerdict::refused) {
    ++run.totals.blocks_refused;
    ++run.totals.refusals_by_reason[answered.reason];
  } else {
    ++run.totals.blocks_lost;
  }
  // The block kept meanwhile may still go in, if its tip is still the work's.
  if (spare_on_its_tip && !unanswered_on(run, handed.tip)) {
    const SpareSolution spare = std::move(*run.spare);
    run.spare.reset();
    if (run.standing.have_work && !run.standing.stale && tip_fingerprint_of(run.searched.header) == spare.tip)
      hand_over(run, spare.work, spare.solution);
  }
}

void on_event(MiningRun& run, const WatchChanged& changed, Clock::time_point) {
  run.standing.watch_holding = changed.holding;
}

void on_event(MiningRun&, const NodeSwitched&, Clock::time_point) {}

}  // namespace

void take_node_news(MiningRun& run, Clock::time_point now) {
  std::vector<NodeEvent> events;
  run.ports.node.take_events(events);
  for (NodeEvent& event : events)
    std::visit([&run, now](auto& e) { on_event(run, e, now); }, event);
}

void take_solution(MiningRun& run, const Solution& solution) {
  // Work the chain has moved past: another block at a height already taken.
  if (!run.standing.have_work || run.standing.stale) return;
  const uint64_t tip = tip_fingerprint_of(run.searched.header);
  if (unanswered_on(run, tip)) {
    // Worth something only if that block is refused or lost.
    if (!run.spare) run.spare = SpareSolution{run.searched, solution, tip};
    return;
  }
  hand_over(run, run.searched, solution);
}
