"""The counting behind tools/kernel-report.sh on inputs small enough to
count by hand: branch decoding from words the compilers really emitted, the
path of a missed nonce through a kernel with and without a search loop, a
loop left in a kernel meant to run straight, the occupancy model, the grid
simulation, the launches of two streams, and when CI fails the report."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import kernel_report as report  # noqa: E402


class BranchDecoding(unittest.TestCase):
    # (low word, high word) of branches from cubins of the calibration kernels.
    def offset(self, decoder, lo, hi):
        report.Sass.decoder = report.BRANCH_DECODERS[decoder]
        return report.Sass(lo, hi).branch_offset()

    def test_sm80_keeps_a_byte_offset(self):
        self.assertEqual(self.offset("bytes at 32", 0xFFFFFFF000007947, 0x000FC0000383FFFF), -1)
        self.assertEqual(self.offset("bytes at 32", 0x000000E000000947, 0x000FEA0003800000), 14)

    def test_sm90_splits_a_word_offset(self):
        decoder = "words at 16 and 34"
        self.assertEqual(self.offset(decoder, 0xFFFFFFFC00FC7947, 0x000FC0000383FFFF), -1)
        self.assertEqual(self.offset(decoder, 0x0000000000300947, 0x000FEA0003800000), 12)
        self.assertEqual(self.offset(decoder, 0x0000001000B80947, 0x000FEA0003800000), 302)
        self.assertEqual(self.offset(decoder, 0xFFFFFFFC00441947, 0x000FEC000383FFFF), -47)

    def test_operand_form_bits_do_not_change_the_operation(self):
        # LOP3 with registers, an immediate, a constant and a uniform register.
        self.assertEqual({report.Sass(lo, 0).op for lo in (0x7212, 0x7812, 0x7C12, 0x7292)}, {0x12})


# A kernel as amdgcn text: the bounds check, a hash of five vector
# instructions, the comparison, and the claim with its atomic.
AMD_KERNEL = """search_nonces:
\tv_cmp_gt_u64 vcc_lo, s[0:1], v[0:1]
\ts_and_saveexec_b32 s2, vcc_lo
\ts_cbranch_execz .LBB0_3
\tv_xor3_b32 v2, v3, v4, v5
\tv_alignbit_b32 v6, v2, v3, 7
\tv_xor_b32 v7, v6, v2
\tv_and_b32 v8, v7, v6
\tv_xor3_b32 v9, v8, v7, v6
\tv_cmp_lt_u64 vcc_lo, v[8:9], s[4:5]
\ts_and_b32 exec_lo, exec_lo, vcc_lo
\ts_cbranch_execz .LBB0_3
\tv_mov_b32 v10, 1
\tglobal_atomic_cmpswap v11, v12, v[10:11], s[6:7] glc
\tglobal_store_dword v12, v9, s[6:7]
.LBB0_3:
\ts_endpgm
.Lfunc_end0:
"""


class MissedNoncePath(unittest.TestCase):
    def test_one_nonce_per_work_item_counts_entry_hash_and_comparison(self):
        total, seen, loops = report.amd_report(report.amd_functions(AMD_KERNEL)["search_nonces"], None)
        # v_cmp, five of the hash, v_cmp; not the claim's v_mov.
        self.assertEqual(total, 7)
        self.assertEqual(seen["v_xor3_b32"], 2)
        self.assertNotIn("v_mov_b32", seen)
        self.assertEqual(loops, 0)

    def test_rounds_left_rolled_are_a_loop_counted_once_and_warned_of(self):
        # The hash's five instructions as a loop: the branch back to .LBB0_1.
        rolled = AMD_KERNEL.replace("\ts_cbranch_execz .LBB0_3\n\tv_xor3_b32 v2",
                                    "\ts_cbranch_execz .LBB0_3\n.LBB0_1:\n\tv_xor3_b32 v2", 1)
        rolled = rolled.replace("\tv_xor3_b32 v9, v8, v7, v6\n",
                                "\tv_xor3_b32 v9, v8, v7, v6\n\ts_cbranch_scc1 .LBB0_1\n", 1)
        items = report.amd_functions(rolled)["search_nonces"]
        total, _, loops = report.amd_report(items, None, straight=True)
        self.assertEqual((total, loops), (7, 1))
        warning = report.loops_warning("opencl", "gfx1030", loops)
        self.assertIn("gfx1030", warning)
        self.assertIn("left rolled", warning)

    def graph(self, edges, size):
        return lambda i: edges.get(i, [i + 1] if i + 1 < size else [])

    def test_a_search_loop_counts_one_way_round_that_avoids_the_claim(self):
        # 0 entry; 1..4 loop head and hash; 5 branch to the claim (6, banned)
        # or on to 7, the latch, which goes back to 1 or ends at 8.
        succ = self.graph({5: [6, 7], 6: [7], 7: [1, 8], 8: []}, 9)
        runs = report.missed_nonce_path(9, succ, [(7, 1)], {6}, lambda i: 1, {8}, None)
        self.assertEqual(sorted(runs), [1, 2, 3, 4, 5, 7])

    def test_a_rolled_inner_loop_counts_its_trips(self):
        # The outer loop 1..6 holds an inner loop 2..3 (the rounds).
        succ = self.graph({3: [2, 4], 6: [1, 7], 7: []}, 8)
        with self.assertRaises(RuntimeError):
            report.missed_nonce_path(8, succ, [(6, 1), (3, 2)], set(), lambda i: 1, {7}, None)
        runs = report.missed_nonce_path(8, succ, [(6, 1), (3, 2)], set(), lambda i: 1, {7}, 22)
        self.assertEqual(runs[2], 22)
        self.assertEqual(runs[3], 22)
        self.assertEqual(runs[5], 1)

    def test_a_backward_branch_to_a_shared_tail_is_no_loop(self):
        # 4 jumps back to 2, but 2 only goes on to the end: no way round.
        succ = self.graph({1: [2, 5], 3: [], 4: [2], 5: [4]}, 6)
        runs = report.missed_nonce_path(6, succ, [(4, 2)], set(), lambda i: 1, {3}, None)
        self.assertEqual(sorted(runs), [0, 1, 2, 3])


class LaunchStreams(unittest.TestCase):
    def test_one_stream_leaves_each_launchs_last_wave(self):
        # 4 groups over 3 slots: 2 steps a launch, 8 groups in 4 steps.
        self.assertAlmostEqual(report.simulate_streams(4, 3, 1, 2), 8 / 12)
        self.assertAlmostEqual(report.simulate_streams(7, 5, 1, 1), 7 / 10)

    def test_a_second_stream_fills_the_last_wave(self):
        # Steps of 3 slots: A1 3 | A1 1, B1 2 | B1 2, A2 1 | A2 3 | B2 3 | B2 1:
        # 16 groups in 6 steps; the loss is only at the very end.
        self.assertAlmostEqual(report.simulate_streams(4, 3, 2, 2), 16 / 18)
        # A 5 | A 2, B 3 | B 4: 14 groups in 3 steps of 5.
        self.assertAlmostEqual(report.simulate_streams(7, 5, 2, 1), 14 / 15)

    def test_whole_waves_keep_every_slot_busy(self):
        for streams in (1, 2):
            self.assertEqual(report.simulate_streams(12, 4, streams, 3), 1.0)

    def test_the_default_on_a_card_with_a_short_last_wave(self):
        # An L40S's 568 slots: 4096 groups are 7.2 waves one after another,
        # and nearly all busy with a second stream.
        self.assertAlmostEqual(report.simulate_streams(4096, 568, 1, 128), 4096 / (8 * 568))
        self.assertGreater(report.simulate_streams(4096, 568, 2, 128), 0.999)


class CiExit(unittest.TestCase):
    def test_a_ci_run_that_measured_nothing_fails(self):
        for figures, ci, status in ((0, True, 1), (0, False, 0), (3, True, 0), (5, False, 0)):
            self.assertEqual(report.exit_status(figures, ci), status, (figures, ci))


class Occupancy(unittest.TestCase):
    def test_groups_per_unit_follow_the_registers(self):
        self.assertEqual(report.nvidia_groups_per_unit("sm_90", 64), 4)
        self.assertEqual(report.nvidia_groups_per_unit("sm_90", 76), 3)  # 80 a thread, as allocated
        self.assertEqual(report.nvidia_groups_per_unit("sm_89", 32), 6)  # 1536 threads an SM
        self.assertEqual(report.amd_groups_per_unit("gfx1030", 79), 3)   # 80 VGPRs: 12 waves a SIMD
        self.assertEqual(report.amd_groups_per_unit("gfx1030", 85), 2)

    def test_grid_simulation(self):
        # A batch that fills whole waves keeps every slot busy.
        self.assertEqual(report.simulate(4 * 256 * 10, 4 * 256 * 10, 10), 1.0)
        # 16 long groups over 3 slots: 6 turns for 16 groups' work.
        self.assertAlmostEqual(report.simulate(1 << 24, 16 * 256, 3), 16 / 18, places=3)
        # One nonce a work-item: only the last wave is short.
        self.assertAlmostEqual(report.simulate(11 * 256, 11 * 256, 3), 11 / 12)


if __name__ == "__main__":
    unittest.main()
