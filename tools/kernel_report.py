#!/usr/bin/env python3
"""A static report on the GPU search kernel: registers, spills and the
instructions one nonce costs, for the CUDA build (nvcc, SASS read from the
cubin) and the OpenCL build for AMD (Debian's clang with the amdgcn target and
libclc, assembly read as text), then the hash rate that count would give on
named cards, what the stop-word check adds (the kernel built again without
it), the launch grid's simulated efficiency, and that of the miner's
launches of 2^20 nonces on two streams (simulate_streams).

Exits 1 when the counting fails, and in CI (CI=true) when no compiler was
found, so that nothing was measured. A kernel of this tree that keeps a loop
(its Keccak rounds not unrolled) is counted straight through, each loop
once, with a WARNING.

Counting: the instructions of a nonce that misses the target, i.e. on the
cheapest path from the kernel's entry through the hash (its longest
straight run of code) to an exit, never through the atomic claim of a
solution; for a kernel that loops over nonces (earlier versions), the
cheapest way once round that loop. CUDA counts every SASS instruction on it
except branches, exits and no-ops; AMD counts the vector (v_*) instructions,
the scalar ones running beside them on a unit of their own.

There is no disassembler here, so the SASS is read from the cubin's ELF: 128
bits an instruction, bits 0..6 and 8 the operation, bit 7 and bits 9..11 the
operand form (register, immediate, constant bank, uniform register), bits
12..15 the guard predicate. Which operation codes mean what, and how a
branch encodes its target, is learnt at every run from tiny calibration
kernels compiled by the same ptxas for the same architecture: a code whose
count grows by the number of repeated PTX instructions in a kernel is that
instruction, and the decoded branch targets must land where the calibration
kernels' loops and skips begin.

Usage: kernel_report.py [--root DIR] [--cuda-source FILE.cu --cuda-include DIR]
                        [--opencl-text FILE.cl] [--inner-loop-trips N]
The defaults read this tree's kernel as the miner builds it, and add what
the other lane form would cost; the options let the same counting run on
another tree's kernel (an earlier version's, for comparison).
"""

import argparse
import collections
import heapq
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Cards the estimates name: (name, units, boost MHz). Units are SMs (NVIDIA)
# or CUs (AMD); each issues 64 lanes of a 32-bit integer instruction a clock
# (NVIDIA: LOP3, SHF and IADD3 at 64 a clock on sm_80..sm_90; AMD: two SIMD32
# per CU). Clocks are the published boost clocks.
CARDS = {
    "sm_80": [("A100", 108, 1410)],
    "sm_89": [("RTX 4090", 128, 2520), ("L40S", 142, 2520)],
    "sm_90": [("H100 SXM", 132, 1980), ("H100 PCIe", 114, 1755)],
    "gfx1030": [("RX 6800 XT", 72, 2250), ("RX 6900 XT", 80, 2250)],
    "gfx1100": [("RX 7900 XTX", 96, 2500), ("RX 7900 XT", 84, 2400)],
}
LANES_PER_CLOCK = 64

# What one unit holds at once, for the grid simulation: register file per
# unit (NVIDIA: 32-bit registers per SM; AMD: VGPRs per SIMD lane, wave32),
# allocation granule, thread limit (NVIDIA) or wave limit per SIMD (AMD).
NVIDIA_UNIT = {"sm_80": (65536, 2048, 32), "sm_89": (65536, 1536, 24), "sm_90": (65536, 2048, 32)}
AMD_UNIT = {"gfx1030": (1024, 8, 16), "gfx1100": (1536, 24, 16)}

GROUP = 256  # work-items per group (SEARCH_GROUP_SIZE)

# Debian's libclc-15: the OpenCL built-in functions (work-item ids, atomics,
# rotate) as bitcode, linked in as an OpenCL driver links its own.
LIBCLC_AMDGCN = "/usr/lib/clc/amdgcn--amdhsa.bc"
LIBCLC_NVPTX = "/usr/lib/clc/nvptx64--nvidiacl.bc"


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def find_tool(name, extra_dirs):
    for d in extra_dirs:
        p = os.path.join(d, name)
        if os.access(p, os.X_OK):
            return p
    return shutil.which(name)


# ---------------------------------------------------------------- CUDA / SASS

def elf_sections(data):
    if data[:4] != b"\x7fELF" or data[4] != 2:
        raise ValueError("not a 64-bit ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
    headers = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names_off = headers[shstrndx][4]
    out = {}
    for h in headers:
        start = names_off + h[0]
        name = data[start:data.index(b"\0", start)].decode()
        out[name] = data[h[4]:h[4] + h[5]]
    return out


def _signed(value, bits):
    return value - (1 << bits) if value & (1 << (bits - 1)) else value


# How a branch holds its target relative to the next instruction, in bytes:
# one of these, found by calibration (sm_80 and sm_89 keep a byte offset in
# bits 32..81; sm_90 keeps the low byte of a 4-byte-unit offset in bits
# 16..23 and the rest in bits 34..81).
BRANCH_DECODERS = {
    "bytes at 32": lambda lo, hi: _signed(((hi & 0x3FFFF) << 32) | (lo >> 32), 50),
    "words at 16 and 34": lambda lo, hi: 4 * ((_signed(((hi & 0x3FFFF) << 30) | (lo >> 34), 48) << 8)
                                              | ((lo >> 16) & 0xFF)),
}


class Sass:
    """One instruction: its operation class, guard, and branch offset."""

    decoder = None  # one of BRANCH_DECODERS, set by calibration

    def __init__(self, lo, hi):
        self.lo, self.hi = lo, hi
        self.op = lo & 0x17F  # bit 7 and bits 9..11 are the operand form
        self.guard = (lo >> 12) & 0xF  # 7: always (PT)

    def branch_offset(self):
        """The target relative to the next instruction, in instructions."""
        return Sass.decoder(self.lo, self.hi) // 16


def kernels_of(cubin):
    sections = elf_sections(open(cubin, "rb").read())
    out = {}
    for name, data in sections.items():
        if name.startswith(".text."):
            out[name[6:]] = [Sass(*struct.unpack_from("<QQ", data, i)) for i in range(0, len(data), 16)]
    return out


# name: the PTX of one repetition (%0 in and out, %1 and %2 in).
CALIBRATION_PATTERNS = {
    # A majority function, which repeats cannot fold away. Each pattern
    # after it adds one class beside LOP3s, which keep ptxas from merging
    # the repeats (nine additions would become one multiply-add).
    "LOP3": "lop3.b32 %0, %0, %1, %2, 0xe8;",
    "SHF": "shf.l.wrap.b32 %0, %0, %1, 7; lop3.b32 %0, %0, %1, %2, 0xe8;",
    "IADD3": "add.u32 %0, %0, %1; lop3.b32 %0, %0, %1, %2, 0xe8;",
    "IMAD": "mad.lo.u32 %0, %0, %1, %2; lop3.b32 %0, %0, %1, %2, 0xe8;",
    "PRMT": "prmt.b32 %0, %0, %1, 0x5140; lop3.b32 %0, %0, %1, %2, 0xe8;",
    "ISETP": "{ .reg .pred p; setp.lt.u32 p, %0, %1; @p lop3.b32 %0, %0, %1, %2, 0xe8; }",
    "SEL": "{ .reg .pred p; setp.lt.u32 p, %0, %1; selp.b32 %0, %2, %0, p; }",
}
REPEATS = 9


def calibration_source():
    lines = []
    for name, ptx in CALIBRATION_PATTERNS.items():
        ident = re.sub(r"\W", "_", name)
        for n in (1, REPEATS):
            body = "".join('asm volatile("%s" : "+r"(x) : "r"(b), "r"(a));' % ptx for _ in range(n))
            lines.append('extern "C" __global__ void cal_%s_%d(unsigned* o, unsigned a, unsigned b)'
                         " { unsigned x = a; %s o[threadIdx.x] = x; }" % (ident, n, body))
    lines.append('extern "C" __global__ void cal_empty() {}')
    lines.append('extern "C" __global__ void cal_store_1(unsigned* o, unsigned a) { o[threadIdx.x] = a; }')
    lines.append('extern "C" __global__ void cal_store_%d(unsigned* o, unsigned a) {'
                 " for (int i = 0; i < %d; ++i) o[threadIdx.x + 64 * i] = a + i; }" % (REPEATS, REPEATS))
    # The atomic is the one class that grows with the repeats: the same
    # operands at other offsets need no register moves.
    lines.append('extern "C" __global__ void cal_atom(unsigned* o, unsigned a) { atomicCAS(o, 0u, a); }')
    lines.append('extern "C" __global__ void cal_atom_%d(unsigned* o, unsigned a) {'
                 " for (int i = 0; i < %d; ++i) atomicCAS(o + 64 * i, 0u, a); }" % (REPEATS, REPEATS))
    # A skip over 12 instructions and a loop of 12: their branches must land
    # right after the skipped block and on the loop's first instruction.
    twelve = 'asm volatile("lop3.b32 %0, %0, %1, %2, 0x96;" : "+r"(x) : "r"(b), "r"(a));' * 12
    lines.append('extern "C" __global__ void cal_skip(unsigned* o, unsigned a, unsigned b)'
                 " { unsigned x = a; if (threadIdx.x == 7) { %s } o[threadIdx.x] = x; }" % twelve)
    lines.append('extern "C" __global__ void cal_loop(unsigned* o, unsigned a, unsigned b, int n)'
                 " { unsigned x = a; for (int j = 0; j < n; ++j) { b += j; %s } o[threadIdx.x] = x; }"
                 % twelve.replace('"r"(a)', '"r"(j)'))
    return "\n".join(lines) + "\n"


def histogram(code):
    return collections.Counter(i.op for i in code)


def calibrate(nvcc, arch, workdir):
    """Operation classes by name, and the set of branch and no-op classes,
    for one architecture; raises if the branch decoding does not hold."""
    src = os.path.join(workdir, "calibration.cu")
    cubin = os.path.join(workdir, "calibration_%s.cubin" % arch)
    with open(src, "w") as f:
        f.write(calibration_source())
    r = run([nvcc, "-cubin", "-arch=" + arch, "-O3", src, "-o", cubin])
    if r.returncode != 0:
        raise RuntimeError("calibration kernels did not build:\n" + r.stderr)
    k = kernels_of(cubin)
    errors = []
    for decoder in BRANCH_DECODERS:
        Sass.decoder = BRANCH_DECODERS[decoder]
        try:
            return learn_names(k, arch)
        except RuntimeError as e:
            errors.append("%s: %s" % (decoder, e))
    raise RuntimeError("%s: no branch decoding fits the calibration kernels (%s)" % (arch, "; ".join(errors)))


def learn_names(k, arch):
    names = {}
    for name in CALIBRATION_PATTERNS:
        ident = re.sub(r"\W", "_", name)
        one, many = histogram(k["cal_%s_1" % ident]), histogram(k["cal_%s_%d" % (ident, REPEATS)])
        for op in many:
            if many[op] - one[op] >= REPEATS - 1:
                names.setdefault(op, name)
    # An empty kernel ends in EXIT, a branch to itself, and no-op padding.
    empty = k["cal_empty"]
    self_branch = [i for i, ins in enumerate(empty) if ins.branch_offset() == -1 and ins.guard == 7]
    if not self_branch or self_branch[0] == 0:
        raise RuntimeError("%s: no branch to itself decoded in an empty kernel" % arch)
    bra, exit_op, nop = empty[self_branch[0]].op, empty[self_branch[0] - 1].op, empty[-1].op
    names.update({bra: "BRA", exit_op: "EXIT"})
    names.setdefault(nop, "NOP")
    store_one, store_many = histogram(k["cal_store_1"]), histogram(k["cal_store_%d" % REPEATS])
    for op in store_many:
        if store_many[op] - store_one[op] == REPEATS - 1:
            names.setdefault(op, "STG")
    atom_one, atom_many = histogram(k["cal_atom"]), histogram(k["cal_atom_%d" % REPEATS])
    for op in atom_many:
        if atom_many[op] - atom_one[op] >= REPEATS - 1 and op not in names and op not in store_one:
            names[op] = "ATOM"
    if "ATOM" not in names.values():
        raise RuntimeError("%s: no atomic found in the calibration kernels" % arch)
    lop3 = next(op for op, n in names.items() if n == "LOP3")
    # The skip's guarded branch lands just past the skipped block, whose LOP3s
    # take an operand form other than the calibration's: same class.
    skip = k["cal_skip"]
    lop3s = [i for i, ins in enumerate(skip) if ins.op == lop3]
    jumps = [(i, i + 1 + ins.branch_offset()) for i, ins in enumerate(skip) if ins.op == bra and ins.guard != 7]
    if len(lop3s) != 12 or not jumps or not all(lop3s[-1] < t <= lop3s[-1] + 3 for _, t in jumps):
        raise RuntimeError("%s: the skip kernel decodes to %d LOP3 and branches %s" % (arch, len(lop3s), jumps))
    # The loop's backward branches land on the start of a run of LOP3s.
    loop = k["cal_loop"]
    back = [i + 1 + ins.branch_offset() for i, ins in enumerate(loop) if ins.op == bra and ins.branch_offset() < -1]
    if not back or not all(0 <= t and any(loop[x].op == lop3 for x in range(t, t + 8)) for t in back):
        raise RuntimeError("%s: backward branches decode to %s, not onto a loop's start" % (arch, back))
    return names, {bra, exit_op, nop}


def cheapest_path(n, succ, start, is_end, weight, banned):
    """The nodes of the path of least total weight from `start` to a node
    for which is_end(node) holds, through no banned node; it may come back
    to `start` only as its end. None when there is no such path."""
    dist = {start: weight(start)}
    before = {}
    queue = [(dist[start], start)]
    best = None  # (cost, the node before the end, the end)
    while queue:
        d, u = heapq.heappop(queue)
        if d > dist[u]:
            continue
        for v in succ(u):
            if v < 0 or v >= n or v in banned:
                continue
            if is_end(v):
                cost = d if v == start else d + weight(v)
                if best is None or cost < best[0]:
                    best = (cost, u, v)
                continue
            if d + weight(v) < dist.get(v, float("inf")):
                dist[v] = d + weight(v)
                before[v] = u
                heapq.heappush(queue, (dist[v], v))
    if best is None:
        return None
    _, last, end = best
    path = [last]
    while path[-1] != start:
        path.append(before[path[-1]])
    path.reverse()
    return path if end == start else path + [end]


def cheapest_cycle(n, succ, head, weight, banned):
    return cheapest_path(n, succ, head, lambda v: v == head, weight, banned)


def leaders(n, succ, exits):
    """Where basic blocks start: the entry, branch targets, and whatever
    follows an instruction that does not simply fall through or may end the
    work-item."""
    out = {0}
    for i in range(n):
        nxt = succ(i)
        if nxt != [i + 1] or i in exits:
            out.update(v for v in nxt if 0 <= v < n)
            if i + 1 < n:
                out.add(i + 1)
    return sorted(out)


def real_loops(n, succ, back_edges, weight):
    """The back edges that close a loop. Compilers also branch backwards to
    shared tails of an if; only a branch whose target comes round to it is a
    loop."""
    return [(s, t) for s, t in back_edges if cheapest_cycle(n, succ, t, weight, set())]


def missed_nonce_path(n, succ, back_edges, banned, weight, exits, inner_trips):
    """The instructions a missed nonce runs, each as often as it runs. With
    one nonce per work-item: the cheapest way from the entry through the
    hash (the longest basic block) to an exit that avoids the claim. With a
    loop over nonces (earlier kernels): the cheapest cycle of the widest loop
    that avoids the claim, where an inner loop met on the way (a round loop
    left rolled) runs `inner_trips` times."""
    back_edges = real_loops(n, succ, back_edges, weight)
    if not back_edges:
        starts = leaders(n, succ, exits) + [n]
        size, hash_start = max((b - a, a) for a, b in zip(starts, starts[1:]))
        to_hash = [0] if hash_start == 0 else cheapest_path(n, succ, 0, lambda v: v == hash_start,
                                                             weight, banned)
        to_exit = cheapest_path(n, succ, hash_start, lambda v: v in exits, weight, banned)
        if to_hash is None or to_exit is None:
            raise RuntimeError("no way from the kernel's entry through its hash to an exit")
        return collections.Counter(to_hash[:-1] + to_exit)
    source, head = max(back_edges, key=lambda e: e[0] - e[1])
    path = cheapest_cycle(n, succ, head, weight, banned)
    if path is None:
        raise RuntimeError("the search loop has no way round that avoids the claim")
    runs = collections.Counter(path)
    # An inner loop comes round to itself without passing the search loop's
    # head.
    for s, t in back_edges:
        if t == head or t not in runs:
            continue
        inner = cheapest_cycle(n, succ, t, weight, banned | {head})
        if inner is None:
            continue
        if inner_trips is None:
            raise RuntimeError("the search loop holds an inner loop; pass --inner-loop-trips")
        for node in inner:
            runs[node] += inner_trips - 1
    return runs


def sass_report(code, names, control, inner_trips, straight=False):
    bra = {op for op, name in names.items() if name == "BRA"}
    exits = {op for op, name in names.items() if name == "EXIT"}
    atoms = {op for op, name in names.items() if name == "ATOM"}
    n = len(code)

    def succ(i):
        ins = code[i]
        out = []
        if ins.op in bra:
            out.append(i + 1 + ins.branch_offset())
            if ins.guard != 7:
                out.append(i + 1)
        elif ins.op in exits and ins.guard == 7:
            pass
        else:
            out.append(i + 1)
        return out

    back = [(i, i + 1 + ins.branch_offset()) for i, ins in enumerate(code)
            if ins.op in bra and ins.branch_offset() < -1]
    banned = {i for i, ins in enumerate(code) if ins.op in atoms}

    def counted(i):
        return 0 if code[i].op in control else 1

    exit_nodes = {i for i, ins in enumerate(code) if ins.op in exits}
    # A kernel meant to search one nonce per work-item is counted straight
    # through, each loop left in it (which report_loops warns of) once.
    runs = missed_nonce_path(n, succ, [] if straight else back, banned, counted, exit_nodes, inner_trips)
    seen = collections.Counter()
    for i, times in runs.items():
        if counted(i):
            seen[names.get(code[i].op, "op%03x" % code[i].op)] += times
    return sum(seen.values()), seen, len(real_loops(n, succ, back, counted))


def ptxas_resources(text, kernel):
    """Registers and spill bytes ptxas reported for the kernel."""
    registers = spills = None
    current = None
    for line in text.splitlines():
        m = re.search(r"Function properties for (\S+)", line)
        if m:
            current = m.group(1)
        m = re.search(r"(\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m and current and kernel in current:
            spills = int(m.group(1)) + int(m.group(2))
        m = re.search(r"Used (\d+) registers", line)
        if m and current and kernel in current:
            registers = int(m.group(1))
    return registers, spills


# What the counting found in one build of search_nonces: registers (VGPRs on
# AMD), spilled bytes, the instructions of a missed nonce and the classes
# most of them belong to, and the loops left in it.
Kernel = collections.namedtuple("Kernel", "registers spills total seen loops")


def cuda_kernel(nvcc, arch, source, include, workdir, calibration, inner_trips, extra=(), straight=False):
    cubin = os.path.join(workdir, "search_%s.cubin" % arch)
    # The flags of the project's CUDA build (src/gpu/cuda/cuda.cmake, Release).
    cmd = [nvcc, "-std=c++17", "-O3", "-cubin", "-arch=" + arch, "-I", include,
           "-Xptxas=-v,-warn-spills,-warn-lmem-usage", *extra, source, "-o", cubin]
    r = run(cmd)
    if r.returncode != 0:
        raise RuntimeError("nvcc failed:\n" + r.stderr)
    registers, spills = ptxas_resources(r.stdout + r.stderr, "search_nonces")
    kernels = kernels_of(cubin)
    name = next(k for k in kernels if "search_nonces" in k)
    names, control = calibration
    total, seen, loops = sass_report(kernels[name], names, control, inner_trips, straight)
    return Kernel(registers, spills, total, seen, loops)


# ------------------------------------------------------------- AMD / amdgcn

def amd_functions(asm):
    """{kernel: [(label or None, mnemonic, operands)]} from clang's output."""
    out = {}
    current = None
    for line in asm.splitlines():
        m = re.match(r"^([A-Za-z_]\w*):", line)
        if m and not line.startswith("."):
            current = m.group(1)
            out[current] = []
            continue
        if current is None:
            continue
        if line.startswith(".Lfunc_end"):
            current = None
            continue
        m = re.match(r"^(\.LBB\w+):", line)
        if m:
            out[current].append((m.group(1), None, ""))
            continue
        s = line.split(";")[0].strip()
        if not s or s.startswith("."):
            continue
        parts = s.split(None, 1)
        out[current].append((None, parts[0], parts[1] if len(parts) > 1 else ""))
    return out


def amd_metadata(asm, kernel):
    block = asm[asm.index("amdhsa.kernels:"):]
    entries = re.split(r"\n  - ", block)
    for e in entries:
        if re.search(r"\.name:\s+%s\n" % kernel, e):
            def field(key):
                m = re.search(r"\.%s:\s+(\d+)" % key, e)
                return int(m.group(1)) if m else 0
            return field("vgpr_count"), field("vgpr_spill_count") + field("sgpr_spill_count"), \
                field("private_segment_fixed_size")
    raise RuntimeError("no metadata for " + kernel)


def amd_report(items, inner_trips, straight=False):
    code = [(m, ops) for label, m, ops in items if m is not None]
    labels = {}
    k = 0
    for label, m, _ in items:
        if label is not None:
            labels[label] = k
        else:
            k += 1
    n = len(code)

    def target(i):
        return labels[code[i][1].split()[0]]

    def succ(i):
        m = code[i][0]
        if m == "s_branch":
            return [target(i)]
        if m.startswith("s_cbranch"):
            return [target(i), i + 1]
        if m == "s_endpgm":
            return []
        return [i + 1]

    back = [(i, target(i)) for i, (m, _) in enumerate(code)
            if (m == "s_branch" or m.startswith("s_cbranch")) and target(i) <= i]
    banned = {i for i, (m, _) in enumerate(code) if "atomic" in m}

    def counted(i):
        return 1 if code[i][0].startswith("v_") else 0

    exit_nodes = {i for i, (m, _) in enumerate(code) if m == "s_endpgm"}
    # A kernel meant to search one nonce per work-item is counted straight
    # through, each loop left in it (which report_loops warns of) once.
    runs = missed_nonce_path(n, succ, [] if straight else back, banned, counted, exit_nodes, inner_trips)
    seen = collections.Counter()
    for i, times in runs.items():
        if counted(i):
            seen[re.sub(r"_e(32|64)$", "", code[i][0])] += times
    return sum(seen.values()), seen, len(real_loops(n, succ, back, counted))


def opencl_kernel(clang, gpu, text_file, workdir, inner_trips, defines, straight=False):
    out = os.path.join(workdir, "search_%s.s" % gpu)
    # The miner's build options (opencl/program.cpp): OpenCL C 1.2 and, for
    # AMD cards, the 32-bit-halves lane form.
    cmd = [clang, "-x", "cl", "-cl-std=CL1.2", "-Xclang", "-finclude-default-header",
           "-target", "amdgcn-amd-amdhsa", "-mcpu=" + gpu, "-nogpulib",
           "-Xclang", "-mlink-builtin-bitcode", "-Xclang", LIBCLC_AMDGCN, "-Wno-linker-warnings",
           "-O3", "-S", *["-D" + d for d in defines], text_file, "-o", out]
    r = run(cmd)
    if r.returncode != 0:
        raise RuntimeError("clang failed:\n" + r.stderr)
    asm = open(out).read()
    vgprs, spills, scratch = amd_metadata(asm, "search_nonces")
    total, seen, loops = amd_report(amd_functions(asm)["search_nonces"], inner_trips, straight)
    return Kernel(vgprs, spills + scratch, total, seen, loops)


# ------------------------------------------------------- grid simulation

def nvidia_groups_per_unit(arch, registers):
    regfile, max_threads, max_blocks = NVIDIA_UNIT[arch]
    per_warp = -(-registers * 32 // 256) * 256
    warps = min(regfile // per_warp, max_threads // 32)
    return min(warps // (GROUP // 32), max_blocks)


def amd_groups_per_unit(gpu, vgprs):
    per_simd, granule, max_waves = AMD_UNIT[gpu]
    waves = min(max_waves, per_simd // (-(-vgprs // granule) * granule))
    # A group of 256 work-items is 8 waves of 32 over the CU's two SIMDs.
    return (waves // (GROUP // 32 // 2))


def simulate(batch, grid_items, resident_groups):
    """Share of the resident work-item slots busy while a batch runs, when a
    grid of grid_items work-items strides over the batch and groups start in
    order as slots free up; a slot idle for one nonce's time is lost (an
    upper bound on the loss: a unit with fewer groups left runs each faster).
    With one work-item per nonce, grid_items is the batch rounded up."""
    groups = -(-grid_items // GROUP)
    free = [0] * resident_groups
    end = 0
    for g in range(groups):
        first = g * GROUP
        # A group lasts as long as its first work-item, which visits the
        # most nonces.
        turns = -(-(batch - first) // grid_items) if first < batch else 0
        start = heapq.heappop(free)
        heapq.heappush(free, start + turns)
        end = max(end, start + turns)
    return batch / (resident_groups * GROUP * end)


BATCHES = (20, 22, 24)

# The miner's default launch (2^20 nonces, so that the fastest card wakes the
# host about a hundred times a second with a batch of about a hundred
# launches) and its batch slots, each with a stream or queue of its own.
DEFAULT_LAUNCH = 1 << 20
STREAMS = 2
LAUNCHES_PER_STREAM = 128


def simulate_streams(groups_per_launch, resident_groups, streams, launches):
    """Share of the resident group slots busy while `streams` in-order
    streams each run `launches` launches of groups_per_launch groups, as a
    greedy block scheduler runs them: a stream's next launch is ready once
    its previous one has finished every group, and free slots go to the
    ready launches in the order they became ready (streams in turn on a tie).
    Every group lasts one nonce's time, so all slots free up together. One
    stream is the card's view of launches queued back to back: each leaves
    its last partial wave, which a second stream's launch fills."""
    ready = collections.deque((0, s) for s in range(streams))  # (ready since, stream)
    left = {s: groups_per_launch for s in range(streams)}
    launched = {s: 1 for s in range(streams)}
    steps = 0
    while ready:
        room = resident_groups
        finished = []
        for _, s in ready:
            take = min(room, left[s])
            left[s] -= take
            room -= take
            if left[s] == 0:
                finished.append(s)
        steps += 1
        ready = collections.deque(entry for entry in ready if left[entry[1]] > 0)
        for s in finished:
            if launched[s] < launches:
                launched[s] += 1
                left[s] = groups_per_launch
                ready.append((steps, s))
    return streams * launches * groups_per_launch / (resident_groups * steps)


def efficiencies(units, per_unit, grid_items_of):
    return " / ".join("%.1f" % (100 * simulate(1 << e, grid_items_of(1 << e), units * per_unit))
                      for e in BATCHES)


def launch_line(card, units, per_unit):
    groups = -(-DEFAULT_LAUNCH // GROUP)
    resident = units * per_unit
    return "  launches %s, 2^20 nonces each: one after another %.1f%%, %d streams overlapping (the default) %.2f%%" % (
        card, 100 * simulate_streams(groups, resident, 1, LAUNCHES_PER_STREAM), STREAMS,
        100 * simulate_streams(groups, resident, STREAMS, LAUNCHES_PER_STREAM))


def grid_line(runtime, card, units, per_unit, registers):
    unit = "SM" if runtime == "cuda" else "CU"
    line = "  grid %s, %d groups of %d per %s at %d registers, batch %s: one nonce per work-item %s%%" % (
        card, per_unit, GROUP, unit, registers, " / ".join("2^%d" % e for e in BATCHES),
        efficiencies(units, per_unit, lambda batch: -(-batch // GROUP) * GROUP))
    line += ", 16 groups per %s striding (OpenCL before) %s%%" % (
        unit, efficiencies(units, per_unit, lambda batch: 16 * units * GROUP))
    if runtime == "cuda":
        line += ", a resident grid striding (CUDA before) %s%%" % efficiencies(
            units, per_unit, lambda batch: min(units * per_unit * GROUP, -(-batch // GROUP) * GROUP))
    return line


# ------------------------------------------------------------------ main

def print_kernel(runtime, arch, kernel, other_form, without_stop_check, this_tree):
    print("kernel %s %s registers %d spills %d alu-per-nonce %d"
          % (runtime, arch, kernel.registers, kernel.spills, kernel.total))
    if this_tree and kernel.loops:
        warning = loops_warning(runtime, arch, kernel.loops)
        print("  " + warning)
        print("kernel report: " + warning, file=sys.stderr)
    top = ", ".join("%s %d" % kv for kv in kernel.seen.most_common(6))
    print("  on that path: %s" % top)
    for card, units, mhz in CARDS[arch]:
        rate = units * LANES_PER_CLOCK * mhz * 1e6 / kernel.total
        print("  estimate %s (%d %s at %d MHz): %.2f GH/s"
              % (card, units, "SMs" if runtime == "cuda" else "CUs", mhz, rate / 1e9))
    if other_form is not None:
        print("  the other lane form (%s) would take %d" % other_form)
    if without_stop_check is not None:
        print("  the stop-word check costs %d of them (%d without it)"
              % (kernel.total - without_stop_check, without_stop_check))
    if runtime == "cuda":
        per_unit = nvidia_groups_per_unit(arch, kernel.registers)
    else:
        per_unit = amd_groups_per_unit(arch, kernel.registers)
    for card, units, _ in CARDS[arch]:
        print(grid_line(runtime, card, units, per_unit, kernel.registers))
        print(launch_line(card, units, per_unit))


def loops_warning(runtime, arch, loops):
    return ("WARNING: %s %s: search_nonces keeps %d loop(s): the Keccak rounds were left rolled, "
            "not unrolled; the count takes each loop once" % (runtime, arch, loops))


def exit_status(figures, ci):
    """Non-zero where a CI run measured nothing: no compiler, or no figure."""
    return 1 if ci and figures == 0 else 0


def bodies_check(clang, ptxas, text, work):
    """The OpenCL text built for NVIDIA's PTX without optimisation and with
    nothing forced inline, so that every helper stays a call, then
    assembled: a function left without a body (C99's plain `inline`) fails
    here, as it would in a driver that chose not to inline it."""
    ptx = os.path.join(work, "unoptimised.ptx")
    r = run([clang, "-x", "cl", "-cl-std=CL1.2", "-Xclang", "-finclude-default-header",
             "-target", "nvptx64-nvidia-nvcl", "-nogpulib", "-Xclang", "-mlink-builtin-bitcode",
             "-Xclang", LIBCLC_NVPTX, "-Wno-linker-warnings", "-O0", "-DKERNEL_FORCE_INLINE=",
             "-S", text, "-o", ptx])
    if r.returncode == 0:
        r = run([ptxas, "-arch=sm_90", ptx, "-o", os.path.join(work, "unoptimised.cubin")])
    if r.returncode != 0:
        return "FAILED: " + (r.stderr.strip().splitlines() or ["no message"])[0]
    return "every function has a body"


def program_text(root, work):
    """The OpenCL program exactly as the miner builds it into the binary
    (src/gpu/opencl/opencl.cmake)."""
    text = os.path.join(work, "program.cl")
    with open(text, "w") as f:
        for part in ("src/gpu/kernel/vendor.h", "src/gpu/kernel/search_kernel.cl"):
            with open(os.path.join(root, part)) as src:
                f.write(src.read())
    return text


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--root", default=os.path.dirname(HERE), help="the source tree (default: this one)")
    p.add_argument("--cuda-source", help="another CUDA file defining search_nonces")
    p.add_argument("--cuda-include", help="its include folder")
    p.add_argument("--opencl-text", help="another OpenCL program, built as is (no lane-form option)")
    p.add_argument("--inner-loop-trips", type=int, help="trip count of a rolled loop inside the search")
    a = p.parse_args()
    nvcc = find_tool("nvcc", ["/usr/local/cuda/bin"])
    ptxas = find_tool("ptxas", ["/usr/local/cuda/bin"])
    clang = find_tool("clang-15", [])
    this_tree = a.cuda_source is None and a.opencl_text is None
    source = a.cuda_source or os.path.join(a.root, "src/gpu/cuda/search_kernels.cu")
    include = a.cuda_include or os.path.join(a.root, "src")

    figures = 0
    with tempfile.TemporaryDirectory() as work:
        if nvcc and ptxas:
            for arch in ("sm_80", "sm_89", "sm_90"):
                calibration = calibrate(nvcc, arch, work)
                kernel = cuda_kernel(nvcc, arch, source, include, work, calibration, a.inner_loop_trips,
                                     straight=this_tree)
                other = without_stop_check = None
                if this_tree:
                    other = ("32-bit halves", cuda_kernel(nvcc, arch, source, include, work, calibration,
                                                          None, ["-DKECCAK_LANE_HALVES=1"], True).total)
                    without_stop_check = cuda_kernel(nvcc, arch, source, include, work, calibration,
                                                     None, ["-DSEARCH_STOP_CHECK=0"], True).total
                print_kernel("cuda", arch, kernel, other, without_stop_check, this_tree)
                figures += 1
        else:
            print("kernel cuda skipped: no nvcc and ptxas (looked in /usr/local/cuda/bin and PATH)")

        if clang and os.path.exists(LIBCLC_AMDGCN):
            text = a.opencl_text or program_text(a.root, work)
            # The miner's choice for AMD cards (opencl/program.cpp).
            defines = ["KECCAK_LANE_HALVES=1"] if this_tree else []
            for gpu in ("gfx1030", "gfx1100"):
                kernel = opencl_kernel(clang, gpu, text, work, a.inner_loop_trips, defines, this_tree)
                other = without_stop_check = None
                if this_tree:
                    other = ("64-bit", opencl_kernel(clang, gpu, text, work, None, [], True).total)
                    without_stop_check = opencl_kernel(clang, gpu, text, work, None,
                                                       defines + ["SEARCH_STOP_CHECK=0"], True).total
                print_kernel("opencl", gpu, kernel, other, without_stop_check, this_tree)
                figures += 1
            if ptxas and os.path.exists(LIBCLC_NVPTX):
                print("check opencl unoptimised, nothing forced inline, for nvptx with ptxas: %s"
                      % bodies_check(clang, ptxas, text, work))
        else:
            print("kernel opencl skipped: no clang-15 with libclc-15 (tools/install-deps.sh installs them)")

    ci = os.environ.get("CI") == "true"
    if figures == 0:
        print("kernel report: measured nothing%s" % (" (CI: failing)" if ci else ""), file=sys.stderr)
    return exit_status(figures, ci)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RuntimeError as e:
        print("kernel report failed: %s" % e, file=sys.stderr)
        sys.exit(1)
